"""Reading back a saved workbook the way a user meets it: cells, charts, anchors."""
import re
import zipfile

import openpyxl
import pandas as pd


def parts(path, folder):
    """XML texts of the zip members under ``folder``, in their numeric order."""
    with zipfile.ZipFile(str(path)) as z:
        names = [n for n in z.namelist() if n.startswith(folder) and n.endswith(".xml")]
        names.sort(key=lambda n: int(re.findall(r"(\d+)\.xml$", n)[0]))
        return [z.read(n).decode() for n in names]


def charts(path):
    return parts(path, "xl/charts/chart")


def chart_with(path, text):
    """The one chart whose XML holds ``text`` (a title, say)."""
    (found,) = [c for c in charts(path) if text in c]
    return found


def refs(xml):
    """Every cell reference of a chart, in document order."""
    return re.findall(r"<c:f>(.*?)</c:f>", xml)


def anchors(path):
    """(column, row) of the top-left corner of every drawn object."""
    found = []
    for xml in parts(path, "xl/drawings/drawing"):
        found += [(int(c), int(r)) for c, r in
                  re.findall(r"<xdr:from><xdr:col>(\d+)</xdr:col>.*?<xdr:row>(\d+)</xdr:row>", xml)]
    return found


def book(path):
    return openpyxl.load_workbook(str(path))


def frame(rows, cols, first=1.0):
    """A numeric Frame whose values differ cell by cell (so minima are known)."""
    return pd.DataFrame([[first + r + 0.01 * c for c in range(cols)] for r in range(rows)],
                        columns=["c%d" % c for c in range(cols)])
