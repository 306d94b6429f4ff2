"""Shared fixtures: run options, campaign Frames and pandas writers."""
import io
import os
import types

import numpy as np
import pandas as pd
import pytest


# The suite's fixed time limits are multiplied by TRELLIS_TIME_SCALE: under the
# sanitizers or on an emulated CPU every call runs several times slower.
TIME_SCALE = float(os.environ.get("TRELLIS_TIME_SCALE", "1"))


def seconds(limit):
    """A time limit of the suite, scaled for the machine it runs on."""
    return limit * TIME_SCALE


def make_options(tmp_path, **overrides):
    """Run options as the toolkit passes them, with every attribute the writer reads."""
    out = tmp_path / "out"
    out.mkdir(exist_ok=True)
    opts = types.SimpleNamespace(
        root="model",
        propertyName="logP",
        propertyunit="",
        savedir=str(tmp_path),
        targetfolder=str(out),
        outfile=io.StringIO(),
        indirectoutput=False,
        copytxtcsv=False,
        copyexcel=True,
        loomaxrec=0,
        leveragethreshold=0.5,
        multimaxrec=[1],
        maxrec=1,
        verbosexls=0,
        source="data/source.csv",
        datarange="A1:F20",
        datafields="a,b,c",
        test="",
        testrange="",
        testfields="",
        epochs=100,
        initcount=10,
        inputcount=3,
        seed=42,
        initstddev=0.3,
        roundthreshold=1e-6,
        looleveragethreshold=0.95,
        orderfield="vloo",
        caller=0,
        actionlist=["train"],
    )
    for key, value in overrides.items():
        setattr(opts, key, value)
    return opts


@pytest.fixture
def options(tmp_path):
    return make_options(tmp_path)


def open_writer(path, frames):
    """A pandas ExcelWriter (XlsxWriter engine) with ``frames`` ({sheet: Frame}) written."""
    writer = pd.ExcelWriter(str(path), engine="xlsxwriter")
    for name, frame in frames.items():
        frame.to_excel(writer, sheet_name=name)
    return writer


CAMPAIGN_SHEETS = ["Results", "Training", "Test", "LOO CV", "LOO test", "Bootstrap training",
                   "Bootstrap test"]


def campaign_frames(examples=10, trainings=3, tests=5, seed=3):
    """A modeller's own small campaign, laid out as the README says: the result,
    training, test and LOO training Frames (None for the other three).  Measured
    values at column 3 of the training sheet, 4 of the test sheet, 2 of the LOO
    sheet (estimates at 3)."""
    rng = np.random.default_rng(seed)
    x = rng.normal(size=(examples, 2))
    measured = 1.0 + x.sum(axis=1)
    result = pd.DataFrame({"RMSE": rng.uniform(0.1, 0.3, trainings),
                           "VLOO": rng.uniform(0.2, 0.4, trainings), "roundoff": 1e-6},
                          index=pd.Index(range(1, trainings + 1), name="Training"))
    train = pd.DataFrame({"ID": range(examples), "x1": x[:, 0], "x2": x[:, 1], "logP": measured})
    for t in range(trainings):
        est = measured + rng.normal(0, 0.1, examples)
        train["est%d" % t], train["res%d" % t] = est, est - measured
        train["lev%d" % t] = rng.uniform(0, 0.5, examples)
        train["vloo%d" % t] = est + rng.normal(0, 0.1, examples)
    tx = rng.normal(size=(tests, 3))
    tmeasured = 1.0 + tx.sum(axis=1)
    test = pd.DataFrame({"ID": range(tests), "x1": tx[:, 0], "x2": tx[:, 1], "x3": tx[:, 2],
                         "logP": tmeasured, "est": tmeasured + 0.1, "spread": 0.1, "count": 1,
                         "est2": tmeasured - 0.1, "lev2": 0.2})
    loo = pd.DataFrame({"ID": range(examples), "x1": x[:, 0], "logP": measured,
                        "loo": measured + rng.normal(0, 0.2, examples), "spare": 0.0, "count": 3})
    return [result, train, test, loo, None, None, None]


def open_campaign(path, frames, sheets=CAMPAIGN_SHEETS):
    """A writer holding the Frames given (the result and bootstrap ones with their index)."""
    writer = pd.ExcelWriter(str(path), engine="xlsxwriter")
    for i, (name, frame) in enumerate(zip(sheets, frames)):
        if frame is not None:
            frame.to_excel(writer, sheet_name=name, index=i in (0, 5, 6))
    return writer


@pytest.fixture(params=["native", "library"])
def range_reader(request, monkeypatch):
    """The range functions on both their paths: read natively (where the
    native reader is unsure, an error instead of the library), or through the
    toolkit's Excel reader (a subclass rebound in the module, which the module
    always calls)."""
    from vireo.trellis.datareader import tablemine as tm

    if request.param == "native":
        monkeypatch.setenv("TRELLIS_NATIVE_ONLY", "1")
    else:
        own, choose = tm.Excel, tm.getExcelType
        reader = type("Excel", (own,), {})
        monkeypatch.setattr(tm, "Excel", reader)
        monkeypatch.setattr(tm, "getExcelType", lambda ft: reader if choose(ft) is own else choose(ft))
    return request.param
