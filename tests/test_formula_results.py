"""Every formula of the writers is saved with its result, so that readers that
do not recalculate (openpyxl, pandas, viewers, LibreOffice by default) show the
scores, bounds and counts, not 0; where the result is not certain the cell is
saved without one."""
import re
import zipfile

import numpy as np
import openpyxl
import pandas as pd
import pytest
import xlsxwriter

from helpers.readback import pearson, rmse
from helpers.writer_input import Book
from vireo.trellis import reportbook as rb


def close_to(got, want):
    return got == pytest.approx(want, rel=1e-12, abs=1e-15)


def values(path, sheet):
    return openpyxl.load_workbook(path, data_only=True)[sheet]


def stored(path, sheet_xml, ref):
    """The <v> text XlsxWriter stored for cell ``ref`` and the cell's type attribute."""
    with zipfile.ZipFile(path) as z:
        xml = z.read("xl/worksheets/%s.xml" % sheet_xml).decode()
    m = re.search(r'<c r="%s"([^>]*)><f>[^<]*</f><v>([^<]*)</v></c>' % ref, xml)
    return m[2], ('t="e"' in m[1])


def training_frame(rows, trainings=2, seed=5):
    rng = np.random.default_rng(seed)
    data = {"ID": np.arange(rows), "x": rng.normal(size=rows), "y": rng.normal(size=rows)}
    data["logP"] = m = rng.normal(3.0, 1.0, rows)
    for g in range(trainings):
        e = m + rng.normal(0, 0.2, rows)
        data.update({"est%d" % g: e, "res%d" % g: e - m, "lev%d" % g: rng.uniform(0, 0.2, rows),
                     "vloo%d" % g: m + rng.normal(0, 0.3, rows)})
    return pd.DataFrame(data)


def finish_training(tmp_path, f, trainings=2):
    wb = Book(tmp_path, {"Training": f})
    rb.enrichTrainSheet(wb.book, wb["Training"], f, trainings, 1, 3, "logP", 12, 0)
    wb.close()
    return wb.path


def test_training_scores_and_chart_bounds_are_stored(tmp_path):
    f = training_frame(300)
    path = finish_training(tmp_path, f)
    ws, n = values(path, "Training"), 300
    for g, (est, res, lev, vloo) in enumerate(["EFGH", "IJKL"]):
        e, m = f["est%d" % g], f.logP
        assert close_to(ws["%s%d" % (lev, n + 3)].value, f["lev%d" % g].sum())
        assert close_to(ws["%s%d" % (vloo, n + 5)].value, rmse(f["vloo%d" % g], m))
        assert close_to(ws["%s%d" % (est, n + 6)].value, rmse(e, m))
        assert close_to(ws["%s%d" % (est, n + 7)].value, pearson(e, m))
        assert close_to(ws["%s%d" % (est, n + 8)].value, pearson(e, m) ** 2)
    util = values(path, "Utilities")
    lo, hi = f.logP.min(), f.logP.max()
    assert util["D1"].value == 0.05
    assert close_to(util["D2"].value, lo - 0.05 * (hi - lo))
    assert close_to(util["D3"].value, hi + 0.05 * (hi - lo))
    # pandas reads the same values back.
    back = pd.read_excel(path, sheet_name="Training", header=None, engine="openpyxl")
    assert close_to(back.iloc[n + 5, 4], rmse(f.est0, f.logP))


@pytest.mark.parametrize("damage", ["nan", "inf", "text", "blank_measured"])
def test_a_cell_that_is_not_a_number_gets_the_result_both_applications_give(tmp_path, damage):
    # A blank or a text in a reference: Pearson drops its pair in Excel and
    # LibreOffice alike, and MIN and MAX skip it; the sum of squared
    # differences is left to the application (LibreOffice takes a blank for
    # 0 and gives #VALUE! for a text, Excel skips both).
    f = training_frame(20)
    if damage == "blank_measured":
        f.loc[4, "logP"] = np.nan
    else:
        f["est0"] = f["est0"].astype(object)
        f.loc[7, "est0"] = {"nan": np.nan, "inf": np.inf, "text": "n/a"}[damage]
    path = finish_training(tmp_path, f)
    ws = values(path, "Training")
    kept = [r for r in range(20) if r != (4 if damage == "blank_measured" else 7)]
    e, m = f.est0[kept].astype(float), f.logP[kept]
    assert ws["E26"].value is None and stored(path, "sheet1", "E26") == ("", False)  # RMSE
    assert close_to(ws["E27"].value, pearson(e, m))
    assert close_to(ws["E28"].value, pearson(e, m) ** 2)
    lo, hi = m.min(), m.max()
    util = values(path, "Utilities")
    assert [util[c].value for c in ("D1", "D2", "D3")] == [0.05, pytest.approx(lo - 0.05 * (hi - lo)),
                                                           pytest.approx(hi + 0.05 * (hi - lo))]
    if damage == "blank_measured":
        # Every RMSE refers to the measured column.
        assert [ws[c].value for c in ("H25", "I26", "L25")] == [None] * 3
    else:
        assert close_to(ws["I26"].value, rmse(f.est1, f.logP))
        assert close_to(ws["H25"].value, rmse(f.vloo0, f.logP))


def test_constant_estimates_have_no_correlation(tmp_path):
    f = training_frame(10)
    f["est0"] = 0.1  # equal values whose computed mean is not exactly 0.1
    path = finish_training(tmp_path, f)
    ws = values(path, "Training")
    assert (ws["E17"].value, ws["E18"].value) == ("#DIV/0!", "#DIV/0!")
    assert stored(path, "sheet1", "E17") == ("#DIV/0!", True)
    assert close_to(ws["E16"].value, rmse(f.est0, f.logP))
    assert close_to(ws["I17"].value, pearson(f.est1, f.logP))


def test_numbers_count_as_the_file_holds_them(tmp_path):
    # 0.1 + 0.2 is saved with 16 digits as 0.3: an application reading the
    # file sums the leverages to exactly 0, and so must the stored result.
    f = training_frame(2, trainings=1)
    f["lev0"] = [0.1 + 0.2, -0.3]
    path = finish_training(tmp_path, f, trainings=1)
    assert values(path, "Training")["G5"].value == 0


def test_one_example_gives_no_correlation(tmp_path):
    f = training_frame(1, trainings=1)
    path = finish_training(tmp_path, f, trainings=1)
    ws = values(path, "Training")
    assert close_to(ws["E7"].value, abs(f.est0[0] - f.logP[0]))
    assert (ws["E8"].value, ws["E9"].value) == ("#DIV/0!", "#DIV/0!")


def test_test_sheet_scores_of_selected_and_further_models(tmp_path):
    rng = np.random.default_rng(8)
    m = rng.normal(size=40)
    f = pd.DataFrame({"c%d" % c: m + rng.normal(0, 0.1 * c, 40) if c >= 3 else rng.normal(size=40)
                      for c in range(14)})
    wb = Book(tmp_path, {"Test": f})
    rb.enrichTestSheet(wb.book, wb["Test"], f, 3, [5, 3], 0.2, 2, infolen=0)
    wb.close()
    ws = values(wb.path, "Test")
    for col in (4, 7, 10, 12):  # estimates E, H (selected), K, M (further)
        letter = openpyxl.utils.get_column_letter(col + 1)
        e = f.iloc[:, col]
        assert close_to(ws["%s44" % letter].value, rmse(e, f.c3))
        assert close_to(ws["%s45" % letter].value, pearson(e, f.c3))
        assert close_to(ws["%s46" % letter].value, pearson(e, f.c3) ** 2)


def loo_frame(rows, holes=()):
    rng = np.random.default_rng(9)
    m = rng.normal(size=rows)
    f = pd.DataFrame({"c0": np.arange(rows), "c1": rng.normal(size=rows), "c2": m})
    for c in range(3, 15):
        f["c%d" % c] = m + rng.normal(0, 0.2, rows)
    for col, rows_ in holes:
        f.loc[rows_, col] = np.nan
    return f


@pytest.mark.parametrize("verbose", [0, 2])
def test_loo_counts_and_scores(tmp_path, verbose):
    f = loo_frame(30, holes=[("c10", [3]), ("c14", slice(None))])
    wb = Book(tmp_path, {"LOO CV": f})
    rb.enrichLOOTrainSheet(wb.book, wb["LOO CV"], f, 3, 3, 1, verbose, 12, 0)
    wb.close()
    ws = values(wb.path, "LOO CV")
    if verbose <= 1:
        assert close_to(ws["D34"].value, rmse(f.c3, f.c2))
        return
    # COUNT row 33, scores row 35; trainings in G, K (one blank), O (all blank).
    assert [ws[c].value for c in ("D33", "G33", "K33", "O33")] == [30, 30, 29, 0]
    assert close_to(ws["D35"].value, rmse(f.c3, f.c2))
    assert close_to(ws["G35"].value, rmse(f.c6, f.c2))
    # A blank estimate beside a measured value: Excel skips the pair,
    # LibreOffice takes the blank for 0; left to the application, as is a
    # column with no estimate at all.
    assert ws["K35"].value is None and ws["O35"].value is None


def test_bootstrap_scores(tmp_path):
    rng = np.random.default_rng(10)
    m = rng.normal(size=50)
    f = pd.DataFrame({"m": m, **{"b%d" % c: m + rng.normal(0, 0.3, 50) for c in range(1, 10)}})
    f.loc[5, "b8"] = np.nan
    wb = Book(tmp_path, {"BS": f}, index=True, utilities=False)
    rb.enrichBSTrainSheet(wb.book, wb["BS"], f)
    wb.close()
    ws = values(wb.path, "BS")
    for letter, col in (("C", "b1"), ("F", "b4"), ("I", "b7"), ("K", "b9")):
        assert close_to(ws[letter + "53"].value, rmse(f[col], f.m))
    assert ws["J53"].value is None


def test_a_workbook_in_constant_memory_mode_stores_no_result(tmp_path):
    path = tmp_path / "cm.xlsx"
    book = xlsxwriter.Workbook(str(path), {"constant_memory": True})
    ws = book.add_worksheet("BS")
    f = pd.DataFrame({"m": [1.0, 2.0, 3.0], "e": [1.5, 2.0, 2.5]})
    for r, (a, b) in enumerate(f.itertuples(index=False), start=1):
        ws.write_number(r, 1, a)
        ws.write_number(r, 2, b)
    rb.enrichBSTrainSheet(book, ws, f)
    book.close()
    assert stored(path, "sheet1", "C6") == ("", False)


@pytest.mark.parametrize("vloo, averages, deviations", [
    # No score at all: nothing to average, no spread; a reference to a blank is 0.
    ([np.nan] * 3, [0.0, "#DIV/0!", "#DIV/0!"], [0.0, "#DIV/0!", "#DIV/0!"]),
    # Equal scores: a spread of exactly 0, not a rounding residue.
    ([0.1] * 3, [0.1, 0.1, 0.1], [0.0, 0.0, 0.0]),
])
def test_running_statistics_of_empty_and_equal_scores(tmp_path, vloo, averages, deviations):
    frame = pd.DataFrame({"RMSE": [0.5] * 3, "VLOO": vloo, "x": [1e-4] * 3})
    writer = pd.ExcelWriter(str(tmp_path / "r.xlsx"), engine="xlsxwriter")
    frame.to_excel(writer, sheet_name="Result")
    rb.enrichResultSheet(writer.book, writer.sheets["Result"], frame)
    writer.close()
    ws = values(tmp_path / "r.xlsx", "Result")
    assert [ws.cell(r, 5).value for r in (2, 3, 4)] == averages
    assert [ws.cell(r, 6).value for r in (2, 3, 4)] == deviations


def test_numbers_of_other_types_count_by_their_value(tmp_path):
    # Written straight through XlsxWriter: numpy and Decimal numbers, which
    # convert through their own code, in columns read row by row.
    from decimal import Decimal
    path = tmp_path / "types.xlsx"
    book = xlsxwriter.Workbook(str(path))
    ws = book.add_worksheet("BS")
    measured = [1.0, 2.0, 4.0]
    for r, m in enumerate(measured, start=1):
        ws.write_number(r, 1, np.int64(m))
        ws.write_number(r, 2, Decimal(m) + Decimal("0.5"))
        ws.write_number(r, 5, np.float32(m - 0.25))
    f = pd.DataFrame(np.zeros((3, 5)))
    rb.enrichBSTrainSheet(book, ws, f)
    book.close()
    got = values(path, "BS")
    assert (got["C6"].value, got["F6"].value) == (0.5, 0.25)
