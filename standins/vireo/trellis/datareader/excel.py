"""Stand-ins for the toolkit's workbook readers.

Replaceable by the toolkit's own ``excel`` module; each class keeps only what
``tablemine`` relies on: construction with the file path and the keywords
``arange``, ``datafmt``, ``load`` and ``headerOnly``; use as a context; the
``titles`` attribute; ``range_names()``, ``get_data_ranges()`` and
``iterData(datarange, datafmt, skipline, titlesfirst)``.

A reader loads the whole book when constructed with ``load`` true and keeps
no file open afterwards.  A range is named by a defined name of the workbook,
an address ("Sheet1!A1:D20", "'My sheet'!$A$1:$D$20", or "A1:D20" on the
first sheet), or a sheet name (its used range); an empty name means the
first sheet's used range, defined names or not.  In ``datafmt`` a column is
given by its position in the range or by its title.

What the workbook lacks (a sheet, a range, a column) and a data row holding a
cell's error value (``#REF!``, ``#DIV/0!``...) raise ``ReaderError``; each
class of it is also the built-in error it was before (``KeyError`` for a
sheet, ``ValueError`` for a range, a title or an error cell, ``IndexError``
for a position).
"""
import csv
import numbers
import os
import re

from openpyxl.utils.cell import get_column_letter, range_boundaries


class ReaderError(Exception):
    """A range, sheet or column the workbook lacks, or a cell it cannot read."""


class SheetNotFound(ReaderError, KeyError):
    pass


class RangeNotFound(ReaderError, ValueError):
    pass


class ColumnNotFound(ReaderError, ValueError):
    pass


class ColumnOutOfRange(ReaderError, IndexError):
    pass


class ErrorCell(ReaderError, ValueError):
    pass


class _ErrorValue(str):
    """The text of a cell holding an error value, told from a text of the same words."""

    __slots__ = ("coordinate", "sheet")


def _plain(value):
    return str(value) if isinstance(value, _ErrorValue) else value


def _check_row(row):
    for value in row:
        if isinstance(value, _ErrorValue):
            raise ErrorCell("cell %s of sheet %r holds the error %s" % (value.coordinate, value.sheet, value))
    return row


class _Reader:
    """What the three readers share: ranges, titles and rows of a loaded book.

    A subclass's ``_read()`` returns the sheets, each a (name, grid, bounds)
    triple, where the grid holds the sheet's rows from A1 on and bounds is its
    used range (first column, first row, last column, last row; 1-based), and
    the named ranges, a dict from name to (sheet name, bounds).
    """

    def __init__(self, filename, arange="", datafmt=None, load=True, headerOnly=False, **options):
        self.filename = filename
        self.arange = arange or ""
        self.datafmt = datafmt
        self.headerOnly = headerOnly
        self.options = options
        self.titles = []
        self._sheets = None
        self._names = {}
        if load:
            self.load()

    def __enter__(self):
        return self

    def __exit__(self, *exc_info):
        self.close()
        return False

    def close(self):
        self._sheets = None
        self._names = {}

    def load(self):
        self._sheets, self._names = self._read()
        rows = self._range_rows(self.arange)
        header = rows[0] if rows else []
        self.titles = [_plain(header[c]) for c in self._columns(self.datafmt, header, len(header))]

    def range_names(self):
        """The defined names of the workbook, in the workbook's order."""
        self._loaded()
        return list(self._names)

    def get_data_ranges(self):
        """Each sheet's used range, as (sheet name, "A1:D20") pairs."""
        self._loaded()
        return [(name, _address(bounds)) for name, _, bounds in self._sheets]

    def iterData(self, datarange=None, datafmt=None, skipline=0, titlesfirst=True):
        """Yield the rows of a range, as lists of cell values.

        ``skipline`` rows are skipped at the top of the range.  With
        ``titlesfirst`` the next row holds the titles and is yielded first;
        with ``headerOnly`` it is the only row yielded.
        """
        self._loaded()
        rows = self._range_rows(datarange or self.arange)[skipline or 0:]
        fmt = self.datafmt if datafmt is None else datafmt
        if titlesfirst:
            if not rows:
                return
            header = rows[0]
            columns = self._columns(fmt, header, len(header))
            yield [_plain(header[c]) for c in columns]
            body = [] if self.headerOnly else rows[1:]
        else:
            columns = self._columns(fmt, None, max((len(r) for r in rows), default=0))
            body = [] if self.headerOnly else rows
        for row in body:
            yield _check_row([row[c] for c in columns])

    # --- inside ---------------------------------------------------------------

    def _read(self):
        raise NotImplementedError

    def _loaded(self):
        if self._sheets is None:
            raise ValueError("%s is not loaded" % self.filename)

    def _sheet(self, name):
        for sheet in self._sheets:
            if sheet[0] == name:
                return sheet
        raise SheetNotFound("no sheet %r in %s" % (name, self.filename))

    def _resolve(self, where):
        """The sheet and bounds a range name or address stands for."""
        if not where:
            if self._sheets:
                return self._sheets[0], self._sheets[0][2]
            raise RangeNotFound("%s holds no sheet" % self.filename)
        if where in self._names:
            sheetname, bounds = self._names[where]
            return self._sheet(sheetname), bounds
        if any(where == sheet[0] for sheet in self._sheets):
            sheet = self._sheet(where)
            return sheet, sheet[2]
        sheetname, _, cells = where.rpartition("!")
        if sheetname:
            if len(sheetname) > 1 and sheetname[0] == sheetname[-1] == "'":
                sheetname = sheetname[1:-1].replace("''", "'")
            sheet = self._sheet(sheetname)
        else:
            sheet = self._sheets[0]
        try:
            c1, r1, c2, r2 = range_boundaries(cells.replace("$", ""))
        except (ValueError, TypeError):
            raise RangeNotFound("no range %r in %s" % (where, self.filename)) from None
        used = sheet[2]
        return sheet, (c1 or used[0], r1 or used[1], c2 or used[2], r2 or used[3])

    def _range_rows(self, where):
        """The rows of a range, trailing empty rows left out."""
        (_, grid, _), (c1, r1, c2, r2) = self._resolve(where)
        rows = []
        for r in range(r1 - 1, r2):
            line = grid[r] if r < len(grid) else []
            rows.append([line[c] if c < len(line) else None for c in range(c1 - 1, c2)])
        while rows and all(v is None for v in rows[-1]):
            rows.pop()
        return rows

    @staticmethod
    def _columns(fmt, header, width):
        """Positions in a range row of the columns ``fmt`` names."""
        if fmt is None:
            return list(range(width))
        positions = []
        for field in fmt:
            if isinstance(field, numbers.Integral) and not isinstance(field, bool):
                if not -width <= field < width:
                    raise ColumnOutOfRange("column %d outside a range of %d columns" % (field, width))
                positions.append(int(field) % width)
            elif isinstance(field, str):
                if header is None or field not in header:
                    raise ColumnNotFound("no column titled %r" % field)
                positions.append(header.index(field))
            else:
                raise TypeError("a column is given by its position or its title, not %r" % (field,))
        return positions


def _address(bounds):
    c1, r1, c2, r2 = bounds
    return "%s%d:%s%d" % (get_column_letter(c1), r1, get_column_letter(c2), r2)


class Excel(_Reader):
    """Reader of ".xlsx" and ".xlsm" workbooks, through openpyxl."""

    def _read(self):
        import openpyxl

        book = openpyxl.load_workbook(self.filename, data_only=True)
        try:
            sheets = []
            for ws in book.worksheets:
                grid = [[_value(cell, ws.title) for cell in row] for row in ws.iter_rows()]
                sheets.append((ws.title, grid, (ws.min_column, ws.min_row, ws.max_column, ws.max_row)))
            names = {}
            for defined in _workbook_names(book):
                if defined.name.startswith("_xlnm."):
                    continue
                for sheetname, cells in defined.destinations:
                    names[defined.name] = (sheetname, range_boundaries(cells.replace("$", "")))
                    break
            return sheets, names
        finally:
            book.close()


def _value(cell, sheet):
    if cell.data_type != "e" or cell.value is None:
        return cell.value
    error = _ErrorValue(cell.value)
    error.coordinate, error.sheet = cell.coordinate, sheet
    return error


def _workbook_names(book):
    names = book.defined_names
    if hasattr(names, "definedName"):  # openpyxl before 3.1
        return [d for d in names.definedName if d.localSheetId is None]
    return list(names.values())


class ExcelXP(_Reader):
    """Reader of ".xls" workbooks, through xlrd."""

    def _read(self):
        import xlrd

        book = xlrd.open_workbook(self.filename)
        try:
            sheets = []
            for sh in book.sheets():
                grid = [[_xls_value(book, sh.cell(r, c)) for c in range(sh.ncols)]
                        for r in range(sh.nrows)]
                sheets.append((sh.name, grid, (1, 1, max(sh.ncols, 1), max(sh.nrows, 1))))
            names = {}
            for name in book.name_obj_list:
                if name.scope != -1 or name.builtin:
                    continue
                try:
                    sh, rlo, rhi, clo, chi = name.area2d(clipped=False)
                except xlrd.XLRDError:
                    continue
                names[name.name] = (sh.name, (clo + 1, rlo + 1, chi, rhi))
            return sheets, names
        finally:
            book.release_resources()


def _xls_value(book, cell):
    import xlrd

    kind = cell.ctype
    if kind in (xlrd.XL_CELL_EMPTY, xlrd.XL_CELL_BLANK, xlrd.XL_CELL_ERROR):
        return None
    if kind == xlrd.XL_CELL_NUMBER:
        return int(cell.value) if float(cell.value).is_integer() else cell.value
    if kind == xlrd.XL_CELL_DATE:
        return xlrd.xldate.xldate_as_datetime(cell.value, book.datemode)
    if kind == xlrd.XL_CELL_BOOLEAN:
        return bool(cell.value)
    return cell.value


_INT = re.compile(r"[+-]?\d+\Z")
_FLOAT = re.compile(r"[+-]?(\d+\.?\d*|\.\d+)([eE][+-]?\d+)?\Z")


def _csv_value(text):
    text = text.strip()
    if not text:
        return None
    if _INT.match(text):
        return int(text)
    if _FLOAT.match(text):
        return float(text)
    return text


class ExcelCsv(_Reader):
    """Reader of comma-separated text, seen as one sheet named after the file.

    The keyword ``delimiter`` chooses another separator.
    """

    def _read(self):
        delimiter = self.options.get("delimiter") or ","
        with open(self.filename, newline="", encoding="utf-8-sig") as handle:
            grid = [[_csv_value(v) for v in row] for row in csv.reader(handle, delimiter=delimiter)]
        width = max((len(row) for row in grid), default=1) or 1
        name = os.path.splitext(os.path.basename(self.filename))[0]
        return [(name, grid, (1, 1, width, max(len(grid), 1)))], {}
