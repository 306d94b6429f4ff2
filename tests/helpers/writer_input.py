"""What the writer is handed: run options, a campaign's Frames, pandas writers."""
import io
import types
import zipfile

import numpy as np
import pandas as pd

from helpers.readback import book

# The toolkit's seven sheets, in its order, and a model as the finishing calls get it.
SHEETS = ["Results", "Training", "Test", "LOO training", "LOO test", "BS training", "BS test"]
MODEL = {"hidden": 3, "paramCount": 13, "mark": "m1"}


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


def open_writer(path, frames, index=True):
    """A pandas ExcelWriter (XlsxWriter engine) with ``frames`` ({sheet: Frame}) written."""
    writer = pd.ExcelWriter(str(path), engine="xlsxwriter")
    for name, frame in frames.items():
        frame.to_excel(writer, sheet_name=name, index=index)
    return writer


def frame(rows, cols):
    """A numeric Frame whose cells all differ."""
    return pd.DataFrame([[1.0 + r + 0.01 * c for c in range(cols)] for r in range(rows)])


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


class Book:
    """A pandas writer holding ``frames`` (no index column unless asked) and a "Utilities" sheet."""

    def __init__(self, tmp_path, frames, index=False, utilities=True):
        self.path = tmp_path / "book.xlsx"
        self.writer = open_writer(self.path, frames, index)
        self.book = self.writer.book
        self.util = self.book.add_worksheet("Utilities") if utilities else None

    def __getitem__(self, name):
        return self.writer.sheets[name]

    def close(self):
        """Save, and the workbook as openpyxl reads it."""
        self.writer.close()
        return book(self.path)

    def xml(self, member):
        """The text of a part of the saved file, None without it."""
        with zipfile.ZipFile(self.path) as z:
            return z.read(member).decode() if member in z.namelist() else None
