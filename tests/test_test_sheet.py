"""The test sheet: scores of the selected models, conditional formats, hidden inputs, refusals."""
import numpy as np
import pandas as pd
import pytest

from helpers.readback import cells, column, evaluate, hidden_columns, overlapping_columns
from helpers.writer_input import Book
from vireo.trellis import reportbook as rb


def make_frame(rows, rc=3, width=26):
    """Inputs up to the measured column ``rc``, estimates of it after."""
    rng = np.random.default_rng(2)
    m = rng.normal(1.0, 1.0, rows)
    return pd.DataFrame({"c%d" % c: m + rng.normal(0, 0.1 * c, rows) if c >= rc else rng.normal(size=rows)
                         for c in range(width)})


def enrich(tmp_path, f, rc=3, maxreclist=(5, 3), threshold=0.2, verbose=0):
    wb = Book(tmp_path, {"Test": f})
    result = rb.enrichTestSheet(wb.book, wb["Test"], f, rc, list(maxreclist), threshold, verbose, infolen=10)
    return result, wb.close()


def formats(ws):
    return sorted((str(cf.sqref), r.operator, r.formula[0]) for cf in ws.conditional_formatting for r in cf.rules)


def test_quiet_sheet_finishes_the_first_selected_model(tmp_path):
    f = make_frame(40)
    result, book = enrich(tmp_path, f)
    ws, m = book["Test"], "'Test'!$D$2:$D$41"
    assert tuple(result) == (f.c3.min(), f.c3.max(), 13, "'Utilities'!$D$12:$D$13")
    got = cells(ws, min_row=42)
    assert got == {"A43": "Selected models", "A44": "RMSE", "A45": "Pearson", "A46": "R2", "E43": 5,
                   "E44": "=SQRT(SUMXMY2(E2:E41,%s)/40)" % m, "E45": "=PEARSON(E2:E41,%s)" % m,
                   "E46": "=$E$45*$E$45"}
    assert evaluate(book, ws, got["E44"]) == pytest.approx(np.sqrt(((f.c4 - f.c3) ** 2).mean()))
    assert evaluate(book, ws, got["E46"]) == pytest.approx(np.corrcoef(f.c4, f.c3)[0, 1] ** 2)
    assert formats(ws) == [] and hidden_columns(ws) == [1, 2]
    assert (ws.freeze_panes, ws.sheet_view.zoomScale, ws["E43"].number_format) == ("D2", 150, "0")
    assert [column(ws, c).number_format for c in (0, 3, 4, 6)] == ["0.000", "0.000", "0.000", "0"]
    assert overlapping_columns(tmp_path / "book.xlsx") == []


# The leverages flagged are the companion columns of the first five further
# models (estimates in K, M, O, Q, S), five being the first selection count.
@pytest.mark.parametrize("threshold, flagged", [(0.2, "LNPRT"), (0, ""), (-1.0, "")])
def test_verbose_sheet_flags_counts_and_leverages(tmp_path, threshold, flagged):
    ws = enrich(tmp_path, make_frame(40), threshold=threshold, verbose=2)[1]["Test"]
    lt = [("G2:G41", "lessThan", "5"), ("J2:J41", "lessThan", "3")]
    assert formats(ws) == sorted(lt + [(c + "2:" + c + "41", "greaterThan", "0.2") for c in flagged])
    got, models = cells(ws, min_row=43), "EH" + "KMOQSUWY"
    assert [got.get(c + "43") for c in models] == [5, 3] + [1] * 8
    assert all(got[c + "44"].startswith("=SQRT(SUMXMY2(%s2:%s41," % (c, c)) for c in models)
    assert "F44" not in got and "L44" not in got and "AA43" not in got
    assert [column(ws, c).number_format for c in (9, 10, 11)] == ["0", "0.000", "0.000"]


@pytest.mark.parametrize("rc, hidden", [(0, []), (1, []), (2, [1]), (4, [1, 2, 3])])
def test_hidden_inputs_never_include_the_measured_column(tmp_path, rc, hidden):
    _, book = enrich(tmp_path, make_frame(1, rc=rc, width=rc + 4), rc=rc, maxreclist=[1])
    ws = book["Test"]
    assert hidden_columns(ws) == hidden
    assert ws.cell(row=4, column=rc + 2).value == 1


def test_verbose_with_empty_selection_fails_before_writing(tmp_path):
    f = make_frame(5)
    wb = Book(tmp_path, {"Test": f})
    with pytest.raises(IndexError, match="maxreclist is empty"):
        rb.enrichTestSheet(wb.book, wb["Test"], f, 3, [], 0.5, 2, 0)
    book = wb.close()
    assert book["Test"].sheet_view.zoomScale is None and cells(book["Utilities"]) == {}
