import re
import types

import pytest
import xlsxwriter

from conftest import open_writer
from vireo.trellis import reportbook as rb
from sheets_book import anchors, book, charts, frame, refs

NAMES = ["Result", "Training", "Test", "LOO CV", "LOO test", "BS training", "BS test"]


class Sheets(dict):
    """The writer's sheet mapping, noting every name looked up."""
    def __contains__(self, name):
        self.seen.append(name)
        return dict.__contains__(self, name)


class Sheet:
    """A worksheet stand-in noting the calls made on it, in order."""
    def __init__(self, name, calls):
        self.name, self.calls = name, calls

    def __getattr__(self, method):
        return lambda *args, **kw: self.calls.append((self.name, method) + args)


def standin(present, calls, tmp_path):
    sheets = Sheets({n: Sheet(n, calls) for n in present})
    sheets.seen = []
    return types.SimpleNamespace(book=xlsxwriter.Workbook(str(tmp_path / "s.xlsx")), sheets=sheets)


def test_sheets_are_looked_up_in_order_and_only_present_ones_are_finished(tmp_path):
    calls = []
    writer = standin(["Result"], calls, tmp_path)
    rb.enrichExcelFile(writer, "logP", sheetList=NAMES, frameList=[frame(4, 3)] + [None] * 6,
                       resultcount=4, infolen="never used")
    assert writer.sheets.seen == NAMES and {c[0] for c in calls} == {"Result"}
    # the chart goes right of the three Frame columns and the writer's three, after the writer
    assert [c[1:3] for c in calls[-2:]] == [("freeze_panes", 1), ("insert_chart", "$G$2")]


@pytest.mark.parametrize("sheets, frames", [(NAMES[:6], [None] * 7), (NAMES, [None] * 8), ([], [])])
def test_lists_other_than_seven_fail_before_any_lookup(tmp_path, sheets, frames):
    calls = []
    writer = standin(NAMES, calls, tmp_path)
    with pytest.raises(ValueError, match="unpack"):
        rb.enrichExcelFile(writer, "logP", 0, sheets, frames)
    assert writer.sheets.seen == calls == []


@pytest.mark.parametrize("n, resultcount", [(1, 1), (3, 2)])
def test_result_line_chart_plots_the_trainings_beside_the_table(tmp_path, monkeypatch, n,
                                                                resultcount):
    monkeypatch.setattr(rb, "NUM_FORMAT", "0.00")
    writer = open_writer(tmp_path / "r.xlsx", {"Result": frame(n, 3)})
    rb.enrichExcelFile(writer, "logP", sheetList=NAMES, frameList=[frame(n, 3)] + [None] * 6,
                       resultcount=resultcount)
    writer.close()
    (xml,) = charts(tmp_path / "r.xlsx")
    rows = "'Result'!${0}$2" + (":${0}$%d" % (resultcount + 1) if resultcount > 1 else "")
    assert refs(xml) == ["'Result'!$B$1", rows.format("A"), rows.format("B"),
                         "'Result'!$C$1", rows.format("A"), rows.format("C")]
    assert "<a:t>Trainings</a:t>" in xml
    assert re.findall(r'<c:numFmt formatCode="([^"]*)"', xml) == ["0", "0.00"]
    assert anchors(tmp_path / "r.xlsx") == [(6, 1)]
    assert book(tmp_path / "r.xlsx")["Result"]["E1"].value == "Avg VLOO"
