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
