"""The cell formats the writer hands out, as a spreadsheet application shows them."""
import pytest
import xlsxwriter

from helpers.readback import book
from vireo.trellis import reportbook as rb


@pytest.mark.parametrize("name, num_format, align, fill, font", [
    ("getLevFormat", "0.000", "center", None, None),
    ("getResFormat", "0.000", "center", None, None),
    ("getMeasuredFormat", "0.000", "center", None, None),
    ("getRoundoffFormat", "0.00E+00", "center", None, None),
    ("getIDformat", '"#"0', "center", None, None),
    ("getIntegerformat", "0", "center", None, None),
    ("getTextCenteredFormat", "General", "center", None, None),
    ("getMaxrecFormat", "General", None, "FFC7CE", "9C0006"),
    ("getThresholdFormat", "General", None, "FF00FF", "9C0006"),
])
def test_cells_written_with_each_format_show_it(tmp_path, name, num_format, align, fill, font):
    wb = xlsxwriter.Workbook(str(tmp_path / "f.xlsx"))
    first, second = getattr(rb, name)(wb), getattr(rb, name)(wb)
    assert first is not second
    wb.add_worksheet("S").write_number(0, 0, 12, first)
    wb.close()
    cell = book(tmp_path / "f.xlsx")["S"]["A1"]
    colour = cell.font.color
    assert (cell.number_format, cell.alignment.horizontal) == (num_format, align)
    assert (cell.fill.fgColor.rgb[2:] if cell.fill.fill_type else None) == fill
    assert (colour.rgb[2:] if colour is not None and colour.type == "rgb" else None) == font


def test_three_decimal_formats_follow_the_module_constant(tmp_path, monkeypatch):
    monkeypatch.setattr(rb, "NUM_FORMAT", "0.0")
    wb = xlsxwriter.Workbook(str(tmp_path / "f.xlsx"))
    for col, name in enumerate(["getLevFormat", "getResFormat", "getMeasuredFormat"]):
        wb.add_worksheet().write_number(0, col, 1.23456, getattr(rb, name)(wb))
    wb.close()
    assert {ws.cell(1, c + 1).number_format for c, ws in enumerate(book(tmp_path / "f.xlsx"))} == {"0.0"}
