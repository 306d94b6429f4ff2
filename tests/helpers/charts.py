"""The charts of a saved workbook: their XML, series, titles and places."""
import re
import zipfile

from helpers.readback import assert_valid_parts


def charts(path):
    """XML of every chart, in the order the charts were created."""
    assert_valid_parts(path)
    with zipfile.ZipFile(str(path)) as z:
        names = [n for n in z.namelist() if re.match(r"xl/charts/chart\d+\.xml$", n)]
        return [z.read(n).decode() for n in sorted(names, key=lambda n: int(re.sub(r"\D", "", n)))]


def chart_with(path, text):
    """The one chart whose XML holds ``text``."""
    (found,) = [c for c in charts(path) if text in c]
    return found


def refs(xml):
    """Every cell reference of a chart, in order."""
    return re.findall(r"<c:f>(.*?)</c:f>", xml)


def series(xml):
    """[(name, x formula, y formula)] of every series of a chart."""
    return [(re.search(r"<c:v>(.*?)</c:v>", s)[1], *refs(s)) for s in re.findall(r"<c:ser>.*?</c:ser>", xml)]


def texts(xml):
    """Chart title and axis titles, in that order."""
    return re.findall(r"<a:t>(.*?)</a:t>", xml)


def anchors(path):
    """(column, row) of the top-left corner of every chart drawn on a worksheet."""
    with zipfile.ZipFile(str(path)) as z:
        xml = "".join(z.read(n).decode() for n in z.namelist() if n.startswith("xl/drawings/d"))
    found = re.findall(r"<xdr:from><xdr:col>(\d+)</xdr:col>.*?<xdr:row>(\d+)</xdr:row>", xml)
    return [(int(c), int(r)) for c, r in found]
