import pandas as pd
import pytest

from conftest import open_writer
from vireo.trellis import reportbook as rb
from sheets_book import book


def result_frame(n):
    return pd.DataFrame({"RMSE": [0.5] * n, "VLOO": [0.1 * (r + 1) for r in range(n)],
                         "x": [1e-4] * n}, index=range(1, n + 1))


def finished(tmp_path, n):
    writer = open_writer(tmp_path / "r.xlsx", {"Result": result_frame(n)})
    assert rb.enrichResultSheet(writer.book, writer.sheets["Result"], result_frame(n)) == 3
    writer.close()
    return book(tmp_path / "r.xlsx")["Result"]


@pytest.mark.parametrize("n", [0, 1, 2, 5])
def test_running_vloo_statistics_start_at_the_first_model(tmp_path, n):
    ws = finished(tmp_path, n)
    assert (ws["E1"].value, ws["F1"].value) == ("Avg VLOO", "StdDev VLOO")
    assert (ws["E2"].value, ws["F2"].value) == ("=$C$2", "=0.0")
    for row in range(3, n + 2):
        assert ws.cell(row, 5).value == "=AVERAGE(C2:C%d)" % row
        assert ws.cell(row, 6).value == "=STDEVA(C2:C%d)" % row
    assert ws.max_row == max(n + 1, 2)
    assert ws.freeze_panes == "B2"
    assert ws.sheet_view.zoomScale == 150


@pytest.mark.parametrize("n", [1, 4])  # a single model once crashed set_column
def test_columns_get_their_widths_and_number_formats(tmp_path, n):
    ws = finished(tmp_path, n)
    formats = {c: ws.cell(2, i + 1).number_format for i, c in enumerate("ABCDEF")}
    assert formats == {"A": '"#"0', "B": "0.000", "C": "0.000", "D": "0.00E+00",
                       "E": "0.000", "F": "0.000"}
    widths = {c: round(ws.column_dimensions[c].width) for c in "ABDE"}
    assert widths == {"A": 11, "B": 13, "D": 13, "E": 13}  # 10 or 12 plus the cell padding


def test_a_frame_without_two_dimensions_fails_before_writing(tmp_path):
    writer = open_writer(tmp_path / "r.xlsx", {"Result": result_frame(2)})
    class Flat:
        shape = (2,)
    with pytest.raises(ValueError, match="not enough values"):
        rb.enrichResultSheet(writer.book, writer.sheets["Result"], Flat())
    writer.close()
    assert book(tmp_path / "r.xlsx")["Result"].sheet_view.zoomScale is None
