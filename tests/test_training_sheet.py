"""The training sheet: score block of every training, columns and view, and refusals."""
import numpy as np
import pandas as pd
import pytest

from helpers.readback import cells, column, evaluate, overlapping_columns
from helpers.writer_input import Book
from vireo.trellis import reportbook as rb


def training_frame(rows, trainings=2):
    """Three inputs, the measured value in column D, then four columns per training."""
    rng = np.random.default_rng(1)
    data = {"in%d" % i: rng.normal(size=rows) for i in range(3)}
    data["logP"] = m = rng.normal(2.0, 1.0, rows)
    for g in range(trainings):
        data.update({"est%d" % g: m + rng.normal(0, 0.2, rows), "res%d" % g: rng.normal(size=rows),
                     "lev%d" % g: rng.uniform(0, 0.1, rows), "vloo%d" % g: m + rng.normal(0, 0.3, rows)})
    return pd.DataFrame(data)


def enrich(tmp_path, f, resultcount=2, infolen=4):
    wb = Book(tmp_path, {"Training": f})
    result = rb.enrichTrainSheet(wb.book, wb["Training"], f, resultcount, 1, 3, "logP", 12, infolen)
    return result, wb.close()


def test_score_block_of_two_trainings(tmp_path):
    f = training_frame(100)
    result, book = enrich(tmp_path, f)
    ws, m = book["Training"], "'Training'!$D$2:$D$101"
    assert tuple(result) == (4, 7, 100, f.logP.min(), f.logP.max(), 7, "'Utilities'!$D$6:$D$7")
    got = cells(ws, min_row=102)
    assert [got.pop("A%d" % r) for r in (103, 105, 106, 107, 108)] == ["SUM", "VLOO score", "RMSE", "Pearson", "R2"]
    assert got == {"G103": "=SUM(G2:G101)", "H105": "=SQRT(SUMXMY2(H2:H101,%s)/100)" % m,
                   "E106": "=SQRT(SUMXMY2(E2:E101,%s)/100)" % m, "E107": "=PEARSON(E2:E101,%s)" % m,
                   "E108": "=$E$107*$E$107", "K103": "=SUM(K2:K101)", "L105": "=SQRT(SUMXMY2(L2:L101,%s)/100)" % m,
                   "I106": "=SQRT(SUMXMY2(I2:I101,%s)/100)" % m, "I107": "=PEARSON(I2:I101,%s)" % m,
                   "I108": "=$I$107*$I$107"}
    assert ws["K103"].comment.text.endswith("number of parameters of the model ( 12 )")
    est, vloo = f.est1 - f.logP, f.vloo1 - f.logP
    assert evaluate(book, ws, got["I106"]) == pytest.approx(np.sqrt((est ** 2).mean()))
    assert evaluate(book, ws, got["L105"]) == pytest.approx(np.sqrt((vloo ** 2).mean()))
    assert evaluate(book, ws, got["I108"]) == pytest.approx(np.corrcoef(f.est1, f.logP)[0, 1] ** 2)


def test_columns_and_view(tmp_path):
    ws = enrich(tmp_path, training_frame(10))[1]["Training"]
    dims = [(int(column(ws, c).width), column(ws, c).number_format) for c in range(13)]
    assert dims == [(10, "0.000")] * 6 + [(10, "General")] + [(10, "0.000")] * 3 + [(10, "General"), (10, "0.000"),
                                                                                    (12, "0.000")]
    assert (ws.freeze_panes, ws.sheet_view.zoomScale) == ("E2", 150)
    assert overlapping_columns(tmp_path / "book.xlsx") == []


@pytest.mark.parametrize("rows, resultcount, rmse", [(1, 1, "=SQRT(SUMXMY2(E2,'Training'!$D$2)/1)"), (5, 0, None)])
def test_one_row_sheet_and_no_training(tmp_path, rows, resultcount, rmse):
    result, book = enrich(tmp_path, training_frame(rows, 1), resultcount, 0)
    got = cells(book["Training"], min_row=rows + 2)
    assert (result[0], result[1], result[5], got.get("E%d" % (rows + 6)), got["A%d" % (rows + 8)]) == (
        4, 7, 3, rmse, "R2")


def test_missing_utilities_sheet_fails_before_writing(tmp_path):
    f = training_frame(5)
    wb = Book(tmp_path, {"Training": f}, utilities=False)
    with pytest.raises(ValueError, match="Book has no sheet 'Utilities'"):
        rb.enrichTrainSheet(wb.book, wb["Training"], f, 2, 1, 3, "logP", 12, 4)
    ws = wb.close()["Training"]
    assert ws.sheet_view.zoomScale is None and cells(ws, min_row=7) == {}
