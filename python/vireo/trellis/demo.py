"""trellis-demo: a small synthetic training campaign, finished as the toolkit does.

It writes the campaign's result Frames through a pandas ExcelWriter (XlsxWriter
engine), finishes the result workbook with ``reportbook.finishExcel``, writes
the recap workbook of a multi-architecture campaign and a pre-processing
workbook, then reads the result workbook back with ``tablemine``.
"""
import argparse
import contextlib
import io
import os
import sys
import tempfile
import time
import types

import numpy as np
import pandas as pd

SHEETS = ["Results", "Training", "Test", "LOO CV", "LOO test",
          "Bootstrap training", "Bootstrap test"]
TRAIN_RESULT_COLUMN = 3   # ID, x1, x2, measured
TEST_RESULT_COLUMN = 4    # ID, x1, x2, x3, measured
LOO_RESULT_COLUMN = 3     # ID, x1, measured, LOO estimate


# From this many cells on, the demo reports each sheet it writes.
LARGE_CAMPAIGN_CELLS = 200000


class Progress:
    """One line per stage on standard output, with the time since the start."""

    def __init__(self, quiet, detailed=False):
        self.quiet = quiet
        self.detailed = detailed
        self.start = time.perf_counter()

    def __call__(self, text):
        if not self.quiet:
            print("[%7.2f s] %s" % (time.perf_counter() - self.start, text), flush=True)

    def detail(self, text):
        """A finer stage, reported only for large campaigns (or with -vv)."""
        if self.detailed:
            self(text)


@contextlib.contextmanager
def module_messages(verbose):
    """The writer prints where it looked for a VBA project; show that only with -vv."""
    if verbose > 1:
        yield
        return
    buffer = io.StringIO()
    with contextlib.redirect_stdout(buffer):
        yield


def measured_values(rng, inputs):
    """A smooth property of the inputs plus measurement noise."""
    x = np.asarray(inputs)
    return 1.5 * x[:, 0] - 0.8 * x[:, 1] ** 2 + 0.3 * x.sum(axis=1) + rng.normal(0, 0.1, len(x))


def leverages(rng, count, paramcount):
    """Leverages in (0, 1) that sum to the model's parameter count."""
    raw = rng.gamma(2.0, 1.0, count)
    lev = raw / raw.sum() * paramcount
    return np.clip(lev, 1e-4, 0.95)


def cell_count(frames):
    """Cells pandas writes for the Frames: their values, index and header."""
    return int(sum((f.shape[0] + 1) * (f.shape[1] + 1) for f in frames))


def training_frames(rng, examples, trainings, paramcount):
    """The training sheet (four columns per training) and the result sheet."""
    inputs = rng.uniform(-1, 1, (examples, 2))
    measured = measured_values(rng, inputs)
    data = {"ID": ["m%d" % (i + 1) for i in range(examples)],
            "x1": inputs[:, 0], "x2": inputs[:, 1], "logP": measured}
    scores = []
    for g in range(trainings):
        noise = 0.05 + 0.1 * rng.random()
        estimate = measured + rng.normal(0, noise, examples)
        lev = leverages(rng, examples, paramcount)
        residual = estimate - measured
        vloo = measured + residual / (1 - lev)
        data["Estimated %d" % g] = estimate
        data["Residual %d" % g] = residual
        data["Leverage %d" % g] = lev
        data["VLOO %d" % g] = vloo
        scores.append((np.sqrt(np.mean(residual ** 2)),
                       np.sqrt(np.mean((vloo - measured) ** 2)),
                       abs(rng.normal(0, 1e-7))))
    train = pd.DataFrame(data)
    result = pd.DataFrame(scores, columns=["RMSE", "VLOO score", "Roundoff"],
                          index=pd.Index(range(1, trainings + 1), name="Training"))
    return train, result


def test_frame(rng, examples, selected, further):
    """Test sheet: three columns per selected model, two per further model."""
    inputs = rng.uniform(-1, 1, (examples, 3))
    measured = measured_values(rng, inputs[:, :2]) + 0.2 * inputs[:, 2]
    data = {"ID": ["t%d" % (i + 1) for i in range(examples)],
            "x1": inputs[:, 0], "x2": inputs[:, 1], "x3": inputs[:, 2], "logP": measured}
    for i, count in enumerate(selected):
        data["Estimated (%d best)" % count] = measured + rng.normal(0, 0.12, examples)
        data["StdDev (%d best)" % count] = np.abs(rng.normal(0, 0.05, examples))
        data["Count (%d best)" % count] = rng.integers(0, count + 1, examples)
    for k in range(further):
        data["Model %d" % (k + 1)] = measured + rng.normal(0, 0.15, examples)
        data["Leverage %d" % (k + 1)] = rng.beta(1, 8, examples)
    return pd.DataFrame(data)


def loo_frames(rng, examples, loo_trainings, verbose):
    """LOO training sheet (estimate, spread, selected count, per-training columns) and LOO test sheet."""
    inputs = rng.uniform(-1, 1, (examples, 1))
    measured = 2.0 * inputs[:, 0] + rng.normal(0, 0.1, examples)
    data = {"ID": ["m%d" % (i + 1) for i in range(examples)], "x1": inputs[:, 0],
            "logP": measured, "LOO estimate": measured + rng.normal(0, 0.15, examples),
            "LOO spread": np.abs(rng.normal(0, 0.05, examples)),
            "Selected": rng.integers(1, 4, examples)}
    if verbose > 1:
        for k in range(loo_trainings):
            data["LOO %d" % k] = measured + rng.normal(0, 0.2, examples)
            data["Leverage %d" % k] = rng.beta(1, 8, examples)
            data["Residual %d" % k] = rng.normal(0, 0.2, examples)
            data["Count %d" % k] = rng.integers(0, 3, examples)
    loo_train = pd.DataFrame(data)
    loo_test = pd.DataFrame({"ID": ["t%d" % (i + 1) for i in range(examples // 2)],
                             "x1": rng.uniform(-1, 1, examples // 2),
                             "logP": rng.normal(0, 1, examples // 2),
                             "LOO estimate": rng.normal(0, 1, examples // 2)})
    return loo_train, loo_test


def bootstrap_frames(rng, examples, columns):
    """Bootstrap sheets: measured in B, model estimate in C, bootstrap estimate in F, then one column each."""
    measured = rng.normal(0, 1, examples)
    data = {"logP": measured, "Estimated": measured + rng.normal(0, 0.1, examples),
            "Residual": rng.normal(0, 0.1, examples), "Leverage": rng.beta(1, 8, examples),
            "Bootstrap estimate": measured + rng.normal(0, 0.12, examples),
            "Bootstrap spread": np.abs(rng.normal(0, 0.05, examples)),
            "Bootstrap count": rng.integers(1, columns + 1, examples)}
    for k in range(columns):
        data["BS %d" % (k + 1)] = measured + rng.normal(0, 0.2, examples)
    train = pd.DataFrame(data, index=pd.Index(["m%d" % (i + 1) for i in range(examples)], name="ID"))
    test = pd.DataFrame({"logP": rng.normal(0, 1, examples // 2),
                         "Bootstrap estimate": rng.normal(0, 1, examples // 2)},
                        index=pd.Index(["t%d" % (i + 1) for i in range(examples // 2)], name="ID"))
    return train, test


def campaign_options(args, folder, verbose):
    return types.SimpleNamespace(
        root="demo_model", propertyName="logP", propertyunit="", savedir=folder,
        targetfolder=folder, outfile=sys.stdout if verbose else io.StringIO(),
        indirectoutput=True, copytxtcsv=True, copyexcel=True,
        loomaxrec=args.loo_trainings, leveragethreshold=0.5,
        multimaxrec=[3, 5], maxrec=args.trainings, verbosexls=args.verbosity,
        source=os.path.join(folder, "demo_data.csv"), datarange="A1:D%d" % (args.examples + 1),
        datafields="ID,x1,x2,logP", test="", testrange="", testfields="",
        epochs=200, initcount=args.trainings, inputcount=2, seed=args.seed, initstddev=0.3,
        roundthreshold=1e-6, looleveragethreshold=0.95, orderfield="vloo",
        bootstraporderfield="rmse", looorderfield="vloo", caller=0,
        actionlist=["train", "test", "loo", "bootstrap"],
        bootstrapcount=args.bootstrap_columns, bootstrapinitcount=5, bootstrapinittype=0,
        bootstrapepochs=100, bootstraptype=1, looinitcount=5, looinittype=0, looepochs=100,
        datacount=args.examples, testcount=args.test_examples, paramCount=13)


def write_result_workbook(args, folder, rng, progress):
    from vireo.trellis import reportbook

    options = campaign_options(args, folder, args.verbose > 0)
    paramcount = options.paramCount
    properties = reportbook.getCustomDict(options)
    model_file = os.path.join(folder, "demo_model.nnx")
    with open(model_file, "w") as handle:
        handle.write("demo model\n")
    properties["Model file"] = (model_file, "text")

    train, result = training_frames(rng, args.examples, args.trainings, paramcount)
    test = test_frame(rng, args.test_examples, options.multimaxrec, args.further_models)
    loo_train, loo_test = loo_frames(rng, args.examples, args.loo_trainings, args.verbosity)
    bs_train, bs_test = bootstrap_frames(rng, args.examples, args.bootstrap_columns)
    progress("campaign data ready: %d examples, %d trainings" % (args.examples, args.trainings))

    frames = [result, train, test, loo_train, loo_test, bs_train, bs_test]
    tempres = os.path.join(folder, ".demo_model.tmp.xlsx")
    writer = pd.ExcelWriter(tempres, engine="xlsxwriter")
    # The result and bootstrap Frames keep their index (training number, example ID).
    for frame, name, index in zip(frames, SHEETS, (True, False, False, False, False, True, True)):
        frame.to_excel(writer, sheet_name=name, index=index)
        progress.detail("sheet %r written: %d rows, %d columns" % ((name,) + frame.shape))
    progress("result Frames written through pandas (%d cells)" % cell_count(frames))

    modeldic = {"hidden": 3, "paramCount": paramcount, "config": "3 hidden, tanh",
                "mark": "demo", "modelCount": 1}
    best = int(result["VLOO score"].idxmin())
    with module_messages(args.verbose):
        excelresult = reportbook.finishExcel(
            writer, options, properties, SHEETS, frames, modeldic, None, [best],
            TRAIN_RESULT_COLUMN, TEST_RESULT_COLUMN, LOO_RESULT_COLUMN, 1, "", tempres)
    progress("result workbook finished and saved")
    return excelresult, model_file


def write_recap_workbook(args, folder, rng, progress):
    from vireo.trellis import reportbook

    hidden = [2, 3, 4, 5]
    maxrecs = [1, 2, 3]
    options = types.SimpleNamespace(multihidden=hidden, multimaxrec=maxrecs)
    rows, labels = [], []
    for m in maxrecs:
        vloo = 0.4 - 0.03 * np.arange(len(hidden)) + rng.normal(0, 0.01, len(hidden)) + 0.02 * m
        rows += [[m] + list(vloo), [m] + list(np.abs(rng.normal(0.03, 0.01, len(hidden)))),
                 [m] + list(vloo - 0.08)]
        labels += ["VLOO avg (%d)" % m, "VLOO std (%d)" % m, "RMSE avg (%d)" % m]
    recap = pd.DataFrame(rows, index=labels, columns=["Best count"] + ["%d hidden" % h for h in hidden])
    path = os.path.join(folder, "demo_recap.xlsx")
    writer = pd.ExcelWriter(path, engine="xlsxwriter")
    recap.to_excel(writer, sheet_name="Recap")
    summary = []
    for h in hidden:
        _, result = training_frames(rng, 30, 6, 4 * h + 1)
        result.to_excel(writer, sheet_name="Hidden %d" % h)
        summary.append((h, result, None))
    reportbook.enrichRecapExcelFile(writer, options, recapname="Recap", recapframe=recap,
                                    nametemplate="Hidden %d", sumaryframelist=summary)
    writer.close()
    progress("recap workbook finished")
    return path


def write_preproc_workbook(args, folder, rng, progress):
    from vireo.trellis import reportbook

    path = os.path.join(folder, "demo_preproc.xlsx")
    data = pd.DataFrame(rng.normal(0, 1, (args.examples, 4)), columns=["x1", "x2", "x3", "logP"])
    writer = pd.ExcelWriter(path, engine="xlsxwriter")
    data.to_excel(writer, sheet_name="Data")
    with module_messages(args.verbose):
        reportbook.enrichExcelPreproc(writer, "Data", path)
    writer.close()
    progress("pre-processing workbook finished")
    return path


def read_back(excelresult, recap, preproc, model_file, progress):
    """What the reader finds in the three workbooks."""
    from vireo.trellis.datareader import tablemine

    found = {}
    found["properties"] = tablemine.getcustomproperties(excelresult, "Utilities")
    found["results"] = tablemine.getFrameFromExcel(excelresult, SHEETS[0], reduce=True)
    found["training"] = tablemine.getFrameFromExcel(excelresult, SHEETS[1], reduce=True)
    found["workbook"] = tablemine.searchExcelFile(model_file)
    progress("result workbook read back")
    found["recap"] = tablemine.getFrameFromExcel(recap, "Recap")
    found["recap sheets"] = [name for name in pd.ExcelFile(recap).sheet_names if name != "Recap"]
    progress("recap workbook read back")
    found["preproc"] = tablemine.getFrameFromExcel(preproc, "Data")
    progress("pre-processing workbook read back")
    return found


def report(folder, excelresult, recap, preproc, found):
    props, results = found["properties"], found["results"]
    print("Result workbook:         %s" % excelresult)
    print("Recap workbook:          %s" % recap)
    print("Pre-processing workbook: %s" % preproc)
    print("Information file:        %s" % os.path.join(folder, "traininfo.txt"))
    print("Custom properties read back: %d (Model file: %s)" % (len(props), props.get("Model file")))
    print("Result sheet read back: %d trainings, best VLOO score %.4f (training %s)"
          % (len(results), results["VLOO score"].min(), results["VLOO score"].idxmin()))
    print("Training sheet read back: %d examples (score rows trimmed), %d columns"
          % found["training"].shape)
    print("Recap sheet read back: %d score rows over %d architectures (%s)"
          % (found["recap"].shape[0], found["recap"].shape[1] - 1, ", ".join(found["recap sheets"])))
    print("Pre-processing sheet read back: %d rows, %d columns" % found["preproc"].shape)
    print("Workbook that names the model file: %s" % (found["workbook"] or "(none found)"))


def parse_args(argv):
    parser = argparse.ArgumentParser(prog="trellis-demo", description=__doc__.splitlines()[0])
    parser.add_argument("--out", default=None, help="output folder (default: a new temporary folder)")
    parser.add_argument("--examples", type=int, default=60, help="training examples")
    parser.add_argument("--trainings", type=int, default=5, help="trainings of the campaign")
    parser.add_argument("--test-examples", type=int, default=25, help="test examples")
    parser.add_argument("--further-models", type=int, default=3, help="further models on the test sheet")
    parser.add_argument("--loo-trainings", type=int, default=4, help="individual LOO trainings")
    parser.add_argument("--bootstrap-columns", type=int, default=8, help="individual bootstrap columns")
    parser.add_argument("--seed", type=int, default=7, help="random seed")
    parser.add_argument("--verbosity", type=int, default=2, help="verbosity of the test and LOO sheets")
    parser.add_argument("-v", "--verbose", action="count", default=1, help="more messages")
    parser.add_argument("-q", "--quiet", action="store_true", help="no progress lines")
    args = parser.parse_args(argv)
    if args.quiet:
        args.verbose = 0
    for name in ("examples", "trainings", "test_examples"):
        if getattr(args, name) < 1:
            parser.error("--%s must be at least 1" % name.replace("_", "-"))
    for name in ("further_models", "loo_trainings", "bootstrap_columns"):
        if getattr(args, name) < 0:
            parser.error("--%s must not be negative" % name.replace("_", "-"))
    if args.examples < 2:
        # The LOO and bootstrap test sheets hold half as many rows.
        parser.error("--examples must be at least 2")
    return args


def main(argv=None):
    args = parse_args(argv)
    folder = os.path.abspath(args.out or tempfile.mkdtemp(prefix="trellis-demo-"))
    os.makedirs(folder, exist_ok=True)
    rng = np.random.default_rng(args.seed)
    cells = args.examples * (4 * args.trainings + args.loo_trainings * 4 + args.bootstrap_columns)
    progress = Progress(args.quiet, detailed=cells >= LARGE_CAMPAIGN_CELLS or args.verbose > 1)

    excelresult, model_file = write_result_workbook(args, folder, rng, progress)
    recap = write_recap_workbook(args, folder, rng, progress)
    preproc = write_preproc_workbook(args, folder, rng, progress)
    found = read_back(excelresult, recap, preproc, model_file, progress)
    report(folder, excelresult, recap, preproc, found)
    return 0


if __name__ == "__main__":
    sys.exit(main())
