import pandas as pd
import pytest

from conftest import open_writer
from vireo.trellis import reportbook as rb
from sheets_book import book


def finished(tmp_path, n):
    frame = pd.DataFrame({"RMSE": [0.5] * n, "VLOO": [0.1] * n, "x": [1e-4] * n})
    writer = open_writer(tmp_path / "r.xlsx", {"Result": frame})
    assert rb.enrichResultSheet(writer.book, writer.sheets["Result"], frame) == 3
    writer.close()
    return book(tmp_path / "r.xlsx")["Result"]


@pytest.mark.parametrize("n", [0, 1, 2, 5])  # a single model once crashed set_column
def test_running_vloo_statistics_and_column_formats(tmp_path, n):
    ws = finished(tmp_path, n)
    assert [ws["E1"].value, ws["F1"].value, ws["E2"].value, ws["F2"].value] == [
        "Avg VLOO", "StdDev VLOO", "=$C$2", "=0.0"]
    assert [(ws.cell(r, 5).value, ws.cell(r, 6).value) for r in range(3, ws.max_row + 1)] == [
        ("=AVERAGE(C2:C%d)" % r, "=STDEVA(C2:C%d)" % r) for r in range(3, n + 2)]
    assert (ws.freeze_panes, ws.sheet_view.zoomScale) == ("B2", 150)
    dims = ws.column_dimensions  # keyed by the first column of each span
    assert {c: (dims[c].min, dims[c].max, dims[c].number_format, round(dims[c].width))
            for c in "ABDE"} == {"A": (1, 1, '"#"0', 11), "B": (2, 3, "0.000", 13),
                                 "D": (4, 4, "0.00E+00", 13), "E": (5, 6, "0.000", 13)}
