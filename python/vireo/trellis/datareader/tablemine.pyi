# Written by the stub generator of nanobind 3.1.0
from collections.abc import Generator, Hashable, Sequence
import os
from typing import Any, overload

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

def searchExcelFile(nnxfile: str | bytes | os.PathLike[str] | os.PathLike[bytes], /) -> str:
    """Search the Excel file that references the model file passed in."""

@overload
def getFrameFromExcel(filename: str | os.PathLike[str], sheetname: None, filetype: str = '', reduce: bool = False, excludedlist: Sequence[str] = ['', 'r2', 'pearson', 'rmse', 'vloo score', 'sum']) -> dict[str, pandas.DataFrame] | None: ...

@overload
def getFrameFromExcel(filename: str | os.PathLike[str], sheetname: list[str | int], filetype: str = '', reduce: bool = False, excludedlist: Sequence[str] = ['', 'r2', 'pearson', 'rmse', 'vloo score', 'sum']) -> dict[str | int, pandas.DataFrame] | None: ...

@overload
def getFrameFromExcel(filename: str | os.PathLike[str], sheetname: str | int, filetype: str = '', reduce: bool = False, excludedlist: Sequence[str] = ['', 'r2', 'pearson', 'rmse', 'vloo score', 'sum']) -> pandas.DataFrame | None: ...

def getcustomproperties(filename: str | os.PathLike[str], sheetname: str | int, keys: object = [], filetype: str = '') -> dict[str, Any]: ...

def getcustomproperty(filename: str | os.PathLike[str], sheetname: str | int, property: str, filetype: str = '') -> Any: ...

def gettitles(filename: str | os.PathLike[str], filetype: str = 'csv', datarange: str = '', skipline: object = 0, delimiter: object = ';', datafmt: Sequence[Any] | None = None) -> list[Any]:
    """read the titles of a given range in an Excel file."""

def getranges(filename: str | os.PathLike[str], filetype: str = 'csv') -> Sequence[str]:
    """Read the existing ranges in an Excel file."""

def analyseRangeData(filename: str | os.PathLike[str], filetype: str = 'xls', datarange: str = '', datafmt: Sequence[Any] | None = None) -> tuple[type, int, bool, Sequence[Any]]: ...

def dataiterator(filename: str | os.PathLike[str], filetype: str = 'csv', datarange: str = '', skipline: int = 0, delimiter: object = ';', datafmt: Sequence[Any] = [0, 1, 2], headerOnly: bool = False) -> Generator[Any, Any, None]:
    """
    Iterate over the rows of a data range.

    datafmt gives the positions of the data in a row: position 0 the model name,
    position 1 the SMILES text of the molecule and, when there are more than
    two entries, position 2 the target value.
    """

dataiteratorloc = dataiterator

def get_dataframe(filename: str | os.PathLike[str], datarange: str = '', datafields: Sequence[Any] | None = None, sheetname: str | int | None = None, filetype: str = 'xlsx', indexfield: int = -1, drop: bool = True) -> pandas.DataFrame:
    """
    Return a Pandas DataFrame from an Excel file.

    Comma-separated files (filetype "csv" or "txt") are read whole, a workbook
    through its range datarange, or else its sheet sheetname (the first sheet
    when none is given).  datafields selects the columns of the range (a list of
    lists is flattened first).  With indexfield, a column position, that column
    becomes the row index; drop tells whether it leaves the data columns.
    """

def getFrame(filename: str | os.PathLike[str], filetype: str = '', datarange: str = '', datafields: Sequence[Any] | None = None, indexfield: Hashable | Sequence[str] | None = None, skipline: object = 0, delimiter: object = ';') -> pandas.DataFrame | None:
    """
    Return a Pandas DataFrame from a workbook or a delimited text file.

    indexfield names the column used as row index: a field name, matched
    exactly; or a list or tuple of candidate names, matched without regard to
    case, the first column (in column order) that matches being taken; any other
    value is used as the index field itself when it is true.
    """
