"""Reading back a saved workbook the way a user meets it: cells, charts, anchors."""
import re
import zipfile

import openpyxl
import pandas as pd


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


def charts(path):
    """XML of every chart, in the order the charts were created."""
    assert_valid_parts(path)
    with zipfile.ZipFile(str(path)) as z:
        names = [n for n in z.namelist() if re.match(r"xl/charts/chart\d+\.xml$", n)]
        return [z.read(n).decode() for n in sorted(names, key=lambda n: int(re.sub(r"\D", "", n)))]


def chart_with(path, text):
    (found,) = [c for c in charts(path) if text in c]
    return found


def refs(xml):
    return re.findall(r"<c:f>(.*?)</c:f>", xml)


def anchors(path):
    """(column, row) of the top-left corner of every chart drawn on a worksheet."""
    with zipfile.ZipFile(str(path)) as z:
        xml = "".join(z.read(n).decode() for n in z.namelist() if n.startswith("xl/drawings/d"))
    found = re.findall(r"<xdr:from><xdr:col>(\d+)</xdr:col>.*?<xdr:row>(\d+)</xdr:row>", xml)
    return [(int(c), int(r)) for c, r in found]


def book(path):
    assert_valid_parts(path)
    return openpyxl.load_workbook(str(path))


def frame(rows, cols):
    """A numeric Frame whose cells all differ."""
    return pd.DataFrame([[1.0 + r + 0.01 * c for c in range(cols)] for r in range(rows)])
