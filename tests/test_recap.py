"""The recap workbook: one averages chart per best count, and the summary sheets finished."""
import re
import types

import pandas as pd
import pytest

from helpers.charts import anchors, charts, refs
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


def test_one_chart_per_best_count_from_the_last_down(tmp_path):
    path = recap_book(tmp_path, [1, 2, 3], [(5, RESULT, None), (10, RESULT, "x")])
    assert anchors(path) == [(7, 0), (7, 15), (7, 30)]  # $H$1, $H$16, $H$31
    found = charts(path)
    assert [re.findall(r"<a:t>(Averages.*?)</a:t>", c) for c in found] == [
        ["Averages(3)"], ["Averages(2)"], ["Averages(1)"]]
    assert refs(found[0]) == ["'Recap'!$C$1:$F$1", "'Recap'!C10:F10",
                              "'Recap'!$C$1:$F$1", "'Recap'!C8:F8"]
    assert re.findall(r"<c:tx><c:v>(\w+)</c:v>", found[0]) == ["RMSE", "VLOO"]
    (bars,) = re.findall(r"<c:plus>(.*?)</c:plus>", found[0])
    assert re.findall(r"<c:v>(.*?)</c:v>", bars) == ["0.7", "0.71", "0.72", "0.73"]
    wb = book(path)
    assert [wb[n].sheet_view.zoomScale for n in ("Recap", "H5", "H10")] == [150] * 3
    assert (wb["H10"]["E1"].value, wb["H10"]["E3"].value) == ("Avg VLOO", "=AVERAGE(C2:C3)")


def test_no_best_count_and_no_summary_finish_only_the_recap_sheet(tmp_path):
    path = recap_book(tmp_path, [], [])
    assert charts(path) == [] and book(path)["H5"]["E1"].value is None
    assert book(path)["Recap"].sheet_view.zoomScale == 150


@pytest.mark.parametrize("summary, error", [((5, RESULT), ValueError),
                                            ((7, RESULT, None), AttributeError)])
def test_a_summary_not_a_triple_or_naming_no_sheet_fails(tmp_path, summary, error):
    with pytest.raises(error):
        recap_book(tmp_path, [1], [(10, RESULT, None), summary])
