"""Line charts: the scores per model, and series walked along rows with their error bars."""
import re

import pytest
import xlsxwriter

from helpers.charts import charts, refs
from vireo.trellis import reportbook as rb


def draw(tmp_path, build):
    """The saved XML of a chart built on a filled sheet "Res ult"."""
    wb = xlsxwriter.Workbook(str(tmp_path / "c.xlsx"))
    ws = wb.add_worksheet("Res ult")
    for r in range(8):
        ws.write_row(r, 0, [r * 10 + c for c in range(7)])
    ws.insert_chart("J2", build(wb))
    wb.close()
    (xml,) = charts(tmp_path / "c.xlsx")
    return xml, re.findall(r'<c:numFmt formatCode="([^"]*)"', xml), [
        re.findall(r"<a:t>(.*?)</a:t>", a) for a in re.findall(r"<c:(?:cat|val)Ax>.*?</c:\w+Ax>", xml)]


@pytest.mark.parametrize("options, formats, titles", [
    ({}, ["0.000", "0.000"], [[], []]),
    ({"x_axis": "Model", "y_axis": "Score", "x_format": "0", "y_format": "0.0"}, ["0", "0.0"],
     [["Model"], ["Score"]]),
])
def test_score_chart_plots_rmse_and_vloo_per_model(tmp_path, options, formats, titles):
    xml, got_formats, got_titles = draw(
        tmp_path, lambda wb: rb.new_line_chart(wb, "Res ult", 5, 0, 1, 2, "Scores", **options))
    assert refs(xml) == ["'Res ult'!$B$1", "'Res ult'!$A$2:$A$6", "'Res ult'!$B$2:$B$6",
                         "'Res ult'!$C$1", "'Res ult'!$A$2:$A$6", "'Res ult'!$C$2:$C$6"]
    assert (got_formats, got_titles) == (formats, titles)


def test_one_row_series_spans_width_plus_one_columns(tmp_path):
    xml, formats, titles = draw(
        tmp_path, lambda wb: rb.new_rows_line_chart(wb, "Res ult", 4, 2, 3, serienames="Averages"))
    assert refs(xml) == ["'Res ult'!$C$1:$F$1", "'Res ult'!C5:F5"] and "<c:v>Averages</c:v>" in xml
    assert "errBars" not in xml and "<c:title>" not in xml and '<c:legendPos val="t"/>' in xml


def test_row_series_walked_in_parallel_with_custom_error_bars(tmp_path):
    xml, formats, titles = draw(tmp_path, lambda wb: rb.new_rows_line_chart(
        wb, "Res ult", [1, 2, 3], 1, 2, [[], [0.5, 0.25, 1]], ["A", "B"], "T", "x", "y"))
    assert refs(xml) == ["'Res ult'!$B$1:$D$1", "'Res ult'!B2:D2",  # the third row has no name
                         "'Res ult'!$B$1:$D$1", "'Res ult'!B3:D3"]
    (bars,) = re.findall(r"<c:errBars>.*?</c:errBars>", xml)
    plus, minus = re.findall(r"<c:(?:plus|minus)>(.*?)</c:(?:plus|minus)>", bars)
    assert plus == minus and re.findall(r"<c:v>(.*?)</c:v>", plus) == ["0.5", "0.25", "1"]
    assert (formats, titles) == (["#,##0.00"] * 2, [["x"], ["y"]])


def test_rows_left_without_error_values_give_no_series(tmp_path):
    chart = rb.new_rows_line_chart(xlsxwriter.Workbook(str(tmp_path / "c.xlsx")), "S", [1, 2], 2, 3)
    assert chart.series == [] and chart.legend["position"] == "top"


def test_both_charts_name_the_sheet_as_the_toolkits_quote_does(tmp_path, monkeypatch):
    calls = []
    # A quote that leaves a name without blanks bare, where our own would quote it.
    monkeypatch.setattr(rb, "quote", lambda name, blankCond: calls.append((name, blankCond)) or name)
    wb = xlsxwriter.Workbook(str(tmp_path / "c.xlsx"))
    ws = wb.add_worksheet("S")
    for r in range(8):
        ws.write_row(r, 0, [r * 10 + c for c in range(7)])
    scores = rb.new_line_chart(wb, "S", 5, 0, 1, 2, "Scores")
    rows = rb.new_rows_line_chart(wb, "S", 4, 2, 3, serienames="A")
    assert (scores.series[0]["name_formula"], rows.series[0]["values"]) == ("=S!$B$1", "=S!C5:F5")
    assert calls == [("S", True), ("S", True)]
