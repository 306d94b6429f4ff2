"""The bootstrap training and test sheets: RMSE of every bootstrap column, hidden columns and view."""
import numpy as np
import pandas as pd
import pytest

from helpers.readback import cells, evaluate, hidden_columns
from helpers.writer_input import Book
from vireo.trellis import reportbook as rb


def bs_frame(rows, width, seed=4):
    rng = np.random.default_rng(seed)
    measured = rng.normal(size=rows)
    cols = {"measured": measured}
    for c in range(1, width):
        cols["b%d" % c] = np.where(rng.uniform(size=rows) < 0.1, np.nan, measured + rng.normal(0, 0.3, rows))
    return pd.DataFrame(cols)


def rmse(rng):
    return "=SQRT(SUMXMY2({0},$B$2:$B$101)/COUNTA({0}))".format(rng)


@pytest.mark.parametrize("width, scored", [(12, "CFIJKLM"), (8, "CFI"), (7, "CF")])
def test_training_sheet_scores(tmp_path, width, scored):
    f = bs_frame(100, width)
    wb = Book(tmp_path, {"Bootstrap": f}, index=True, utilities=False)
    assert rb.enrichBSTrainSheet(wb.book, wb["Bootstrap"], f) is None
    book = wb.close()
    ws = book["Bootstrap"]
    got = cells(ws, min_row=102)
    assert got == dict({"A103": "RMSE"}, **{c + "103": rmse("%s2:%s101" % (c, c)) for c in scored})
    for c in scored:
        col = f.iloc[:, ord(c) - ord("B")]
        d = (col - f.measured).dropna()
        assert evaluate(book, ws, got[c + "103"]) == pytest.approx(np.sqrt((d ** 2).mean()))
    assert (ws.freeze_panes, ws.sheet_view.zoomScale, hidden_columns(ws)) == ("B2", 150, [])


def test_result_column_and_row_counter_change_nothing(tmp_path):
    f = bs_frame(10, 9)
    wb = Book(tmp_path, {"A": f, "B": f}, index=True)
    rb.enrichBSTrainSheet(wb.book, wb["A"], f)
    rb.enrichBSTrainSheet(Book=wb.book, Sheet=wb["B"], Frame=f, resultColumn=5, infolen=40)
    book = wb.close()
    assert cells(book["A"]) == cells(book["B"]) and cells(book["Utilities"]) == {}


def test_test_sheet_hides_column_b_only(tmp_path):
    f = bs_frame(5, 4)
    wb = Book(tmp_path, {"BS test": f}, index=True, utilities=False)
    assert rb.enrichBSTestSheet(wb.book, wb["BS test"], f) is None
    ws = wb.close()["BS test"]
    assert (hidden_columns(ws), ws.freeze_panes, ws.sheet_view.zoomScale) == ([1], "B2", 150)
    assert len(cells(ws)) == 4 + 5 + f.count().sum()
