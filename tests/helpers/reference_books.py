"""The workbooks the reference files are made of, from small fixed inputs
(no clock, no random numbers: every value is written out or computed from its
row), and their parts normalised for comparison."""
import io
import re
import types
import zipfile
import xml.etree.ElementTree as ET

import pandas as pd

from vireo.trellis import reportbook as rb

SHEETS = ["Results", "Training", "Test", "LOO CV", "LOO test", "Bootstrap training",
          "Bootstrap test"]
MEASURED = [0.5, 1.25, -0.75, 2.0, 0.0, 1.5]
TEST_MEASURED = [1.0, -0.5, 0.25, 1.75]
TRAININGS = 3
LOO_TRAININGS = 2


def _offset(i, k, scale=0.05):
    """A small, fixed deviation of example i in column group k."""
    return ((i * 7 + k * 3) % 5 - 2) * scale


def _examples(measured, inputs, prefix):
    data = {"ID": ["%s%d" % (prefix, i + 1) for i in range(len(measured))]}
    for k in range(inputs):
        data["x%d" % (k + 1)] = [round(0.25 * ((i + k) % 4) - 0.5, 2) for i in range(len(measured))]
    data["logP"] = measured
    return pd.DataFrame(data)


def campaign_frames():
    """The seven Frames of a campaign laid out as the toolkit writes them:
    measured values at column 3 of the training sheet, 4 of the test sheet,
    LOO estimates at 4 of the LOO sheet; trainings best first."""
    n = len(MEASURED)
    train = _examples(MEASURED, 2, "m")
    scores = []
    for t in range(1, TRAININGS + 1):
        est = [m + _offset(i, t) for i, m in enumerate(MEASURED)]
        lev = [round(0.1 + 0.05 * ((i + t) % 3), 2) for i in range(n)]
        train["Estimated %d" % t] = est
        train["Residual %d" % t] = [e - m for e, m in zip(est, MEASURED)]
        train["Leverage %d" % t] = lev
        train["VLOO %d" % t] = [m + (e - m) / (1 - h) for m, e, h in zip(MEASURED, est, lev)]
        scores.append((0.1 * t, 0.15 * t, 1e-7 * t))
    result = pd.DataFrame(scores, columns=["RMSE", "VLOO score", "Roundoff"],
                          index=pd.Index(range(1, TRAININGS + 1), name="Training"))

    test = _examples(TEST_MEASURED, 3, "t")
    for count in (1, 3):
        test["Estimated (%d best)" % count] = [m + _offset(i, count) for i, m in enumerate(TEST_MEASURED)]
        test["StdDev (%d best)" % count] = [0.05 * count] * len(TEST_MEASURED)
        test["Count (%d best)" % count] = [count - i % 2 for i in range(len(TEST_MEASURED))]
    for t in (1, 2):
        test["Training %d" % t] = [m + _offset(i, t + 4) for i, m in enumerate(TEST_MEASURED)]
        test["Leverage %d" % t] = [0.2 + 0.3 * ((i + t) % 2) for i in range(len(TEST_MEASURED))]

    loo = _examples(MEASURED, 2, "m")
    loo["LOO estimate"] = [m + _offset(i, 8) for i, m in enumerate(MEASURED)]
    loo["LOO spread"] = [0.02 * (i % 3 + 1) for i in range(n)]
    loo["Selected"] = [1 + i % 3 for i in range(n)]
    for k in range(LOO_TRAININGS):
        loo["LOO %d" % k] = [m + _offset(i, 10 + k) for i, m in enumerate(MEASURED)]
        loo["Leverage %d" % k] = [0.1 * (1 + (i + k) % 3) for i in range(n)]
        loo["Residual %d" % k] = [_offset(i, 12 + k) for i in range(n)]
        loo["Count %d" % k] = [(i + k) % 3 for i in range(n)]
    loo_test = _examples(TEST_MEASURED, 3, "t")
    loo_test["LOO estimate"] = [m + _offset(i, 9) for i, m in enumerate(TEST_MEASURED)]

    ids = pd.Index(["m%d" % (i + 1) for i in range(n)], name="ID")
    bs_train = pd.DataFrame({"logP": MEASURED, "Estimated": train["Estimated 1"].tolist(),
                             "Residual": train["Residual 1"].tolist(),
                             "Leverage": train["Leverage 1"].tolist(),
                             "Bootstrap estimate": [m + _offset(i, 14) for i, m in enumerate(MEASURED)],
                             "Bootstrap spread": [0.03] * n,
                             "Bootstrap count": [1 + i % 2 for i in range(n)],
                             "BS 1": [m + _offset(i, 15) for i, m in enumerate(MEASURED)],
                             "BS 2": [m + _offset(i, 16) for i, m in enumerate(MEASURED)]}, index=ids)
    bs_test = pd.DataFrame({"x1": test["x1"].tolist(), "logP": TEST_MEASURED,
                            "Bootstrap estimate": [m + _offset(i, 17) for i, m in enumerate(TEST_MEASURED)]},
                           index=pd.Index(["t%d" % (i + 1) for i in range(len(TEST_MEASURED))], name="ID"))
    return [result, train, test, loo, loo_test, bs_train, bs_test]


def campaign_options(folder):
    """The options of a verbose campaign (every model, highlights and LOO
    trainings shown) whose folders are fixed texts but the target folder."""
    return types.SimpleNamespace(
        root="model", propertyName="logP", propertyunit="", savedir="campaign",
        targetfolder=str(folder), outfile=io.StringIO(), indirectoutput=False, copytxtcsv=False,
        copyexcel=True, loomaxrec=LOO_TRAININGS, leveragethreshold=0.5, multimaxrec=[1, 3],
        maxrec=1, verbosexls=2, source="campaign/data.csv", datarange="A1:D7",
        datafields="ID,x1,x2,logP", test="", testrange="", testfields="", epochs=200,
        initcount=TRAININGS, inputcount=2, seed=7, initstddev=0.3, roundthreshold=1e-6,
        looleveragethreshold=0.95, orderfield="rmse", caller=0,
        actionlist=["train", "test", "loo", "bootstrap"], bootstrapcount=2, bootstrapinitcount=5,
        bootstrapinittype=0, bootstrapepochs=100, bootstraptype=1, bootstraporderfield="rmse",
        looorderfield="vloo", looinitcount=5, looinittype=0, looepochs=100, datacount=len(MEASURED),
        testcount=len(TEST_MEASURED), paramCount=13)


def result_book(folder):
    """The result workbook of the campaign, finished: every sheet kind, the
    line chart, the scatter chartsheets and the "Utilities" sheet."""
    frames = campaign_frames()
    options = campaign_options(folder)
    props = rb.getCustomDict(options)
    props["Model file"] = ("campaign/model.nnx", "text")
    tempres = folder / "result.tmp.xlsx"
    writer = pd.ExcelWriter(str(tempres), engine="xlsxwriter")
    for frame, name, index in zip(frames, SHEETS, (True, False, False, False, False, True, True)):
        frame.to_excel(writer, sheet_name=name, index=index)
    model = {"hidden": 3, "paramCount": 13, "config": "3 hidden, tanh", "mark": "reference",
             "modelCount": 1}
    return rb.finishExcel(writer, options, props, SHEETS, frames, model, None, [1], 3, 4, 4, 1, "",
                          str(tempres))


def recap_book(folder):
    """A recap workbook: one averages chart per best count, two summary sheets."""
    hidden, maxrecs = [2, 4], [1, 2]
    rows, labels = [], []
    for m in maxrecs:
        vloo = [0.4 - 0.05 * k + 0.02 * m for k in range(len(hidden))]
        rows += [[m] + vloo, [m] + [0.01 * (k + m) for k in range(len(hidden))],
                 [m] + [v - 0.08 for v in vloo]]
        labels += ["VLOO avg (%d)" % m, "VLOO std (%d)" % m, "RMSE avg (%d)" % m]
    recap = pd.DataFrame(rows, index=labels, columns=["Best count"] + ["%d hidden" % h for h in hidden])
    summary = [(h, campaign_frames()[0] * (1 + 0.1 * h), None) for h in hidden]
    path = folder / "recap.xlsx"
    writer = pd.ExcelWriter(str(path), engine="xlsxwriter")
    recap.to_excel(writer, sheet_name="Recap")
    for h, result, _ in summary:
        result.to_excel(writer, sheet_name="Hidden %d" % h)
    rb.enrichRecapExcelFile(writer, types.SimpleNamespace(multihidden=hidden, multimaxrec=maxrecs),
                            "Recap", recap, "Hidden %d", summary)
    writer.close()
    return path


def preproc_book(folder):
    """A pre-processing workbook, sized and closed by the writer (no VBA
    project where it looks)."""
    data = pd.DataFrame({"x1": [0.5, -1.0, 0.25], "x2": [1.0, 2.0, 3.0], "logP": MEASURED[:3]})
    path = folder / "preproc.xlsx"
    writer = pd.ExcelWriter(str(path), engine="xlsxwriter")
    data.to_excel(writer, sheet_name="Data")
    rb.enrichExcelPreproc(writer, "Data", str(path), True)
    return path


BOOKS = {"result": result_book, "recap": recap_book, "preproc": preproc_book}

# The time XlsxWriter stamps on every workbook, which is the clock's.
_CORE_TIMES = re.compile(r"(<dcterms:(created|modified) xsi:type=\"dcterms:W3CDTF\">)[^<]*(</dcterms:\2>)")
_COLS = re.compile(r"<cols>(.*?)</cols>")
_COL = re.compile(r"<col ([^>]*)></col>")
_ATTR = re.compile(r'(\w+)="([^"]*)"')
_EMPTY = re.compile(r"<([\w:.-]+)([^<>]*)></\1>")


def _merged_columns(cols):
    """Neighbouring <col> settings that are alike as one span: XlsxWriter
    3.1 and later write them so, 3.0 one per column."""
    spans = []
    for attrs in _COL.findall(cols.group(1)):
        col = dict(_ATTR.findall(attrs))
        low, high = int(col.pop("min")), int(col.pop("max"))
        if spans and spans[-1][2] == col and spans[-1][1] + 1 == low:
            spans[-1][1] = high
        else:
            spans.append([low, high, col])
    out = []
    for low, high, col in spans:
        col.update(min=str(low), max=str(high))
        out.append("<col %s></col>" % " ".join('%s="%s"' % kv for kv in sorted(col.items())))
    return "<cols>%s</cols>" % "".join(out)


def normalised(name, data):
    """A part's text as compared and stored: canonical XML (attributes in
    order, every empty element in one form) one element a line, without what
    the clock or the XlsxWriter release decides."""
    text = data.decode("utf-8")
    if name == "docProps/core.xml":
        text = _CORE_TIMES.sub(r"\1(time)\3", text)
    text = ET.canonicalize(text)
    text = _EMPTY.sub(r"<\1\2/>", _COLS.sub(_merged_columns, text))
    return text.replace("><", ">\n<").strip() + "\n"


def parts(path):
    """{part name: normalised text} of a workbook."""
    with zipfile.ZipFile(str(path)) as z:
        return {n: normalised(n, z.read(n)) for n in z.namelist()}
