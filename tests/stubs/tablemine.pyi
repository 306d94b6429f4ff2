# Written by the stub generator of nanobind 3.1.0
from collections.abc import Generator, Hashable, Sequence
from typing import Any

import pandas

from vireo.trellis.datareader.datasource import (
    getExcelType as getExcelType
)
from vireo.trellis.datareader.excel import (
    Excel as Excel,
    ExcelCsv as ExcelCsv,
    ExcelXP as ExcelXP
)


class corvidExcelError(Exception):
    pass

def searchExcelFile(nnxfile: str, /) -> str:
    """Search the Excel file that references the model file passed in."""

def getFrameFromExcel(filename: str | None, sheetname: str | int | None, filetype: str | None = '', reduce: bool | None = False, excludedlist: Sequence[str] | None = ['', 'r2', 'pearson', 'rmse', 'vloo score', 'sum']) -> pandas.DataFrame | None: ...

def getcustomproperties(filename: str | None, sheetname: str | int | None, keys: object | None = [], filetype: str | None = '') -> dict[str, Any]: ...

def getcustomproperty(filename: str | None, sheetname: str | int | None, property: str | None, filetype: str | None = '') -> Any: ...

def gettitles(filename: str | None, filetype: str | None = 'csv', datarange: str | None = '', skipline: object | None = 0, delimiter: object | None = ';', datafmt: Sequence[Any] | None = None) -> list[Any]:
    """read the titles of a given range in an Excel file."""

def getranges(filename: str | None, filetype: str | None = 'csv') -> Sequence[str]:
    """Read the existing ranges in an Excel file."""

def analyseRangeData(filename: str | None, filetype: str | None = 'xls', datarange: str | None = '', datafmt: Sequence[Any] | None = None) -> tuple[type, int, bool, Sequence[Any]]: ...

def dataiterator(filename: str | None, filetype: str | None = 'csv', datarange: str | None = '', skipline: int | None = 0, delimiter: object | None = ';', datafmt: Sequence[Any] | None = [0, 1, 2], headerOnly: bool | None = False) -> Generator[Any, Any, None]:
    """
    Iterate over the rows of a data range.

    datafmt gives the positions of the data in a row: position 0 the model name,
    position 1 the SMILES text of the molecule and, when there are more than
    two entries, position 2 the target value.
    """

dataiteratorloc = dataiterator

def get_dataframe(filename: str | None, datarange: str | None = '', datafields: Sequence[Any] | None = None, sheetname: str | int | None = None, filetype: str | None = 'xlsx', indexfield: int | None = -1, drop: bool | None = True) -> pandas.DataFrame:
    """
    Return a Pandas DataFrame from an Excel file.

    Comma-separated files (filetype "csv" or "txt") are read whole, a workbook
    through its range datarange, or else its sheet sheetname (the first sheet
    when none is given).  datafields selects the columns of the range (a list of
    lists is flattened first).  With indexfield, a column position, that column
    becomes the row index; drop tells whether it leaves the data columns.
    """

def getFrame(filename: str | None, filetype: str | None = '', datarange: str | None = '', datafields: Sequence[Any] | None = None, indexfield: Hashable | Sequence[str] | None = None, skipline: object | None = 0, delimiter: object | None = ';') -> pandas.DataFrame | None:
    """
    Return a Pandas DataFrame from a workbook or a delimited text file.

    indexfield names the column used as row index: a field name, matched
    exactly; or a list or tuple of candidate names, matched without regard to
    case, the first column (in column order) that matches being taken; any other
    value is used as the index field itself when it is true.
    """
