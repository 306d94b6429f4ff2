"""Scatter charts: series, legend, axis bounds, the bisector, and the training and test chartsheets."""
import itertools
import re
from fractions import Fraction

import numpy as np
import pandas as pd
import pytest

from helpers.charts import series, texts
from helpers.writer_input import Book
from vireo.trellis import reportbook as rb

CHART = "xl/charts/chart1.xml"


@pytest.fixture
def wb(tmp_path):
    return Book(tmp_path, {"Data": pd.DataFrame({"x": 0.0, "m": np.linspace(1, 3, 10), "e1": 1.0, "e2": 2.0},
                                                index=range(10))})


def placed(wb, names, computedcol, colors, shapes, **kw):
    chart = rb.new_scatter_chart(wb.book, names, "Data", 10, 1.0, 3.0, 1, computedcol, None, "T", "X", "Y",
                                 colors, shapes, **kw)
    wb["Data"].insert_chart("H2", chart)
    wb.close()
    return wb.xml(CHART)


def bounds(xml):
    return re.findall(r"<c:(min|max) val=\"([^\"]*)\"", xml)


@pytest.mark.parametrize("names, computedcol, colors, shapes, expected, legend", [
    (["A", "B"], 2, ["blue", "red"], ["circle", "x"], ["A"], '<c:legendPos val="r"/>'),
    ("solo", [2, 3], ["blue", "red"], ["circle", "x"], ["solo"],
     '<c:legendPos val="b"/><c:legendEntry><c:idx val="2"/><c:delete val="1"/>'),
    (("a",), (2,), ("blue",), ("circle",), ["a"], None),
    (["a", "b", "c"], (2, 3), ["blue", "red"], ["circle", "x", "x"], ["a", "b"], '<c:idx val="2"/>')])
def test_series_and_legend(wb, names, computedcol, colors, shapes, expected, legend):
    xml = placed(wb, names, computedcol, colors, shapes)
    cols = [computedcol] if isinstance(computedcol, int) else computedcol
    assert series(xml) == [(n, "Data!$B$2:$B$11", "Data!$%s$2:$%s$11" % ("ABCD"[c], "ABCD"[c]))
                           for n, c in zip(expected, cols)]
    assert (legend in xml) if legend else "<c:legend>" not in xml
    assert bounds(xml) == [("max", "3.1"), ("min", "0.9")] * 2 and texts(xml) == ["T", "X", "Y"]


def test_bisector_and_padding(wb):
    xml = placed(wb, "s", 2, "blue", "circle", diagValues="='Data'!$B$2:$B$3", padding=0.5, bisectorcolor="#00FF00")
    assert series(xml)[1] == ("bisector", "'Data'!$B$2:$B$3", "'Data'!$B$2:$B$3")
    assert '<a:ln w="3175"><a:solidFill><a:srgbClr val="00FF00"/>' in xml and '<c:symbol val="none"/>' in xml
    assert bounds(xml) == [("max", "4.0"), ("min", "0.0")] * 2


def test_bisector_range_as_a_list(wb):
    xml = placed(wb, "s", 2, "blue", "circle", diagValues=["Data", 1, 1, 2, 1])
    assert series(xml)[1] == ("bisector", "Data!$B$2:$B$3", "Data!$B$2:$B$3")


class _Endless:
    def __iter__(self):
        return itertools.repeat("x")


@pytest.mark.parametrize("diag", [("Data", 1, 1, 2, 1), _Endless(), 3])
def test_bisector_range_of_another_type_is_refused(wb, diag):
    # XlsxWriter would search such a value for spaces, forever for an endless one.
    with pytest.raises(TypeError, match="diagValues"):
        rb.new_scatter_chart(wb.book, "s", "Data", 10, 1.0, 3.0, 1, 2, None, "T", "X", "Y",
                             "blue", "circle", diagValues=diag)


@pytest.mark.parametrize("pair, kept", [
    ((float("nan"), float("inf")), []), ((None, 2), [("max", "2")]), (("low", -np.inf), []),
    ((np.float64(1.5), Fraction(7, 2)), [("max", "3.5"), ("min", "1.5")])])
def test_axis_bounds_that_are_not_finite_numbers_are_left_out(wb, monkeypatch, pair, kept):
    monkeypatch.setattr(rb, "axisMinMax", lambda low, high, padding: pair)
    xml = placed(wb, "s", 2, "blue", "circle")
    assert bounds(xml) == kept * 2 and "nan" not in xml


def test_empty_single_series_sequences_fail(wb):
    with pytest.raises(IndexError):
        placed(wb, [], 2, "blue", "circle")


@pytest.mark.parametrize("besttrain, prefix, unit, decorator, chartname, want", [
    (3, "", "", "", "", ["Training #3 chart", "Training results", "logP for Training #3", "Measured logP",
                         " Estimated logP"]),
    (3, "VLOO", "", "", "", ["VLOO #3 chart", "VLOO results", "VLOO logP for Training #3", "Measured logP",
                             "VLOO Estimated logP"]),
    (None, "LOO CV", "mg", "_2", "", ["LOO CV chart_2", "LOO CV results", "LOO CV logP", "Measured logP (mg)",
                                      "LOO CV Estimated logP (mg)"]),
    (None, "", "", "", "", ["logP chart", "Training results", "logP", "Measured logP", " Estimated logP"]),
    (3, "", "", "(2)", "Mine", ["Mine", "Training results", "logP for Training #3", "Measured logP",
                                " Estimated logP"])])
def test_best_train_chart_names(wb, besttrain, prefix, unit, decorator, chartname, want):
    sheet = rb.getBestTrainChart(wb.book, 1, 2, 10, 1.0, 3.0, "logP", besttrain, unit, "Data", decorator=decorator,
                                 titleprefix=prefix, chartname=chartname, diagvalues="'Data'!$B$2:$B$3")
    wb.close()
    xml = wb.xml(CHART)
    assert [sheet.name, series(xml)[0][0]] + texts(xml) == want and series(xml)[1][0] == "bisector"


def test_failing_chart_leaves_its_title_on_the_chartsheet(wb, monkeypatch):
    # A chartsheet needs a drawing (Excel repairs the file by removing one
    # without): it keeps a chart of the title alone, and the caller is told.
    monkeypatch.setattr(rb, "axisMinMax", lambda *a: float("x"))
    with pytest.warns(UserWarning, match=r"'Training #3 chart' could not be built \(ValueError: "
                                         r"could not convert string to float: 'x'\)"):
        assert rb.getBestTrainChart(wb.book, 1, 2, 10, 1.0, 3.0, "logP", 3, "", "Data").name == \
            "Training #3 chart"
    monkeypatch.setattr(rb, "axisMinMax", lambda *a: (_ for _ in ()).throw(KeyboardInterrupt()))
    with pytest.raises(KeyboardInterrupt):
        rb.getBestTrainChart(wb.book, 1, 2, 10, 1.0, 3.0, "logP", 4, "", "Data")
    wb.close()
    xml = wb.xml(CHART)
    assert texts(xml) == ["logP for Training #3"] and "<c:pt " not in xml
    assert wb.xml("xl/charts/chart2.xml") is None and wb.xml("xl/chartsheets/sheet2.xml") is None


@pytest.mark.parametrize("unit, decorator, name, axes", [
    ("", "", "Test result chart", ["Measured logP", "Estimated logP"]),
    ("mg", "(2)", "Test result chart(2)", ["Measured logP (mg)", "Estimated logP (mg)"])])
def test_test_chart(wb, unit, decorator, name, axes):
    sheet = rb.getTestChart(wb.book, 1, [2], ["Test results"], ["blue"], ["circle"], "logP", unit, "Data", 10,
                            1.0, 3.0, decorator)
    wb.close()
    assert sheet.name == name and texts(wb.xml(CHART)) == ["logP Test"] + axes
    assert [s[0] for s in series(wb.xml(CHART))] == ["Test results"]


def test_failing_test_chart_adds_no_chartsheet(wb, monkeypatch):
    monkeypatch.setattr(rb, "axisMinMax", lambda *a: 1 / 0)
    with pytest.raises(ZeroDivisionError):
        rb.getTestChart(wb.book, 1, [2], ["r"], ["blue"], ["circle"], "logP", "", "Data", 10, 1.0, 3.0, "")
    wb.close()
    assert wb.xml("xl/chartsheets/sheet1.xml") is None


@pytest.mark.parametrize("computedcols, diagvalues, placed", [([], "", False), ([], "=Data!$A$1:$A$2", True)])
def test_test_chart_without_data_series_keeps_the_workbook_closable(wb, computedcols, diagvalues, placed):
    call = (wb.book, 1, computedcols, [], [], [], "logP", "", "Data", 10, 1.0, 3.0, "")
    if placed:
        rb.getTestChart(*call, diagvalues=diagvalues)
    else:
        with pytest.raises(ValueError, match="no series"):
            rb.getTestChart(*call, diagvalues=diagvalues)
    wb.close()
    assert (wb.xml("xl/chartsheets/sheet1.xml") is not None) == placed


def test_points_are_cached_as_numbers_with_gaps_for_other_cells(tmp_path):
    # A text ("inf", as pandas writes infinity) and a blank among the measured
    # values: the x values stay numbers, the other cells are gaps, not text
    # categories plotted at 1, 2, 3... nor y values cached as 0.
    frame = pd.DataFrame({"x": 0.0, "m": [1.0, np.inf, np.nan, 4.0], "e": [1.5, 2.0, "n/a", 3.5]})
    wb = Book(tmp_path, {"Data": frame}, index=True)
    chart = rb.new_scatter_chart(wb.book, "s", "Data", 4, 1.0, 4.0, 2, 3, None, "T", "X", "Y",
                                 "blue", "circle", diagValues="=Data!$C$2:$C$3")
    wb["Data"].insert_chart("H2", chart)
    wb.close()
    xml = wb.xml(CHART)
    assert "<c:strRef>" not in xml
    points = re.findall(r'<c:numCache><c:formatCode>General</c:formatCode><c:ptCount val="(\d+)"/>(.*?)'
                        r"</c:numCache>", xml)
    cached = [(int(n), {int(i): float(v) for i, v in re.findall(r'<c:pt idx="(\d)"><c:v>([^<]*)</c:v>', pts)})
              for n, pts in points]
    assert cached == [(4, {0: 1, 3: 4}), (4, {0: 1.5, 1: 2, 3: 3.5}), (2, {0: 1}), (2, {0: 1})]
