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
from typing import Any

import numpy as np
import pandas as pd

from vireo.trellis import __version__

SHEETS = ["Results", "Training", "Test", "LOO CV", "LOO test",
          "Bootstrap training", "Bootstrap test"]
# Columns of the measured values on the training and test sheets, and of the
# LOO estimates on the LOO training sheet (the measured values just left of
# them). The writers hide the inputs, columns B up to the one before these;
# the LOO test sheet, hidden up to the same column, carries the test
# examples' three inputs so that its measured values stay in view.
TRAIN_RESULT_COLUMN = 3   # ID, x1, x2, measured
TEST_RESULT_COLUMN = 4    # ID, x1, x2, x3, measured
LOO_RESULT_COLUMN = 4     # ID, x1, x2, measured, LOO estimate


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


def examples_frame(rng, count, inputs, prefix):
    """Examples with their IDs, ``inputs`` input columns and the measured logP: a
    smooth property of the first two inputs, a little of the others and noise."""
    x = rng.uniform(-1, 1, (count, inputs))
    measured = (1.5 * x[:, 0] - 0.8 * x[:, 1] ** 2 + 0.3 * x[:, :2].sum(axis=1)
                + 0.2 * x[:, 2:].sum(axis=1) + rng.normal(0, 0.1, count))
    data = {"ID": ["%s%d" % (prefix, i + 1) for i in range(count)]}
    data.update(("x%d" % (k + 1), x[:, k]) for k in range(inputs))
    data["logP"] = measured
    return pd.DataFrame(data)


def leverages(rng, count, paramcount):
    """Leverages in (0, 1) that sum to the model's parameter count."""
    raw = rng.gamma(2.0, 1.0, count)
    lev = raw / raw.sum() * paramcount
    return np.clip(lev, 1e-4, 0.95)


def cell_count(frames):
    """Cells pandas writes for the Frames: their values, index and header."""
    return int(sum((f.shape[0] + 1) * (f.shape[1] + 1) for f in frames))


def counted(count, word):
    """"1 training", "2 trainings"."""
    return "%d %s%s" % (count, word, "" if count == 1 else "s")


def best_counts(trainings):
    """The counts of best trainings averaged on the test sheet: 3 and 5 where the
    campaign has them, otherwise every training."""
    return [count for count in (3, 5) if count <= trainings] or [trainings]


def training_frames(rng, examples, trainings, paramcount):
    """The result sheet (one row per training, in training order), the training
    sheet (the examples, then four columns per training, best RMSE first), the
    training numbers best first and the noise of each training."""
    measured = examples["logP"].to_numpy()
    count = len(measured)
    groups, scores, noise = {}, [], {}
    for number in range(1, trainings + 1):
        noise[number] = 0.05 + 0.1 * rng.random()
        estimate = measured + rng.normal(0, noise[number], count)
        lev = leverages(rng, count, paramcount)
        residual = estimate - measured
        vloo = measured + residual / (1 - lev)
        groups[number] = {"Estimated %d" % number: estimate, "Residual %d" % number: residual,
                          "Leverage %d" % number: lev, "VLOO %d" % number: vloo}
        scores.append((np.sqrt(np.mean(residual ** 2)),
                       np.sqrt(np.mean((vloo - measured) ** 2)),
                       abs(rng.normal(0, 1e-7))))
    result = pd.DataFrame(scores, columns=["RMSE", "VLOO score", "Roundoff"],
                          index=pd.Index(range(1, trainings + 1), name="Training"))
    # The campaign orders its trainings by RMSE (sort field "rmse"): the
    # first group is the best training, the one the training charts show.
    ranking = [int(n) for n in result["RMSE"].sort_values(kind="stable").index]
    train = pd.concat([examples] + [pd.DataFrame(groups[n]) for n in ranking], axis=1)
    return train, result, ranking, noise


def test_frame(rng, examples, counts, ranking, noise, further, threshold):
    """Test sheet: the examples, then three columns per selected model (the
    average of the best trainings, their spread and how many of them were
    kept) and two per further model (one training, best first, with its
    leverage)."""
    measured = examples["logP"].to_numpy()
    count = len(measured)
    estimates = {n: measured + rng.normal(0, 1.2 * noise[n], count) for n in ranking}
    leverage = {n: rng.beta(1, 5, count) for n in ranking}
    data = {}
    for selected in counts:
        best = ranking[:selected]
        values = np.array([estimates[n] for n in best])
        kept = np.array([leverage[n] for n in best]) <= threshold
        # An example on which every model extrapolates keeps them all in the
        # average; its count of 0 flags it.
        weights = np.where(kept.any(axis=0), kept, True)
        average = (values * weights).sum(axis=0) / weights.sum(axis=0)
        spread = np.sqrt(((values - average) ** 2 * weights).sum(axis=0) / weights.sum(axis=0))
        data["Estimated (%d best)" % selected] = average
        data["StdDev (%d best)" % selected] = spread
        data["Count (%d best)" % selected] = kept.sum(axis=0)
    for number in ranking[:further]:
        data["Training %d" % number] = estimates[number]
        data["Leverage %d" % number] = leverage[number]
    return pd.concat([examples, pd.DataFrame(data)], axis=1)


def loo_frames(rng, examples, test_examples, loo_trainings, verbose):
    """LOO training sheet (the training examples, their LOO estimate, spread and
    count of models, then four columns per individual LOO training) and LOO
    test sheet (the test examples and their LOO estimate)."""
    measured = examples["logP"].to_numpy()
    count = len(measured)
    data = {"LOO estimate": measured + rng.normal(0, 0.15, count),
            "LOO spread": np.abs(rng.normal(0, 0.05, count)),
            "Selected": rng.integers(1, 4, count)}
    if verbose > 1:
        for k in range(loo_trainings):
            data["LOO %d" % k] = measured + rng.normal(0, 0.2, count)
            data["Leverage %d" % k] = rng.beta(1, 8, count)
            data["Residual %d" % k] = rng.normal(0, 0.2, count)
            data["Count %d" % k] = rng.integers(0, 3, count)
    loo_train = pd.concat([examples, pd.DataFrame(data)], axis=1)
    test_measured = test_examples["logP"].to_numpy()
    loo_test = test_examples.assign(**{"LOO estimate": test_measured + rng.normal(
        0, 0.15, len(test_measured))})
    return loo_train, loo_test


def bootstrap_frames(rng, examples, test_examples, columns):
    """Bootstrap sheets, indexed by example ID. Training: measured in B, model
    estimate in C, bootstrap estimate in F, then one column per bootstrap.
    Test: an input in B (the sheet hides that column), measured in C,
    bootstrap estimate in D."""
    measured = examples["logP"].to_numpy()
    count = len(measured)
    data = {"logP": measured, "Estimated": measured + rng.normal(0, 0.1, count),
            "Residual": rng.normal(0, 0.1, count), "Leverage": rng.beta(1, 8, count),
            "Bootstrap estimate": measured + rng.normal(0, 0.12, count),
            "Bootstrap spread": np.abs(rng.normal(0, 0.05, count)),
            "Bootstrap count": rng.integers(1, columns + 1, count)}
    for k in range(columns):
        data["BS %d" % (k + 1)] = measured + rng.normal(0, 0.2, count)
    train = pd.DataFrame(data, index=pd.Index(examples["ID"], name="ID"))
    test_measured = test_examples["logP"].to_numpy()
    test = pd.DataFrame({"x1": test_examples["x1"].to_numpy(), "logP": test_measured,
                         "Bootstrap estimate": test_measured + rng.normal(0, 0.12, len(test_measured))},
                        index=pd.Index(test_examples["ID"], name="ID"))
    return train, test


def campaign_options(args, folder, verbose):
    counts = best_counts(args.trainings)
    actions = ["train", "test", "loo"] + (["bootstrap"] if args.bootstrap_columns else [])
    return types.SimpleNamespace(
        root="demo_model", propertyName="logP", propertyunit="", savedir=folder,
        targetfolder=folder, outfile=sys.stdout if verbose else io.StringIO(),
        indirectoutput=True, copytxtcsv=True, copyexcel=True,
        loomaxrec=args.loo_trainings, leveragethreshold=0.5,
        multimaxrec=counts, maxrec=counts[0], verbosexls=args.verbosity,
        source=os.path.join(folder, "demo_data.csv"), datarange="A1:D%d" % (args.examples + 1),
        datafields="ID,x1,x2,logP", test="", testrange="", testfields="",
        epochs=200, initcount=args.trainings, inputcount=2, seed=args.seed, initstddev=0.3,
        roundthreshold=1e-6, looleveragethreshold=0.95, orderfield="rmse",
        bootstraporderfield="rmse", looorderfield="vloo", caller=0, actionlist=actions,
        bootstrapcount=args.bootstrap_columns, bootstrapinitcount=5, bootstrapinittype=0,
        bootstrapepochs=100, bootstraptype=1, looinitcount=5, looinittype=0, looepochs=100,
        datacount=args.examples, testcount=args.test_examples, paramCount=13)


def claimed_file(wanted, write):
    """The path of a file written by ``write(path)``: the first free name
    IndexFilename finds for ``wanted`` ("name(2).ext" when taken), claimed by
    a hard link once the file is complete, so that demo runs started side by
    side into one folder each keep their own files and none is replaced."""
    from vireo.trellis import reportbook

    base, ext = os.path.splitext(os.path.basename(wanted))
    handle, temp = tempfile.mkstemp(prefix="." + base + ".", suffix=ext,
                                    dir=os.path.dirname(wanted) or ".")
    os.close(handle)
    try:
        write(temp)
        os.chmod(temp, 0o644)
        for _ in range(100):
            name = reportbook.IndexFilename(wanted)
            try:
                os.link(temp, name)
                return name
            except FileExistsError:
                continue  # another run took it first
        raise FileExistsError("no free name for %s" % wanted)
    finally:
        os.unlink(temp)


def write_model_file(path):
    with open(path, "w") as handle:
        handle.write("demo model\n")


def write_result_workbook(args, folder, rng, progress):
    from vireo.trellis import reportbook

    options = campaign_options(args, folder, args.verbose > 0)
    paramcount = options.paramCount
    properties = reportbook.getCustomDict(options)
    model_file = claimed_file(os.path.join(folder, "demo_model.nnx"), write_model_file)
    properties["Model file"] = (model_file, "text")

    examples = examples_frame(rng, args.examples, 2, "m")
    test_examples = examples_frame(rng, args.test_examples, 3, "t")
    train, result, ranking, noise = training_frames(rng, examples, args.trainings, paramcount)
    test = test_frame(rng, test_examples, options.multimaxrec, ranking, noise,
                      args.further_models, options.leveragethreshold)
    loo_train, loo_test = loo_frames(rng, examples, test_examples, args.loo_trainings,
                                     args.verbosity)
    bs_train = bs_test = None
    if args.bootstrap_columns:
        bs_train, bs_test = bootstrap_frames(rng, examples, test_examples, args.bootstrap_columns)
    progress("campaign data ready: %s, %s"
             % (counted(args.examples, "example"), counted(args.trainings, "training")))

    frames = [result, train, test, loo_train, loo_test, bs_train, bs_test]
    written = [f for f in frames if f is not None]
    # A temporary path of this run's own: campaigns started side by side into
    # one folder must never share one.
    handle, tempres = tempfile.mkstemp(prefix=".demo_model.", suffix=".tmp.xlsx", dir=folder)
    os.close(handle)
    writer = pd.ExcelWriter(tempres, engine="xlsxwriter")
    # The result and bootstrap Frames keep their index (training number, example ID).
    for frame, name, index in zip(frames, SHEETS, (True, False, False, False, False, True, True)):
        if frame is None:
            continue
        frame.to_excel(writer, sheet_name=name, index=index)
        progress.detail("sheet %r written: %s, %s" % (name, counted(frame.shape[0], "row"),
                                                      counted(frame.shape[1], "column")))
    progress("result Frames written through pandas (%s)" % counted(cell_count(written), "cell"))

    modeldic = {"hidden": 3, "paramCount": paramcount, "config": "3 hidden, tanh",
                "mark": "demo", "modelCount": 1}
    with module_messages(args.verbose):
        excelresult = reportbook.finishExcel(
            writer, options, properties, SHEETS, frames, modeldic, None, ranking[:1],
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
    summary = []
    for h in hidden:
        result = training_frames(rng, examples_frame(rng, 30, 2, "m"), 6, 4 * h + 1)[1]
        summary.append((h, result, None))

    def write(temp):
        writer = pd.ExcelWriter(temp, engine="xlsxwriter")
        recap.to_excel(writer, sheet_name="Recap")
        for h, result, _ in summary:
            result.to_excel(writer, sheet_name="Hidden %d" % h)
        reportbook.enrichRecapExcelFile(writer, options, recapname="Recap", recapframe=recap,
                                        nametemplate="Hidden %d", sumaryframelist=summary)
        writer.close()

    path = claimed_file(os.path.join(folder, "demo_recap.xlsx"), write)
    progress("recap workbook finished")
    return path


def write_preproc_workbook(args, folder, rng, progress):
    from vireo.trellis import reportbook

    data = pd.DataFrame(rng.normal(0, 1, (args.examples, 4)), columns=["x1", "x2", "x3", "logP"])

    def write(temp):
        writer = pd.ExcelWriter(temp, engine="xlsxwriter")
        data.to_excel(writer, sheet_name="Data")
        with module_messages(args.verbose):
            reportbook.enrichExcelPreproc(writer, "Data", temp)
        writer.close()

    path = claimed_file(os.path.join(folder, "demo_preproc.xlsx"), write)
    progress("pre-processing workbook finished")
    return path


def read_back(excelresult, recap, preproc, model_file, progress):
    """What the reader finds in the three workbooks."""
    from vireo.trellis.datareader import tablemine

    found: dict[str, Any] = {}
    found["properties"] = tablemine.getcustomproperties(excelresult, "Utilities")
    found["results"] = tablemine.getFrameFromExcel(excelresult, SHEETS[0], reduce=True)
    found["training"] = tablemine.getFrameFromExcel(excelresult, SHEETS[1], reduce=True)
    found["workbook"] = tablemine.searchExcelFile(model_file)
    progress("result workbook read back")
    found["recap"] = tablemine.getFrameFromExcel(recap, "Recap")
    with pd.ExcelFile(recap, engine="openpyxl") as book:
        found["recap sheets"] = [name for name in book.sheet_names if name != "Recap"]
    progress("recap workbook read back")
    found["preproc"] = tablemine.getFrameFromExcel(preproc, "Data")
    progress("pre-processing workbook read back")
    return found


def report(folder, excelresult, recap, preproc, found):
    props, results = found["properties"], found["results"]
    recap_rows, recap_columns = found["recap"].shape
    print("Result workbook:         %s" % excelresult)
    print("Recap workbook:          %s" % recap)
    print("Pre-processing workbook: %s" % preproc)
    print("Information file:        %s" % os.path.join(folder, "traininfo.txt"))
    print("Custom properties read back: %d (Model file: %s)" % (len(props), props.get("Model file")))
    print("Result sheet read back: %s, best RMSE %.4f (training %s)"
          % (counted(len(results), "training"), results["RMSE"].min(), results["RMSE"].idxmin()))
    print("Training sheet read back: %s (score rows trimmed), %s"
          % (counted(found["training"].shape[0], "example"),
             counted(found["training"].shape[1], "column")))
    print("Recap sheet read back: %s over %s (%s)"
          % (counted(recap_rows, "score row"), counted(recap_columns - 1, "architecture"),
             ", ".join(found["recap sheets"])))
    print("Pre-processing sheet read back: %s, %s"
          % (counted(found["preproc"].shape[0], "row"), counted(found["preproc"].shape[1], "column")))
    print("Workbook that names the model file: %s" % (found["workbook"] or "(none found)"))


def build_parser():
    parser = argparse.ArgumentParser(prog="trellis-demo", description=__doc__.splitlines()[0])
    parser.add_argument("--version", action="version", version="%(prog)s " + __version__)
    parser.add_argument("--out", default=None,
                        help="output folder, created if needed (default: a new temporary folder)")
    parser.add_argument("--examples", type=int, default=60,
                        help="training examples, at least 2 (default: %(default)s)")
    parser.add_argument("--trainings", type=int, default=5,
                        help="trainings of the campaign; the test sheet averages the 3 and 5 best "
                             "where there are that many, else all (default: %(default)s)")
    parser.add_argument("--test-examples", type=int, default=25,
                        help="test examples (default: %(default)s)")
    parser.add_argument("--further-models", type=int, default=3,
                        help="trainings shown one by one on the test sheet, best first, at most "
                             "--trainings (default: %(default)s)")
    parser.add_argument("--loo-trainings", type=int, default=4,
                        help="individual LOO trainings (default: %(default)s)")
    parser.add_argument("--bootstrap-columns", type=int, default=8,
                        help="individual bootstrap columns; 0 leaves the bootstrap sheets out "
                             "(default: %(default)s)")
    parser.add_argument("--seed", type=int, default=7,
                        help="random seed, 0 or more (default: %(default)s)")
    parser.add_argument("--verbosity", type=int, default=2,
                        help="verbosity of the test and LOO sheets: above 1 they show every "
                             "model, the highlights and the individual LOO trainings "
                             "(default: %(default)s)")
    parser.add_argument("-v", "--verbose", action="count", default=1,
                        help="more messages: -vv reports each sheet and where the writer looked "
                             "for a VBA project")
    parser.add_argument("-q", "--quiet", action="store_true", help="no progress lines")
    return parser


def check_args(parser, args):
    """Every impossible campaign ends here, with parser.error (one line, exit status 2)."""
    minimum = {"examples": 2,  # a correlation needs two examples
               "trainings": 1, "test_examples": 1, "further_models": 0, "loo_trainings": 0,
               "bootstrap_columns": 0, "seed": 0}
    for name, least in minimum.items():
        if getattr(args, name) < least:
            parser.error("--%s must be at least %d" % (name.replace("_", "-"), least))
    if args.further_models > args.trainings:
        parser.error("--further-models must not exceed --trainings (%d)" % args.trainings)
    if args.verbosity > 1 and args.trainings == 1 and args.further_models < 1:
        # With the one training as the selection, the test chart plots the
        # first further model.
        parser.error("--further-models must be at least 1 with --trainings 1 and --verbosity "
                     "above 1")
    if args.out is not None and os.path.exists(args.out) and not os.path.isdir(args.out):
        parser.error("--out %s is not a folder" % args.out)
    if args.quiet:
        args.verbose = 0
    return args


def output_folder(parser, out):
    if out is None:
        return tempfile.mkdtemp(prefix="trellis-demo-")
    folder = os.path.abspath(out)
    try:
        os.makedirs(folder, exist_ok=True)
    except OSError as error:
        parser.error("--out %s cannot be created: %s" % (out, error.strerror or error))
    return folder


def main(argv=None):
    parser = build_parser()
    args = check_args(parser, parser.parse_args(argv))
    folder = output_folder(parser, args.out)
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
