"""A saved workbook read back the way a user meets it: parts, cells, columns,
properties, and the scores its formulas stand for."""
import math
import re
import zipfile
import xml.etree.ElementTree as ET

import numpy as np
import openpyxl

# xs:double: a decimal or scientific number, INF, -INF or NaN (not "inf").
XS_DOUBLE = re.compile(r"[+-]?(\d+(\.\d*)?|\.\d+)([eE][+-]?\d+)?|-?INF|NaN")


def assert_valid_parts(path):
    """What spreadsheet applications repair a workbook for: a number property
    that is no xs:double, a chartsheet without its drawing."""
    with zipfile.ZipFile(str(path)) as z:
        names = z.namelist()
        if "docProps/custom.xml" in names:
            custom = z.read("docProps/custom.xml").decode()
            for tag, text in re.findall(r"<vt:(r8|i4)>([^<]*)</vt:\1>", custom):
                assert XS_DOUBLE.fullmatch(text), "vt:%s %r is no number" % (tag, text)
        for name in names:
            if re.fullmatch(r"xl/chartsheets/sheet\d+\.xml", name):
                assert "<drawing " in z.read(name).decode(), "%s has no drawing" % name


def book(path):
    """The workbook as openpyxl reads it, once its parts are found sound."""
    assert_valid_parts(path)
    return openpyxl.load_workbook(str(path))


def cells(ws, min_row=1):
    """{coordinate: value} of every cell holding something, from ``min_row`` down."""
    return {c.coordinate: c.value for row in ws.iter_rows(min_row=min_row) for c in row if c.value is not None}


def column(ws, col):
    """Settings of zero-based column ``col`` (openpyxl groups equal neighbours)."""
    return next((d for d in ws.column_dimensions.values() if d.min and d.min <= col + 1 <= d.max), None)


def hidden_columns(ws):
    return [c for c in range(30) if column(ws, c) is not None and column(ws, c).hidden]


def overlapping_columns(path, member="xl/worksheets/sheet1.xml"):
    """Column setting ranges that overlap: spreadsheet applications repair such a file."""
    with zipfile.ZipFile(path) as z:
        xml = z.read(member).decode()
    spans = sorted((int(a), int(b)) for a, b in re.findall(r'<col min="(\d+)" max="(\d+)"', xml))
    return [(s, t) for s, t in zip(spans, spans[1:]) if t[0] <= s[1]]


def custom_properties(path):
    """{name: (xml type, text)} as stored in docProps/custom.xml."""
    assert_valid_parts(path)
    with zipfile.ZipFile(path) as z:
        root = ET.fromstring(z.read("docProps/custom.xml"))
    out = {}
    for prop in root:
        (value,) = list(prop)
        # openpyxl 3.1 refuses a workbook that names a property twice.
        assert prop.get("name") not in out, "property %s saved twice" % prop.get("name")
        out[prop.get("name")] = (value.tag.rsplit("}", 1)[-1], value.text)
    return out


def read_property_table(path):
    """The (name, value) rows of the "Utilities" sheet's property table, and the sheet itself."""
    sheet = openpyxl.load_workbook(path)["Utilities"]
    rows = [(sheet.cell(r, 2).value, sheet.cell(r, 3).value) for r in range(2, sheet.max_row + 1)]
    return rows, sheet


def rmse(x, y, n=None):
    """Root mean square of x - y, over ``n`` (the pairs by default)."""
    return math.sqrt(((np.asarray(x) - np.asarray(y)) ** 2).sum() / (n or len(x)))


def pearson(x, y):
    return float(np.corrcoef(x, y)[0, 1])


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
        return pearson(x, y)
    n = sum(v is not None for v in _values(wb, sheet, m[4])) if m[4] else int(m[3])
    return rmse(x, y, n)
