"""Workbooks written through pandas and read back as a user sees them."""
import re
import zipfile

import numpy as np
import openpyxl
import pandas as pd

from sheets_book import assert_valid_parts


class Book:
    """A pandas writer holding ``frames`` (no index column unless asked) and a "Utilities" sheet."""

    def __init__(self, tmp_path, frames, index=False, utilities=True):
        self.path = tmp_path / "book.xlsx"
        self.writer = pd.ExcelWriter(str(self.path), engine="xlsxwriter")
        for name, frame in frames.items():
            frame.to_excel(self.writer, sheet_name=name, index=index)
        self.book = self.writer.book
        self.util = self.book.add_worksheet("Utilities") if utilities else None

    def __getitem__(self, name):
        return self.writer.sheets[name]

    def close(self):
        self.writer.close()
        assert_valid_parts(self.path)
        return openpyxl.load_workbook(self.path)

    def xml(self, member):
        with zipfile.ZipFile(self.path) as z:
            return z.read(member).decode() if member in z.namelist() else None


def column(ws, col):
    """Settings of zero-based column ``col`` (openpyxl groups equal neighbours)."""
    return next((d for d in ws.column_dimensions.values() if d.min and d.min <= col + 1 <= d.max), None)


def hidden_columns(ws):
    return [c for c in range(30) if column(ws, c) is not None and column(ws, c).hidden]


def cells(ws, min_row=1):
    return {c.coordinate: c.value for row in ws.iter_rows(min_row=min_row) for c in row if c.value is not None}


def _values(wb, sheet, ref):
    name, _, rng = ref.rpartition("!")
    got = (wb[name[1:-1].replace("''", "'")] if name else sheet)[rng.replace("$", "")]
    return [c.value for row in (got if isinstance(got, tuple) else ((got,),)) for c in row]


def evaluate(wb, sheet, formula):
    """The value of a score formula of the sheet writers, computed with numpy."""
    m = (re.fullmatch(r"=SQRT\(SUMXMY2\(([^,]+),([^)]+)\)/(\d+|COUNTA\(([^)]+)\))\)", formula)
         or re.fullmatch(r"=PEARSON\(([^,]+),([^)]+)\)", formula))
    if m is None:
        ref = re.fullmatch(r"=(\$[A-Z]+\$\d+)\*\1", formula)[1]
        return evaluate(wb, sheet, sheet[ref.replace("$", "")].value) ** 2
    # Like the spreadsheet: pairs with a blank on either side do not count.
    x, y = np.array([(a, b) for a, b in zip(_values(wb, sheet, m[1]), _values(wb, sheet, m[2]))
                     if isinstance(a, (int, float)) and isinstance(b, (int, float))]).T
    if formula.startswith("=PEARSON"):
        return np.corrcoef(x, y)[0, 1]
    n = sum(v is not None for v in _values(wb, sheet, m[4])) if m[4] else int(m[3])
    return np.sqrt(((x - y) ** 2).sum() / n)


def series(xml):
    """[(name, x formula, y formula)] of every series of a chart."""
    return [(re.search(r"<c:v>(.*?)</c:v>", s)[1], *re.findall(r"<c:f>(.*?)</c:f>", s))
            for s in re.findall(r"<c:ser>.*?</c:ser>", xml)]


def texts(xml):
    """Chart title and axis titles, in that order."""
    return re.findall(r"<a:t>(.*?)</a:t>", xml)


def overlapping_columns(path, member="xl/worksheets/sheet1.xml"):
    """Column setting ranges that overlap: spreadsheet applications repair such a file."""
    with zipfile.ZipFile(path) as z:
        spans = sorted((int(a), int(b)) for a, b in re.findall(r'<col min="(\d+)" max="(\d+)"', z.read(member).decode()))
    return [(s, t) for s, t in zip(spans, spans[1:]) if t[0] <= s[1]]
