"""The recap workbook: what a campaign without best counts or summaries gets, and summaries
that cannot be finished (the charts and sheets of a full one: tests/reference/recap)."""
import types

import pandas as pd
import pytest

from helpers.charts import charts
from helpers.readback import book
from helpers.writer_input import open_writer
from vireo.trellis import reportbook as rb

RESULT = pd.DataFrame({"RMSE": [0.5, 0.4], "VLOO": [0.6, 0.7], "x": [1e-3, 2e-3]})
# Three rows per best count m: VLOO averages, their deviations, RMSE averages.
RECAP = pd.DataFrame([[r // 3 + 1] + [round(0.1 * r + 0.01 * h, 2) for h in range(4)]
                      for r in range(9)])


def recap_book(tmp_path, multimaxrec, summaries):
    writer = open_writer(tmp_path / "recap.xlsx", {"Recap": RECAP, "H5": RESULT, "H10": RESULT})
    options = types.SimpleNamespace(multihidden=[2, 4, 6, 8], multimaxrec=multimaxrec)
    rb.enrichRecapExcelFile(writer, options, "Recap", RECAP, "H%d", summaries)
    writer.close()
    return tmp_path / "recap.xlsx"


def test_no_best_count_and_no_summary_finish_only_the_recap_sheet(tmp_path):
    path = recap_book(tmp_path, [], [])
    assert charts(path) == [] and book(path)["H5"]["E1"].value is None
    assert book(path)["Recap"].sheet_view.zoomScale == 150


@pytest.mark.parametrize("summary, error", [((5, RESULT), ValueError),
                                            ((7, RESULT, None), AttributeError)])
def test_a_summary_not_a_triple_or_naming_no_sheet_fails(tmp_path, summary, error):
    with pytest.raises(error):
        recap_book(tmp_path, [1], [(10, RESULT, None), summary])
