"""The results stored with the formulas, as LibreOffice shows them.

Each workbook is opened twice: with recalculation on load (LibreOffice's own
results) and with its default of never recalculating (what the workbook
stores; cells stored without a result are computed anyway). Every formula
cell must show the same value both ways, pandas must read the stored values
back, and the stored results must be LibreOffice's own.
"""
import contextlib
import io
import math
import os
import re
import types
import zipfile

import numpy as np
import openpyxl
import pandas as pd
import pytest

from helpers import libreoffice as lo
from helpers.writer_input import CAMPAIGN_SHEETS, open_campaign
from vireo.trellis import demo, reportbook


def options_for(folder, rows, trainings, test_rows):
    return types.SimpleNamespace(
        root="lo_model", propertyName="logP", propertyunit="", savedir=folder, targetfolder=folder,
        outfile=io.StringIO(), indirectoutput=True, copytxtcsv=False, copyexcel=True, loomaxrec=3,
        leveragethreshold=0.5, multimaxrec=[3, 5], maxrec=max(trainings, 1), verbosexls=2,
        source=os.path.join(folder, "data.csv"), datarange="A1:D%d" % (rows + 1),
        datafields="ID,x1,x2,logP", test="", testrange="", testfields="", epochs=10,
        initcount=trainings, inputcount=2, seed=1, initstddev=0.3, roundthreshold=1e-6,
        looleveragethreshold=0.95, orderfield="vloo", bootstraporderfield="rmse",
        looorderfield="vloo", caller=0, actionlist=["train", "test", "loo", "bootstrap"],
        bootstrapcount=4, bootstrapinitcount=2, bootstrapinittype=0, bootstrapepochs=10,
        bootstraptype=1, looinitcount=2, looinittype=0, looepochs=10, datacount=rows,
        testcount=test_rows, paramCount=7)


def frames_of(rng, rows, trainings, test_rows):
    m = rng.normal(2.0, 1.0, rows)
    train = {"ID": np.arange(1, rows + 1), "x1": rng.uniform(-1, 1, rows), "x2": rng.uniform(-1, 1, rows),
             "logP": m}
    scores = []
    for g in range(trainings):
        e = m + rng.normal(0, 0.1 + 0.02 * g, rows)
        lev = rng.uniform(0.01, 0.3, rows)
        v = m + (e - m) / (1 - lev)
        train.update({"Estimated %d" % g: e, "Residual %d" % g: e - m, "Leverage %d" % g: lev, "VLOO %d" % g: v})
        scores.append((np.sqrt(np.mean((e - m) ** 2)), np.sqrt(np.mean((v - m) ** 2)), 1e-7 * (g + 1)))
    result = pd.DataFrame(scores, columns=["RMSE", "VLOO score", "Roundoff"],
                          index=pd.Index(range(1, trainings + 1), name="Training"))
    t = rng.normal(2.0, 1.0, test_rows)
    test = {"ID": np.arange(test_rows), "x1": rng.normal(size=test_rows), "x2": rng.normal(size=test_rows),
            "x3": rng.normal(size=test_rows), "logP": t}
    for count in (3, 5):
        test.update({"Estimated (%d)" % count: t + rng.normal(0, 0.2, test_rows),
                     "StdDev (%d)" % count: rng.uniform(0, 0.1, test_rows),
                     "Count (%d)" % count: rng.integers(0, count + 1, test_rows)})
    for k in range(2):
        test.update({"Model %d" % k: t + rng.normal(0, 0.3, test_rows), "Leverage %d" % k: rng.beta(1, 8, test_rows)})
    loo = {"ID": np.arange(rows), "x1": rng.normal(size=rows), "logP": m, "LOO estimate": m + rng.normal(0, 0.2, rows),
           "LOO spread": rng.uniform(0, 0.1, rows), "Selected": rng.integers(1, 4, rows)}
    for k in range(3):
        loo.update({"LOO %d" % k: m + rng.normal(0, 0.25, rows), "Leverage L%d" % k: rng.beta(1, 8, rows),
                    "Residual L%d" % k: rng.normal(0, 0.2, rows), "Count L%d" % k: rng.integers(0, 3, rows)})
    bs = {"logP": m, "Estimated": m + rng.normal(0, 0.1, rows), "Residual": rng.normal(0, 0.1, rows),
          "Leverage": rng.beta(1, 8, rows), "Bootstrap estimate": m + rng.normal(0, 0.12, rows),
          "Bootstrap spread": rng.uniform(0, 0.05, rows), "Bootstrap count": rng.integers(1, 5, rows)}
    for k in range(4):
        bs["BS %d" % k] = m + rng.normal(0, 0.2, rows)
    index = pd.Index(["m%d" % i for i in range(rows)], name="ID")
    return {"Results": result, "Training": pd.DataFrame(train), "Test": pd.DataFrame(test),
            "LOO CV": pd.DataFrame(loo), "LOO test": pd.DataFrame(loo).iloc[:, :4],
            "Bootstrap training": pd.DataFrame(bs, index=index),
            "Bootstrap test": pd.DataFrame(bs, index=index).iloc[:, [0, 4]]}


def nan_inf_and_constants(frames):
    """Blanks, texts and constant columns where the scores refer to them."""
    train, test, loo, bs = (frames[k] for k in ("Training", "Test", "LOO CV", "Bootstrap training"))
    train.loc[3, "Estimated 0"] = np.nan          # a blank in an estimate column
    train["VLOO 1"] = train["VLOO 1"].astype(object)
    train.loc[5, "VLOO 1"] = np.inf               # written as the text "inf"
    train["Estimated 2"] = 0.1                    # constant: no correlation
    test.loc[2, "logP"] = -np.inf                 # every test score refers to it
    loo["LOO 1"] = np.nan                         # a training with no estimate at all
    loo.loc[0, "LOO 2"] = np.nan
    bs.iloc[1, bs.columns.get_loc("BS 0")] = np.nan  # (the index holds texts)


def measured_holes(frames):
    """Blanks, texts and infinities among the measured values, which every
    score and both chart bounds of their sheet refer to."""
    train, test, loo = (frames[k] for k in ("Training", "Test", "LOO CV"))
    for frame, column in ((train, "logP"), (test, "logP"), (loo, "logP")):
        frame[column] = frame[column].astype(object)
    train.loc[2, "logP"] = np.nan
    train.loc[6, "logP"] = np.inf
    test.loc[1, "logP"] = "n/a"
    loo.loc[0, "logP"] = np.nan
    frames["LOO test"] = loo.iloc[:, :4]


def one_blank_row(frames):
    """One example whose estimates are blank."""
    frames["Training"].loc[0, "Estimated 0"] = np.nan
    frames["Test"].loc[0, "Model 0"] = np.nan
    frames["LOO CV"].loc[0, "LOO 0"] = np.nan


def constant_measured(frames):
    """A test set whose measured values are all equal: no correlation, bounds of no spread."""
    frames["Test"]["logP"] = 2.5


CAMPAIGNS = {
    # name: (rows, trainings, test rows, damage)
    "no-training": (10, 0, 5, None),
    "one-example": (1, 1, 1, None),
    "constant": (15, 2, 8, constant_measured),
    "small": (12, 3, 6, None),
    "damaged": (60, 3, 20, nan_inf_and_constants),
    "measured holes": (40, 2, 12, measured_holes),
    "one blank row": (1, 2, 1, one_blank_row),
    "thousands": (2500, 4, 600, None),
}


def finish(folder, name, rows, trainings, test_rows, damage, seed=3):
    rng = np.random.default_rng(seed)
    frames = frames_of(rng, rows, trainings, test_rows)
    if damage:
        damage(frames)
    sub = os.path.join(folder, name)
    os.makedirs(sub)
    options = options_for(sub, rows, trainings, test_rows)
    tempres = os.path.join(sub, "campaign.tmp.xlsx")
    frames = [frames[s] for s in CAMPAIGN_SHEETS]
    writer = open_campaign(tempres, frames)
    with contextlib.redirect_stdout(io.StringIO()):
        return reportbook.finishExcel(
            writer, options, reportbook.getCustomDict(options), CAMPAIGN_SHEETS, frames,
            {"hidden": 2, "paramCount": 7, "mark": name, "modelCount": 1}, None, [1], 3, 4, 3, 1, "", tempres)


@pytest.fixture(scope="module")
def workbooks(tmp_path_factory):
    lo.require_soffice()
    folder = tmp_path_factory.mktemp("lo-results")
    paths = {name: finish(str(folder), name, *setup) for name, setup in CAMPAIGNS.items()}
    demo_dir = folder / "demo"
    with contextlib.redirect_stdout(io.StringIO()):
        assert demo.main(["--out", str(demo_dir), "--seed", "5", "-q"]) == 0
    paths["demo"] = str(demo_dir / "demo_model.xlsx")
    paths["demo recap"] = str(demo_dir / "demo_recap.xlsx")
    return folder, paths


def formula_cells(path):
    """{(sheet, coordinate): stored result} of every formula cell."""
    formulas = openpyxl.load_workbook(path)
    stored = openpyxl.load_workbook(path, data_only=True)
    return {(ws.title, c.coordinate): stored[ws.title][c.coordinate].value
            for ws in formulas.worksheets for row in ws.iter_rows() for c in row if c.data_type == "f"}


def chart_bounds(path):
    """The cells of the Utilities sheet that hold the charts' bounds."""
    book = openpyxl.load_workbook(path)
    if "Utilities" not in book.sheetnames:
        return []
    sheet = book["Utilities"]
    return [("Utilities", "D%d" % r) for r in range(1, sheet.max_row + 1)
            if sheet.cell(r, 3).value in ("Chart min", "Chart max")]


def same(a, b):
    if isinstance(a, (int, float)) and isinstance(b, (int, float)) and not isinstance(a, bool):
        return math.isclose(a, b, rel_tol=1e-12, abs_tol=1e-14)
    return a == b


@pytest.mark.parametrize("name", list(CAMPAIGNS) + ["demo", "demo recap"])
def test_libreoffice_shows_the_stored_results(workbooks, name):
    folder, paths = workbooks
    path = paths[name]
    cells = formula_cells(path)
    shown = {}
    for recalc in (True, False):
        copy = lo.recalculated(path, recalc=recalc, outdir=folder / ("%s-%s" % (name, recalc)))
        book = openpyxl.load_workbook(copy, data_only=True)
        shown[recalc] = {key: book[key[0]][key[1]].value for key in cells}
    differ = [(k, shown[True][k], shown[False][k]) for k in cells if not same(shown[True][k], shown[False][k])]
    assert differ == []
    wrong = [(k, v, shown[True][k]) for k, v in cells.items() if v is not None and not same(v, shown[True][k])]
    assert wrong == []
    missing = [k for k, v in cells.items() if v is None]
    if name == "damaged":
        # Only scores over a blank or a text are left to the application.
        assert missing and all(shown[True][k] is not None for k in missing)
    elif name not in ("measured holes", "one blank row"):
        assert missing == []
    if name == "constant":
        # Pearson (row 13) and R2 (row 14) of every test model.
        assert [shown[False][("Test", c + r)] for c in "FILN" for r in ("13", "14")] == ["#DIV/0!"] * 8

    # Every chart bound has its number, and no scatter series is cached as
    # text: a spreadsheet application would plot its x values at 1, 2, 3...
    bounds = chart_bounds(path)
    assert all(isinstance(cells[b], float) for b in bounds), [cells[b] for b in bounds]
    assert bounds or name == "demo recap"
    with zipfile.ZipFile(path) as book:
        charts = [book.read(n).decode() for n in book.namelist() if n.startswith("xl/charts/chart")]
    assert not [c for c in charts if re.search(r"<c:xVal><c:strRef>", c)]

    # pandas reads the stored values back (errors as NaN).
    sheets = pd.read_excel(path, sheet_name=None, header=None, engine="openpyxl")
    for (sheet, ref), value in cells.items():
        if isinstance(value, float):
            cell = openpyxl.utils.cell.coordinate_to_tuple(ref)
            assert same(sheets[sheet].iloc[cell[0] - 1, cell[1] - 1], value)
