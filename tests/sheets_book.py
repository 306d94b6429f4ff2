"""Reading back a saved workbook the way a user meets it: cells, charts, anchors."""
import re
import zipfile

import openpyxl
import pandas as pd


def charts(path):
    """XML of every chart, in the order the charts were created."""
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
    return openpyxl.load_workbook(str(path))


def frame(rows, cols):
    """A numeric Frame whose cells all differ."""
    return pd.DataFrame([[1.0 + r + 0.01 * c for c in range(cols)] for r in range(rows)])
