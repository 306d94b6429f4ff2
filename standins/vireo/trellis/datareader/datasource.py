"""Stand-in for the toolkit's data source chooser.

Replaceable by the toolkit's own ``datasource`` module: only
``getExcelType`` is relied on.
"""
from .excel import Excel, ExcelCsv, ExcelXP

_READERS = {
    "xlsx": Excel,
    "xlsm": Excel,
    "xls": ExcelXP,
    "csv": ExcelCsv,
    "txt": ExcelCsv,
}


def getExcelType(filetype):
    """Return the reader class for a file type given without its dot, or None."""
    if not isinstance(filetype, str):
        return None
    return _READERS.get(filetype)
