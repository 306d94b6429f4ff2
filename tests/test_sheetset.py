"""The sheet set (enrichExcelFile): which sheets are looked up and finished, in
what order, with every evaluation writer handing its figures to the next; and
the entry points naming a caller's mistake before anything is written."""
import re
import types
from collections import OrderedDict

import pytest
import xlsxwriter

from helpers.charts import anchors, chart_with, charts, refs
from helpers.readback import book
from helpers.writer_input import CAMPAIGN_SHEETS, campaign_frames, frame, make_options, open_campaign, open_writer
from vireo.trellis import reportbook as rb

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
    assert re.findall(r'<c:numFmt formatCode="([^"]*)"', xml) == ["0", "0.00"]
    assert anchors(tmp_path / "r.xlsx") == [(6, 1)]
    assert book(tmp_path / "r.xlsx")["Result"]["E1"].value == "Avg VLOO"


FRAMES = dict(zip(NAMES, [frame(3, 3), frame(6, 6), frame(5, 14), frame(6, 6), frame(4, 5),
                          frame(5, 9), frame(5, 4)]))


def campaign(tmp_path, present=NAMES, **options):
    path = tmp_path / "campaign.xlsx"
    writer = open_writer(path, {n: FRAMES[n] for n in present})
    writer.book.add_worksheet("Utilities")
    settings = dict(besttrainindex=1, paramcount=3, resultcount=1, maxreclist=[1], infolen=4)
    rb.enrichExcelFile(writer, "logP", sheetList=NAMES,
                       frameList=[FRAMES[n] if n in present else None for n in NAMES],
                       **dict(settings, **options))
    writer.close()
    return path


def ref_cells(xml):
    return [r.split("!")[-1] for r in refs(xml)]


@pytest.mark.parametrize("present, blocks", [
    (NAMES, {4: "Training", 7: "Test", 10: "LOO CV"}),
    (["Test", "LOO CV"], {4: "Test", 7: "LOO CV"}),  # the caller's row reaches the test writer
    (["LOO CV", "BS training"], {4: "LOO CV"}),
])
def test_each_min_max_block_starts_where_the_previous_writer_stopped(tmp_path, present, blocks):
    path = campaign(tmp_path, present)
    util = book(path)["Utilities"]
    assert {r - 1: util.cell(r, 2).value for r in range(1, 20) if util.cell(r, 2).value} == blocks
    if "Test" in present:  # the test chart's bisector runs between its own block's bounds
        row = {label: r for r, label in blocks.items()}["Test"]
        assert "'Utilities'!$D$%d:$D$%d" % (row + 2, row + 3) in refs(chart_with(path, "logP Test"))


@pytest.mark.parametrize("decorindex, decorindexLOO, names", [
    (0, 0, ["Test result chart", "LOO CV chart"]),
    (3, 2, ["Test result chart(3)", "LOO CV chart(2)"]),
])
def test_chart_sheets_carry_the_decorations(tmp_path, decorindex, decorindexLOO, names):
    path = campaign(tmp_path, decorindex=decorindex, decorindexLOO=decorindexLOO)
    assert book(path).sheetnames[-4:] == ["Training #1 chart", "VLOO #1 chart"] + names
    assert ref_cells(chart_with(path, "LOO CV logP"))[:2] == ["$C$2:$C$7", "$D$2:$D$7"]


@pytest.mark.parametrize("column, verbose, maxreclist, measured, plotted", [
    (-1, 0, [1], "E", "F"),
    (-1, 2, [1, 3, 5], "E", "O"),  # the first further model, after three columns per selected one
    (-1, 2, [1, 2], "E", "L"),
    (-1, 2, [3, 3, 5], "E", "F"),
    (2, 0, [1], "C", "D"),
])
def test_test_chart_plots_the_chosen_column_against_the_measured_one(
        tmp_path, column, verbose, maxreclist, measured, plotted):
    path = campaign(tmp_path, ["Test"], testresultColumn=column, verbosexls=verbose,
                    maxreclist=maxreclist)
    assert ref_cells(chart_with(path, "logP Test"))[:2] == ["${0}$2:${0}$6".format(c)
                                                        for c in (measured, plotted)]


def test_loo_test_and_bootstrap_sheets_get_their_own_writers(tmp_path):
    calls = []
    present = ["LOO test", "BS training", "BS test"]
    writer = standin(present, calls, tmp_path)
    rb.enrichExcelFile(writer, "logP", sheetList=NAMES,
                       frameList=[FRAMES[n] if n in present else None for n in NAMES],
                       LOOResultTrainColumn=5)
    hidden = {"hidden": True}
    assert ("LOO test", "set_column", "B:E", None, None, hidden) in calls
    assert ("BS test", "set_column", "B:B", None, None, hidden) in calls
    assert ("BS training", "write_string", 7, 0, "RMSE") in calls
    assert {c[0] for c in calls} == {"LOO test", "BS training", "BS test"}


def own(tmp_path, utilities=True):
    """(workbook, writer, Frames) of a modeller's own campaign, a "Utilities" sheet added."""
    frames = campaign_frames()
    writer = open_campaign(tmp_path / "own.xlsx", frames)
    if utilities:
        writer.book.add_worksheet("Utilities")
    return writer.book, writer, frames


def sheet_set(wb, w, f, **over):
    args = dict(sheetList=CAMPAIGN_SHEETS, frameList=f, besttrainindex=2, resultcount=3,
                maxreclist=[1], infolen=4, trainresultColumn=3, LOOResultTrainColumn=3)
    args.update(over)
    return lambda: rb.enrichExcelFile(w, "logP", **args)


# Each entry point, given one mistake: (call, error, what the message names).
MISTAKES = {
    "set: verbosexls": (lambda wb, w, f: sheet_set(wb, w, f, verbosexls="2"), TypeError,
                        r"verbosexls must be a number \(the verbosity level\), not str '2'"),
    "set: maxreclist": (lambda wb, w, f: sheet_set(wb, w, f, maxreclist=3), TypeError,
                        r"maxreclist must be a list of model counts"),
    "set: no Utilities": (lambda wb, w, f: sheet_set(wb, w, f), ValueError,
                          r"the workbook has no sheet 'Utilities': the training sheet 'Training'"),
    "training: resultColumn past the Frame": (
        lambda wb, w, f: lambda: rb.enrichTrainSheet(wb, w.sheets["Training"], f[1], 3, 2, 16,
                                                     "logP", 13, 4),
        ValueError, r"resultColumn 16 lies outside the Frame, whose 16 columns"),
    "training: resultColumn text": (
        lambda wb, w, f: lambda: rb.enrichTrainSheet(wb, w.sheets["Training"], f[1], 3, 2, "3",
                                                     "logP", 13, 4),
        TypeError, r"resultColumn must be an integer, not str '3'"),
    "test: count text": (
        lambda wb, w, f: lambda: rb.enrichTestSheet(wb, w.sheets["Test"], f[2], 4, ["5"], 0.5, 0, 4),
        TypeError, r"maxreclist\[0\] must be a number"),
    "LOO: no measured column": (
        lambda wb, w, f: lambda: rb.enrichLOOTrainSheet(wb, w.sheets["LOO CV"], f[3], 0, 0, 1, 0, 0, 4),
        ValueError, r"resultColumn 0 less 1 lies outside the Frame"),
    "result: RMSE only": (
        lambda wb, w, f: lambda: rb.enrichResultSheet(wb, w.sheets["Results"], f[0][["RMSE"]]),
        ValueError, r"Frame has 1 column\(s\).*refer to themselves"),
    "line chart": (
        lambda wb, w, f: lambda: rb.new_line_chart(wb, "Results", 3, 0, 1, 9, "Scores"),
        ValueError, r"VLOOcol 9: the sheet 'Results' has no data in column J \(9\)"),
    "test chart": (
        lambda wb, w, f: lambda: rb.getTestChart(wb, 4, [20], ["r"], ["blue"], ["circle"], "logP",
                                                 "", "Test", 5, 1.0, 3.0, ""),
        ValueError, r"computedcol\[0\] 20: the sheet 'Test' has no data"),
    "training chart": (
        lambda wb, w, f: lambda: rb.getBestTrainChart(wb, 3, 30, 10, 1.0, 3.0, "logP", 2, "",
                                                      "Training"),
        ValueError, r"computedcol 30: the sheet 'Training' has no data"),
    "scatter chart": (
        lambda wb, w, f: lambda: rb.new_scatter_chart(wb, "s", "Training", 10, 1.0, 3.0, 2.5, 4,
                                                      None, "T", "X", "Y", "blue", "circle"),
        TypeError, r"expectedcol must be an integer \(a column counted from 0\), not float 2\.5"),
}


@pytest.mark.parametrize("mistake", list(MISTAKES))
def test_entry_points_name_the_mistake_before_writing(tmp_path, mistake):
    make, error, match = MISTAKES[mistake]
    wb, w, f = own(tmp_path, utilities=mistake != "set: no Utilities")
    sheets = [s.name for s in wb.worksheets()]
    with pytest.raises(error, match=match):
        make(wb, w, f)()
    assert [s.name for s in wb.worksheets()] == sheets and wb.charts == []
    assert all(s.zoom == 100 and s.dim_rowmax in (None, len(f[i]))
               for i, s in enumerate(wb.worksheets()[:4]))
    util = wb.get_worksheet_by_name("Utilities")
    assert util is None or util.dim_rowmax is None
    w.close()


@pytest.mark.parametrize("attr, value, match", [
    ("multimaxrec", 3, r"options\.multimaxrec must be a list.*int 3"),
    ("leveragethreshold", "inf", r"options\.leveragethreshold must be a number"),
])
def test_custom_table_names_the_option_before_storing(tmp_path, attr, value, match):
    options = make_options(tmp_path, **{attr: value})
    table = OrderedDict([("Run", ("a", "text"))])
    with pytest.raises(TypeError, match=match):
        rb.getCustomDict(options, table)
    assert list(table) == ["Run"]
