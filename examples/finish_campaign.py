"""The smallest campaign the toolkit finishes: a result sheet and a training sheet.

    .venv/bin/python examples/finish_campaign.py [output-folder]

It prints where the writer looked for a VBA project (the README says why and
how to change that), the messages of the run, and last the workbook's path.
"""
import io
import os
import sys
import tempfile
import types

import numpy as np
import pandas as pd

from vireo.trellis import reportbook

folder = sys.argv[1] if len(sys.argv) > 1 else tempfile.mkdtemp(prefix="trellis-example-")
os.makedirs(folder, exist_ok=True)
options = types.SimpleNamespace(
    root="example", propertyName="logP", propertyunit="", savedir=folder, targetfolder=folder,
    outfile=io.StringIO(), indirectoutput=True, copytxtcsv=False, copyexcel=True, loomaxrec=0,
    leveragethreshold=0.5, multimaxrec=[1], maxrec=1, verbosexls=0, source="data.csv",
    datarange="", datafields="", test="", testrange="", testfields="", epochs=100, initcount=2,
    inputcount=1, seed=1, initstddev=0.3, orderfield="vloo", caller=2, actionlist=[], paramCount=3)

rng = np.random.default_rng(1)
measured = rng.normal(0, 1, 20)
train = pd.DataFrame({"ID": range(20), "x": rng.normal(0, 1, 20), "logP": measured})
for g in range(2):
    estimate = measured + rng.normal(0, 0.1, 20)
    train["Estimated %d" % g] = estimate
    train["Residual %d" % g] = estimate - measured
    train["Leverage %d" % g] = np.full(20, 3 / 20)
    train["VLOO %d" % g] = measured + (estimate - measured) / (1 - 3 / 20)
result = pd.DataFrame({"RMSE": [0.1, 0.12], "VLOO score": [0.13, 0.15], "Roundoff": [1e-7, 2e-7]},
                      index=pd.Index([1, 2], name="Training"))

# The workbook's document properties: the demo's unless set (title, author, company, ...).
reportbook.gmProperties.clear()
reportbook.gmProperties.update(title="Example campaign", author="A. Modeller", company="My lab",
                               comments="finished with vireo.trellis")

# A temporary path of this run's own: campaigns run side by side into one
# folder must never share one (the README says why).
handle, tempres = tempfile.mkstemp(prefix=".example.", suffix=".tmp.xlsx", dir=folder)
os.close(handle)
writer = pd.ExcelWriter(tempres, engine="xlsxwriter")
result.to_excel(writer, sheet_name="Results")
train.to_excel(writer, sheet_name="Training", index=False)
sheets = ["Results", "Training", "Test", "LOO CV", "LOO test", "Bootstrap training", "Bootstrap test"]
frames = [result, train, None, None, None, None, None]
path = reportbook.finishExcel(writer, options, reportbook.getCustomDict(options), sheets, frames,
                              {"hidden": 2, "paramCount": 3, "mark": "example"}, None, [1],
                              2, 4, 3, 1, "", tempres)
print(options.outfile.getvalue(), end="")
print(path)
