import pytest
import xlsxwriter

from vireo.trellis import reportbook as rb
from sheets_book import book

CASES = [  # factory, number format, alignment, fill, font colour
    ("getLevFormat", "0.000", "center", None, None),
    ("getResFormat", "0.000", "center", None, None),
    ("getMeasuredFormat", "0.000", "center", None, None),
    ("getRoundoffFormat", "0.00E+00", "center", None, None),
    ("getIDformat", '"#"0', "center", None, None),
    ("getIntegerformat", "0", "center", None, None),
    ("getTextCenteredFormat", "General", "center", None, None),
    ("getMaxrecFormat", "General", None, "FFC7CE", "9C0006"),
    ("getThresholdFormat", "General", None, "FF00FF", "9C0006"),
]


@pytest.mark.parametrize("name, num_format, align, fill, font", CASES)
def test_cells_written_with_each_format_show_it(tmp_path, name, num_format, align, fill, font):
    wb = xlsxwriter.Workbook(str(tmp_path / "f.xlsx"))
    first, second = getattr(rb, name)(wb), getattr(rb, name)(wb)
    assert first is not second
    wb.add_worksheet("S").write_number(0, 0, 12, first)
    wb.close()
    cell = book(tmp_path / "f.xlsx")["S"]["A1"]
    assert cell.number_format == num_format
    assert cell.alignment.horizontal == align
    assert (cell.fill.fgColor.rgb[2:] if cell.fill.fill_type else None) == fill
    colour = cell.font.color
    assert (colour.rgb[2:] if colour is not None and colour.type == "rgb" else None) == font


def test_three_decimal_formats_follow_the_module_constant(tmp_path, monkeypatch):
    monkeypatch.setattr(rb, "NUM_FORMAT", "0.0")
    wb = xlsxwriter.Workbook(str(tmp_path / "f.xlsx"))
    ws = wb.add_worksheet("S")
    for col, name in enumerate(["getLevFormat", "getResFormat", "getMeasuredFormat"]):
        ws.write_number(0, col, 1.23456, getattr(rb, name)(wb))
    wb.close()
    assert [c.number_format for c in book(tmp_path / "f.xlsx")["S"][1]] == ["0.0"] * 3


def test_a_non_workbook_gives_the_attribute_error():
    with pytest.raises(AttributeError):
        rb.getLevFormat(None)
