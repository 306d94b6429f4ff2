"""A writer and workbook whose calls do nothing: what finishing costs on its own.

finishExcel run against these does all of its own work (reading the Frames
and the cells pandas wrote, building formulas and their results, ranges,
chart options and properties) while the workbook layer does none, so its time
is the module's own share of finishing.
"""
import os


def _nothing(*args, **kwargs):
    return None


class Null:
    """Any method call is accepted and does nothing."""

    def __init__(self, name=None):
        self.name = name

    def __getattr__(self, attr):
        if attr.startswith("__"):
            raise AttributeError(attr)
        return _nothing


class NullSheet(Null):
    """A worksheet that keeps the cells written before finishing (the writer computes
    the results of its formulas from them) and ignores every call."""

    constant_memory = False

    def __init__(self, name=None, table=None):
        super().__init__(name)
        self.table = {} if table is None else table


class NullBook(Null):
    def __init__(self):
        super().__init__()
        self.worksheets_by_name = {}
        self.fileclosed = False

    def add_worksheet(self, name=None, table=None):
        sheet = NullSheet(name, table)
        self.worksheets_by_name[name] = sheet
        return sheet

    def add_chartsheet(self, name=None):
        return Null(name)

    def get_worksheet_by_name(self, name):
        return self.worksheets_by_name.get(name)

    def worksheets(self):
        # The writer looks its sheets over before it finishes them.
        return list(self.worksheets_by_name.values())

    def add_format(self, properties=None):
        return Null()

    def add_chart(self, options=None):
        return Null()

    def close(self):
        self.fileclosed = True


class NullWriter:
    """Stands for a pandas ExcelWriter on ``path`` that has written ``sheet_names``;
    ``tables`` gives the cells of each sheet (XlsxWriter's Worksheet.table)."""

    def __init__(self, path, sheet_names, tables=None):
        self.path = path
        self.book = NullBook()
        tables = tables or {}
        self.sheets = {name: self.book.add_worksheet(name, tables.get(name))
                       for name in sheet_names}

    def close(self):
        # The finished workbook is moved to its final name: leave a file to move.
        with open(self.path, "wb"):
            pass
