"""The LOO training sheet's score blocks (quiet and verbose) and layouts, and the LOO test sheet."""
import numpy as np
import pandas as pd
import pytest

from helpers.readback import cells, column, evaluate, hidden_columns, overlapping_columns
from helpers.writer_input import Book
from vireo.trellis import reportbook as rb


def loo_frame(rows, rc=7, width=20, seed=3):
    rng = np.random.default_rng(seed)
    cols = {"c%d" % i: rng.normal(size=rows) for i in range(width)}
    measured = cols["c%d" % (rc - 1)]
    for c in range(rc, width):
        cols["c%d" % c] = np.where(rng.uniform(size=rows) < 0.1, np.nan, measured + rng.normal(0, 0.2, rows))
    return pd.DataFrame(cols)


def enrich(tmp_path, f, rc=7, verbose=0, LOOlen=3):
    wb = Book(tmp_path, {"LOO CV": f})
    result = rb.enrichLOOTrainSheet(wb.book, wb["LOO CV"], f, rc, LOOlen, 1, verbose, 12, infolen=20)
    return result, wb.close()


def score(rng):
    return "=SQRT(SUMXMY2({0},'LOO CV'!$G$2:$G$101)/COUNTA({0}))".format(rng)


def test_quiet_score_block(tmp_path):
    f = loo_frame(100)
    result, book = enrich(tmp_path, f)
    ws = book["LOO CV"]
    assert tuple(result) == (f.c6.min(), f.c6.max(), 23, "'Utilities'!$D$22:$D$23")
    assert cells(ws, min_row=102) == {"A103": "Selected models", "H103": 12,
                                      "A104": "LOO score", "H104": score("H2:H101")}
    d = (f.c7 - f.c6).dropna()
    assert evaluate(book, ws, ws["H104"].value) == pytest.approx(np.sqrt((d ** 2).sum() / len(d)))
    assert set(range(1, 6)) <= set(hidden_columns(ws)) and 7 not in hidden_columns(ws)
    assert (ws.freeze_panes, ws.sheet_view.zoomScale, ws["H103"].number_format) == ("B2", 150, "0")
    assert (int(column(ws, 6).width), column(ws, 9).number_format, column(ws, 0).alignment.horizontal) == (
        12, "0", "center")
    assert overlapping_columns(tmp_path / "book.xlsx") == []


@pytest.mark.parametrize("verbose, LOOlen, trainings", [(2, 3, "KOS"), (2, 0, ""), (1, 3, None)])
def test_verbose_block_scores_every_individual_training(tmp_path, verbose, LOOlen, trainings):
    got = cells(enrich(tmp_path, loo_frame(100), verbose=verbose, LOOlen=LOOlen)[1]["LOO CV"], min_row=102)
    if trainings is None:  # not verbose: the quiet block
        assert set(got) == {"A103", "H103", "A104", "H104"}
        return
    expected = {"A103": "COUNT", "A104": "Selected models", "A105": "LOO score"}
    for c in "H" + trainings:
        expected.update({c + "103": "=COUNTA(%s2:%s101)" % (c, c), c + "104": 12,
                         c + "105": score("%s2:%s101" % (c, c))})
    assert got == expected


@pytest.mark.parametrize("rows, rc, hidden", [(1, 7, [1, 2, 3, 4, 5]), (4, 1, [])])
def test_one_row_and_first_column_layouts(tmp_path, rows, rc, hidden):
    _, book = enrich(tmp_path, loo_frame(rows, rc=rc), rc=rc)
    ws = book["LOO CV"]
    assert [c for c in hidden_columns(ws) if c != rc - 1] == hidden
    assert ws.cell(row=rows + 4, column=max(rc, 1) + 1).value.startswith("=SQRT(SUMXMY2(")


@pytest.mark.parametrize("rc, hidden", [(5, [1, 2, 3, 4]), (2, [1]), (1, []), (0, [])])
def test_loo_test_sheet_hides_only_inputs(tmp_path, rc, hidden):
    f = loo_frame(6, width=8)
    wb = Book(tmp_path, {"LOO test": f})
    assert rb.enrichLOOTestSheet(wb.book, wb["LOO test"], f, rc) is None
    ws = wb.close()["LOO test"]
    assert hidden_columns(ws) == hidden
    assert (ws.freeze_panes, ws.sheet_view.zoomScale, len(cells(ws))) == ("B2", 150, 8 + f.count().sum())
