"""The result sheet: running VLOO statistics, column formats, and their stored results."""
import numpy as np
import openpyxl
import pandas as pd
import pytest

from helpers.readback import book
from helpers.writer_input import open_writer
from vireo.trellis import reportbook as rb


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


@pytest.mark.parametrize("vloo", [[0.3, 0.1, 0.7, 0.2], [0.3, "n/a", 0.7, 0.2]])
def test_running_statistics_are_stored_for_readers_that_do_not_recalculate(tmp_path, vloo):
    frame = pd.DataFrame({"RMSE": [0.5] * 4, "VLOO": vloo, "x": [1e-4] * 4})
    writer = open_writer(tmp_path / "r.xlsx", {"Result": frame})
    rb.enrichResultSheet(writer.book, writer.sheets["Result"], frame)
    writer.close()
    ws = openpyxl.load_workbook(tmp_path / "r.xlsx", data_only=True)["Result"]
    stored = [(ws.cell(r, 5).value, ws.cell(r, 6).value) for r in range(2, 6)]
    if "n/a" in vloo:
        # AVERAGE skips a text in both applications; STDEVA counts it as 0 in
        # LibreOffice, which Excel's documentation leaves unclear: left to it.
        assert stored == [(0.3, 0.0), (0.3, None), (0.5, None), (pytest.approx(0.4), None)]
    else:
        want = [(np.mean(vloo[:k]), np.std(vloo[:k], ddof=1) if k > 1 else 0.0) for k in range(1, 5)]
        assert stored == [pytest.approx(w, rel=1e-12) for w in want]
