"""The demo campaign's workbooks opened in a real spreadsheet application.

LibreOffice recalculates every formula of the result and recap workbooks; the
results must match numpy on the same data, and no formula may come back as an
error. Rendered to PDF, every chart must show up as a drawing.
"""
import contextlib
import io
import os
import re
import subprocess
import zipfile

import numpy as np
import openpyxl
import pytest

from helpers import libreoffice as lo
from helpers.readback import pearson, rmse
from vireo.trellis import demo

CAMPAIGN = dict(examples=40, trainings=4, test_examples=20, further_models=2,
                loo_trainings=3, bootstrap_columns=5, verbosity=2)
ERRORS = {"#NULL!", "#DIV/0!", "#VALUE!", "#REF!", "#NAME?", "#NUM!", "#N/A"}


@pytest.fixture(scope="module")
def campaign(tmp_path_factory):
    lo.require_soffice()
    folder = tmp_path_factory.mktemp("lo-demo")
    argv = ["--out", str(folder), "--seed", "11", "-q"]
    for key, value in CAMPAIGN.items():
        argv += ["--" + key.replace("_", "-"), str(value)]
    with contextlib.redirect_stdout(io.StringIO()):
        assert demo.main(argv) == 0
    paths = {"result": str(folder / "demo_model.xlsx"), "recap": str(folder / "demo_recap.xlsx")}
    for path in paths.values():
        assert os.path.exists(path)
    return folder, paths


@pytest.fixture(scope="module")
def books(campaign):
    """Per workbook: (as written, with formulas; as LibreOffice recalculated it, values only)."""
    folder, paths = campaign
    out = {}
    for key, path in paths.items():
        copy = lo.recalculated(path, recalc=True, outdir=folder / ("recalc-" + key))
        out[key] = (openpyxl.load_workbook(path), openpyxl.load_workbook(copy, data_only=True))
    return out


def column(ws, col, count, first=2):
    """Values of 0-based sheet column ``col``, Excel rows first .. first + count - 1, as floats."""
    cells = ws.iter_rows(min_row=first, max_row=first + count - 1, min_col=col + 1, max_col=col + 1,
                         values_only=True)
    return np.array([row[0] for row in cells], dtype=float)


def label_rows(ws):
    """{text in column A: Excel row} for the score labels under a table."""
    return {row[0].value: row[0].row for row in ws.iter_rows(min_col=1, max_col=1)
            if isinstance(row[0].value, str)}


def formula_columns(ws, row):
    """0-based columns of the formula cells on Excel row ``row`` (left to right)."""
    return [c.column - 1 for c in ws[row] if isinstance(c.value, str) and c.value.startswith("=")]


def value(ws, row, col):
    return ws.cell(row=row, column=col + 1).value


def stores_formula_results(path):
    """True when some formula cell of the file carries a stored result other than 0."""
    with zipfile.ZipFile(path) as z:
        for name in z.namelist():
            if name.startswith("xl/worksheets/sheet"):
                xml = z.read(name).decode("utf-8")
                for cached in re.findall(r"</f><v>([^<]*)</v>", xml):
                    if cached not in ("0", ""):
                        return True
    return False


approx = lambda x: pytest.approx(x, rel=1e-9, abs=1e-12)  # noqa: E731


@pytest.mark.parametrize("key", ["result", "recap"])
def test_every_formula_recalculates_to_a_number(books, key):
    written, recalc = books[key]
    formulas = 0
    for ws in written.worksheets:
        values = recalc[ws.title]
        for row in ws.iter_rows():
            for cell in row:
                got = values[cell.coordinate].value
                assert not (isinstance(got, str) and (got in ERRORS or got.startswith("Err:"))), \
                    "%s!%s = %r" % (ws.title, cell.coordinate, got)
                if isinstance(cell.value, str) and cell.value.startswith("="):
                    formulas += 1
                    assert isinstance(got, (int, float)) and not isinstance(got, bool), \
                        "%s!%s %s gave %r" % (ws.title, cell.coordinate, cell.value, got)
                    assert np.isfinite(got), "%s!%s %s" % (ws.title, cell.coordinate, cell.value)
    assert formulas > 20


def running_statistics(written, recalc, sheet):
    ws, vs = written[sheet], recalc[sheet]
    count = ws.max_row - 1
    width = 3  # RMSE, VLOO score, Roundoff beside the index column
    vloo = column(ws, 2, count)
    assert value(ws, 1, width + 1) == "Avg VLOO" and value(ws, 1, width + 2) == "StdDev VLOO"
    means = column(vs, width + 1, count)
    stds = column(vs, width + 2, count)
    for r in range(count):
        assert means[r] == approx(vloo[:r + 1].mean())
        assert stds[r] == approx(vloo[:r + 1].std(ddof=1) if r else 0.0)
    return count


def test_result_sheet_running_average_and_deviation(books):
    assert running_statistics(*books["result"], "Results") == CAMPAIGN["trainings"]


def test_recap_sheets_running_statistics(books):
    written, recalc = books["recap"]
    hidden = [name for name in written.sheetnames if name.startswith("Hidden ")]
    assert len(hidden) == 4
    for name in hidden:
        assert running_statistics(written, recalc, name) == 6


def test_training_scores(books):
    written, recalc = books["result"]
    ws, vs = written["Training"], recalc["Training"]
    n = CAMPAIGN["examples"]
    rows = label_rows(ws)
    measured_col = demo.TRAIN_RESULT_COLUMN
    measured = column(ws, measured_col, n)
    groups = (ws.max_column - measured_col - 1) // 4
    assert groups == CAMPAIGN["trainings"]
    assert formula_columns(ws, rows["RMSE"]) == [measured_col + 1 + 4 * g for g in range(groups)]
    for g in range(groups):
        est, lev, vloo = (measured_col + 1 + 4 * g + k for k in (0, 2, 3))
        assert value(vs, rows["SUM"], lev) == approx(column(ws, lev, n).sum())
        assert value(vs, rows["RMSE"], est) == approx(rmse(column(ws, est, n), measured))
        assert value(vs, rows["VLOO score"], vloo) == approx(rmse(column(ws, vloo, n), measured))
        r = pearson(column(ws, est, n), measured)
        assert value(vs, rows["Pearson"], est) == approx(r)
        assert value(vs, rows["R2"], est) == approx(r * r)


def test_test_sheet_scores(books):
    written, recalc = books["result"]
    ws, vs = written["Test"], recalc["Test"]
    n = CAMPAIGN["test_examples"]
    rows = label_rows(ws)
    measured_col = demo.TEST_RESULT_COLUMN
    measured = column(ws, measured_col, n)
    selected = demo.best_counts(CAMPAIGN["trainings"])
    first_further = measured_col + 1 + 3 * len(selected)
    models = ([measured_col + 1 + 3 * i for i in range(len(selected))]
              + [first_further + 2 * k for k in range(CAMPAIGN["further_models"])])
    assert formula_columns(ws, rows["RMSE"]) == models
    for i, col in enumerate(models):
        est = column(ws, col, n)
        expected_count = selected[i] if i < len(selected) else 1
        assert value(vs, rows["Selected models"], col) == expected_count
        assert value(vs, rows["RMSE"], col) == approx(rmse(est, measured))
        r = pearson(est, measured)
        assert value(vs, rows["Pearson"], col) == approx(r)
        assert value(vs, rows["R2"], col) == approx(r * r)


def test_loo_scores(books):
    written, recalc = books["result"]
    ws, vs = written["LOO CV"], recalc["LOO CV"]
    n = CAMPAIGN["examples"]
    rows = label_rows(ws)
    estimate_col = demo.LOO_RESULT_COLUMN
    measured = column(ws, estimate_col - 1, n)
    columns = [estimate_col] + [estimate_col + 3 + 4 * k for k in range(CAMPAIGN["loo_trainings"])]
    assert formula_columns(ws, rows["LOO score"]) == columns
    for col in columns:
        est = column(ws, col, n)
        assert value(vs, rows["COUNT"], col) == n
        assert value(vs, rows["LOO score"], col) == approx(rmse(est, measured))


def test_bootstrap_scores(books):
    written, recalc = books["result"]
    ws, vs = written["Bootstrap training"], recalc["Bootstrap training"]
    n = CAMPAIGN["examples"]
    row = label_rows(ws)["RMSE"]
    width = 7 + CAMPAIGN["bootstrap_columns"]
    columns = [2, 5] + list(range(8, width + 1))
    assert formula_columns(ws, row) == columns
    measured = column(ws, 1, n)
    for col in columns:
        assert value(vs, row, col) == approx(rmse(column(ws, col, n), measured))


def test_chart_bounds_on_utilities_sheet(books):
    written, recalc = books["result"]
    util, values = written["Utilities"], recalc["Utilities"]
    measured_of = {"Training": ("Training", demo.TRAIN_RESULT_COLUMN, CAMPAIGN["examples"]),
                   "Test": ("Test", demo.TEST_RESULT_COLUMN, CAMPAIGN["test_examples"]),
                   "LOO CV": ("LOO CV", demo.LOO_RESULT_COLUMN - 1, CAMPAIGN["examples"])}
    found = []
    for row in range(1, util.max_row + 1):
        if util.cell(row=row, column=3).value != "Padding":
            continue
        label = util.cell(row=row, column=2).value
        sheet, col, n = measured_of[label]
        data = column(written[sheet], col, n)
        pad = values.cell(row=row, column=4).value
        low = values.cell(row=row + 1, column=4).value
        high = values.cell(row=row + 2, column=4).value
        spread = data.max() - data.min()
        assert pad == approx(0.05)
        assert low == approx(data.min() - 0.05 * spread)
        assert high == approx(data.max() + 0.05 * spread)
        assert low < data.min() and high > data.max()
        found.append(label)
    assert found == ["Training", "Test", "LOO CV"]


def test_without_recalculation_the_stored_results_are_shown(campaign, books):
    """LibreOffice's default keeps the results stored in the file: those must be the right ones too."""
    folder, paths = campaign
    cached = openpyxl.load_workbook(lo.recalculated(paths["result"], recalc=False,
                                                    outdir=folder / "cached"), data_only=True)
    stored = openpyxl.load_workbook(paths["result"], data_only=True)
    written, recalc = books["result"]
    mismatched = []
    for ws in written.worksheets:
        for row in ws.iter_rows():
            for cell in row:
                if not (isinstance(cell.value, str) and cell.value.startswith("=")):
                    continue
                shown = cached[ws.title][cell.coordinate].value
                kept = stored[ws.title][cell.coordinate].value
                # Nothing recalculated (LibreOffice keeps 15 significant digits).
                assert shown == pytest.approx(kept, rel=1e-13, abs=1e-300)
                good = recalc[ws.title][cell.coordinate].value
                if not (isinstance(shown, (int, float)) and shown == pytest.approx(good, rel=1e-9)):
                    mismatched.append("%s!%s" % (ws.title, cell.coordinate))
    if not stores_formula_results(paths["result"]):
        pytest.xfail("the writer stores no computed results (%d formula cells)" % len(mismatched))
    assert mismatched == []


def colour_pixels(ppm):
    """(coloured, blue, red) pixel counts of a binary PPM page; text and grid lines are grey."""
    with open(ppm, "rb") as f:
        data = f.read()
    parts = data.split(maxsplit=4)
    assert parts[0] == b"P6"
    width, height = int(parts[1]), int(parts[2])
    rgb = np.frombuffer(parts[4][:width * height * 3], dtype=np.uint8).reshape(height, width, 3)
    rgb = rgb.astype(int)
    r, g, b = rgb[..., 0], rgb[..., 1], rgb[..., 2]
    coloured = int(((rgb.max(axis=2) - rgb.min(axis=2)) > 60).sum())
    blue = int((b - np.maximum(r, g) > 50).sum())
    red = int((r - np.maximum(g, b) > 50).sum())
    return coloured, blue, red


def pages_as_ppm(pdf, outdir, first, last):
    os.makedirs(str(outdir), exist_ok=True)
    subprocess.run(["pdftoppm", "-r", "60", "-f", str(first), "-l", str(last), pdf,
                    os.path.join(str(outdir), "page")], check=True, timeout=120)
    pages = sorted(f for f in os.listdir(str(outdir)) if f.endswith(".ppm"))
    return [os.path.join(str(outdir), f) for f in pages]


def pdf_pages(pdf):
    out = subprocess.run(["pdfinfo", pdf], check=True, timeout=60, stdout=subprocess.PIPE).stdout
    line = [x for x in out.decode().splitlines() if x.startswith("Pages:")][0]
    return int(line.split()[1])


def page_text(pdf, page):
    return subprocess.run(["pdftotext", "-f", str(page), "-l", str(page), pdf, "-"], check=True,
                          timeout=60, stdout=subprocess.PIPE).stdout.decode()


def chart_pages(pdf, outdir, count):
    """PPM files of the last ``count`` pages: chartsheets follow the worksheets, one page each."""
    total = pdf_pages(pdf)
    first = total - count + 1
    pages = pages_as_ppm(pdf, outdir, first, total)
    assert len(pages) == count
    for number in range(first, total + 1):
        assert "Estimated" in page_text(pdf, number), "page %d is not a chart" % number
    return pages


@pytest.fixture(scope="module")
def chart_renders(campaign, books):
    """PPM pages of the chartsheets: (as LibreOffice shows the file, after recalculation)."""
    lo.require_pdftoppm()
    folder, paths = campaign
    written, _ = books["result"]
    count = len(written.chartsheets)
    assert count == 4
    # By default LibreOffice shows the results stored in the file, nothing recalculated.
    shown = chart_pages(lo.to_pdf(paths["result"], outdir=folder / "pdf-result"),
                        folder / "ppm-result", count)
    recalc = os.path.join(str(folder), "recalc-result", "demo_model.xlsx")
    live = chart_pages(lo.to_pdf(recalc, outdir=folder / "pdf-recalc"), folder / "ppm-recalc", count)
    return shown, live


def test_chartsheets_render_as_drawings(chart_renders):
    shown, live = chart_renders
    for page, live_page in zip(shown, live):
        coloured, blue, _ = colour_pixels(page)
        assert coloured > 50 and blue > 30, "no data points drawn on %s" % page
        # Recalculated, the bisector's ends (live formulas on the Utilities sheet) are known.
        _, blue, red = colour_pixels(live_page)
        assert blue > 30 and red > 30, "no bisector drawn on %s" % live_page


def test_bisector_shown_without_recalculation(campaign, chart_renders):
    if not stores_formula_results(campaign[1]["result"]):
        pytest.xfail("the writer stores no formula results: the bisector shows only after recalculation")
    for page in chart_renders[0]:
        assert colour_pixels(page)[2] > 30, "no bisector drawn on %s" % page


def test_recap_charts_render_as_drawings(campaign):
    lo.require_pdftoppm()
    folder, paths = campaign
    pdf = lo.to_pdf(paths["recap"], outdir=folder / "pdf-recap")
    titles = ["Averages(%d)" % m for m in (1, 2, 3)]
    pages = {}
    for number in range(1, pdf_pages(pdf) + 1):
        text = page_text(pdf, number)
        for title in titles:
            if title in text:
                pages[title] = number
    assert sorted(pages) == sorted(titles)
    for number in sorted(set(pages.values())):
        ppm = pages_as_ppm(pdf, folder / ("ppm-recap-%d" % number), number, number)
        coloured, blue, red = colour_pixels(ppm[0])
        assert blue > 30 and red > 30, "recap chart page %d is blank" % number


@pytest.mark.parametrize("ci, outcome", [("1", pytest.fail.Exception), ("", pytest.skip.Exception)])
def test_missing_soffice_skips_except_under_ci(monkeypatch, ci, outcome):
    monkeypatch.setattr(lo, "soffice_path", lambda: None)
    monkeypatch.setenv("CI", ci)
    with pytest.raises(outcome):
        lo.require_soffice()


def test_hung_soffice_is_ended_at_the_timeout(monkeypatch, tmp_path):
    fake = tmp_path / "soffice"
    pidfile = tmp_path / "pid"
    fake.write_text("#!/bin/sh\necho $$ > %s\nsleep 60 & wait\n" % pidfile)
    fake.chmod(0o755)
    monkeypatch.setattr(lo, "soffice_path", lambda: str(fake))
    book = tmp_path / "a.xlsx"
    book.write_bytes(b"")
    with pytest.raises(RuntimeError, match="did not finish"):
        lo.convert(book, "pdf", outdir=tmp_path / "out", timeout=1)
    pid = int(pidfile.read_text())
    with pytest.raises(ProcessLookupError):
        os.kill(pid, 0)


@pytest.mark.parametrize("recalc, shown", [(True, [6, 6]), (False, [0, 5])])
def test_recalculation_mode_of_the_conversion(tmp_path, recalc, shown):
    """With recalc the application's own results; without, the ones stored in the file."""
    lo.require_soffice()
    import xlsxwriter

    path = str(tmp_path / "mode.xlsx")
    book = xlsxwriter.Workbook(path)
    sheet = book.add_worksheet()
    sheet.write_number(0, 0, 2)
    sheet.write_number(0, 1, 3)
    sheet.write_formula(0, 2, "=A1*B1")          # stored result 0
    sheet.write_formula(0, 3, "=A1*B1", None, 5)  # stored result 5
    book.close()
    copy = lo.recalculated(path, recalc=recalc, outdir=tmp_path / "out")
    cells = openpyxl.load_workbook(copy, data_only=True).active
    assert [cells["C1"].value, cells["D1"].value] == shown
