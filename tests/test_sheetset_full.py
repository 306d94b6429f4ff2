"""The sheet set with every evaluation writer: figures handed from one to the next."""
import pytest

from conftest import open_writer
from vireo.trellis import reportbook as rb
from sheets_book import book, chart_with, frame, refs
from test_sheetset import NAMES, standin

FRAMES = dict(zip(NAMES, [frame(3, 3), frame(6, 6), frame(5, 14), frame(6, 6), frame(4, 5),
                          frame(5, 9), frame(5, 4)]))


def campaign(tmp_path, present=NAMES, **options):
    path = tmp_path / "campaign.xlsx"
    writer = open_writer(path, {n: FRAMES[n] for n in present})
    writer.book.add_worksheet("Utilities")
    settings = dict(besttrainindex=1, paramcount=3, resultcount=1, maxreclist=[1], infolen=4)
    rb.enrichExcelFile(writer, "logP", sheetList=NAMES, frameList=list(FRAMES.values()),
                       **dict(settings, **options))
    writer.close()
    return path


def cells(xml):
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
    assert cells(chart_with(path, "LOO CV logP"))[:2] == ["$C$2:$C$7", "$D$2:$D$7"]


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
    assert cells(chart_with(path, "logP Test"))[:2] == ["${0}$2:${0}$6".format(c)
                                                        for c in (measured, plotted)]


def test_loo_test_and_bootstrap_sheets_get_their_own_writers(tmp_path):
    calls = []
    writer = standin(["LOO test", "BS training", "BS test"], calls, tmp_path)
    rb.enrichExcelFile(writer, "logP", sheetList=NAMES, frameList=list(FRAMES.values()),
                       LOOResultTrainColumn=5)
    hidden = {"hidden": True}
    assert ("LOO test", "set_column", "B:E", None, None, hidden) in calls
    assert ("BS test", "set_column", "B:B", None, None, hidden) in calls
    assert ("BS training", "write_string", 7, 0, "RMSE") in calls
    assert {c[0] for c in calls} == {"LOO test", "BS training", "BS test"}
