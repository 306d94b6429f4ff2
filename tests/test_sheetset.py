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
    def __init__(self, sheets, seen):
        super().__init__(sheets)
        self.seen = seen

    def __contains__(self, name):
        self.seen.append(name)
        return dict.__contains__(self, name)


class Sheet:
    """A worksheet stand-in noting the calls made on it, in order."""
    def __init__(self, name, calls):
        self.name, self.calls = name, calls

    def __getattr__(self, method):
        return lambda *args, **kw: self.calls.append((self.name, method) + args)


def standin(present, seen, calls, tmp_path):
    book_ = xlsxwriter.Workbook(str(tmp_path / "standin.xlsx"))
    return types.SimpleNamespace(book=book_, sheets=Sheets({n: Sheet(n, calls) for n in present}, seen))


def test_sheets_are_looked_up_in_order_and_only_present_ones_are_finished(tmp_path):
    seen, calls = [], []
    writer = standin(["Result"], seen, calls, tmp_path)
    frames = [frame(4, 3)] + [frame(3, 8)] * 6  # frames of absent sheets stay unread
    rb.enrichExcelFile(writer, "logP", sheetList=NAMES, frameList=frames, resultcount=4,
                       infolen="never used")
    assert seen == NAMES
    assert {c[0] for c in calls} == {"Result"}
    assert [c[1] for c in calls[-2:]] == ["freeze_panes", "insert_chart"]
    assert calls[-1][2] == "$G$2"  # right of three Frame columns and the writer's three


@pytest.mark.parametrize("sheets, frames", [(NAMES[:6], [None] * 7), (NAMES, [None] * 8),
                                            ([], [])])
def test_lists_other_than_seven_fail_before_any_lookup(tmp_path, sheets, frames):
    seen, calls = [], []
    with pytest.raises(ValueError, match="unpack"):
        rb.enrichExcelFile(standin(NAMES, seen, calls, tmp_path), "logP", 0, sheets, frames)
    assert seen == calls == []


@pytest.mark.parametrize("n, resultcount", [(1, 1), (3, 2)])
def test_result_line_chart_plots_the_first_trainings_beside_the_table(tmp_path, monkeypatch,
                                                                     n, resultcount):
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
