import re

import pytest
import xlsxwriter

from vireo.trellis import reportbook as rb
from sheets_book import charts, refs


def draw(tmp_path, build, sheet="Res ult"):
    """Build a chart on a filled sheet, insert it and return its saved XML."""
    wb = xlsxwriter.Workbook(str(tmp_path / "c.xlsx"))
    ws = wb.add_worksheet(sheet)
    for r in range(8):
        ws.write_row(r, 0, [r * 10 + c for c in range(7)])
    ws.insert_chart("J2", build(wb))
    wb.close()
    (xml,) = charts(tmp_path / "c.xlsx")
    return xml


def num_formats(xml):
    return re.findall(r'<c:numFmt formatCode="([^"]*)"', xml)


def axis_titles(xml):
    axes = re.findall(r"<c:(?:catAx|valAx)>.*?</c:(?:catAx|valAx)>", xml)
    return [re.findall(r"<a:t>(.*?)</a:t>", a) for a in axes]


@pytest.mark.parametrize("axes, titles", [({}, [[], []]),
                                          ({"x_axis": "Model", "y_axis": "Score"},
                                           [["Model"], ["Score"]])])
def test_score_chart_draws_rmse_blue_and_vloo_red_per_model(tmp_path, axes, titles):
    xml = draw(tmp_path, lambda wb: rb.new_line_chart(wb, "Res ult", 5, 0, 1, 2, "Scores", **axes))
    assert refs(xml) == ["'Res ult'!$B$1", "'Res ult'!$A$2:$A$6", "'Res ult'!$B$2:$B$6",
                         "'Res ult'!$C$1", "'Res ult'!$A$2:$A$6", "'Res ult'!$C$2:$C$6"]
    assert re.findall(r'<a:srgbClr val="(\w+)"/>', xml) == ["0000FF", "FF0000"]
    assert xml.count('<c:symbol val="square"/><c:size val="2"/>') == 2
    assert '<a:latin typeface="Arial"/></a:rPr><a:t>Scores</a:t>' in xml
    assert num_formats(xml) == ["0.000", "0.000"]
    assert axis_titles(xml) == titles


def test_score_chart_axis_formats_are_the_callers(tmp_path):
    xml = draw(tmp_path, lambda wb: rb.new_line_chart(wb, "Res ult", 3, 0, 1, 2, "", x_format="0",
                                                      y_format="0.0"))
    assert num_formats(xml) == ["0", "0.0"]


def test_one_row_series_spans_width_plus_one_columns(tmp_path):
    xml = draw(tmp_path, lambda wb: rb.new_rows_line_chart(wb, "Res ult", 4, 2, 3,
                                                           serienames="Averages"))
    assert "<c:v>Averages</c:v>" in xml
    assert refs(xml) == ["'Res ult'!$C$1:$F$1", "'Res ult'!C5:F5"]
    assert "errBars" not in xml and "<c:title>" not in xml
    assert '<c:legendPos val="t"/>' in xml and '<c:symbol val="circle"/><c:size val="6"/>' in xml


def test_row_series_in_parallel_with_custom_error_bars(tmp_path):
    xml = draw(tmp_path, lambda wb: rb.new_rows_line_chart(
        wb, "Res ult", [1, 2, 3], 1, 2, [[], [0.5, 0.25, 1]], ["A", "B"], "T", "x", "y"))
    assert refs(xml) == ["'Res ult'!$B$1:$D$1", "'Res ult'!B2:D2",
                         "'Res ult'!$B$1:$D$1", "'Res ult'!B3:D3"]  # the third row has no name
    (bars,) = re.findall(r"<c:errBars>.*?</c:errBars>", xml)
    plus, minus = re.findall(r"<c:(?:plus|minus)>(.*?)</c:(?:plus|minus)>", bars)
    assert plus == minus and re.findall(r"<c:v>(.*?)</c:v>", plus) == ["0.5", "0.25", "1"]
    assert axis_titles(xml) == [["x"], ["y"]] and num_formats(xml) == ["#,##0.00"] * 2


def test_rows_left_without_error_values_give_no_series(tmp_path):
    wb = xlsxwriter.Workbook(str(tmp_path / "c.xlsx"))
    chart = rb.new_rows_line_chart(wb, "S", [1, 2, 3], 2, 3)
    assert chart.series == [] and chart.legend["position"] == "top"


@pytest.mark.parametrize("texts", [{"title": None}, {"x_axis": 5}])
def test_row_chart_texts_need_a_length(tmp_path, texts):
    wb = xlsxwriter.Workbook(str(tmp_path / "c.xlsx"))
    with pytest.raises(TypeError):
        rb.new_rows_line_chart(wb, "S", 1, 2, 3, serienames="R", **texts)
