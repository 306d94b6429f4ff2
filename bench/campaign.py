"""The large campaign the benchmarks write, built with the demo's generators."""
import io
import os
import types

import numpy as np
import pandas as pd

from vireo.trellis import demo

# About 5,000 training examples with 50 trainings, 2,000 test examples with 3
# selected and 20 further models at verbosity 2, 5,000 LOO rows with 20 LOO
# trainings, 5,000 bootstrap rows with 100 bootstrap columns, 50 result rows.
LARGE = dict(examples=5000, trainings=50, test_examples=2000, selected=[3, 5, 10],
             further_models=20, loo_examples=5000, loo_trainings=20, bootstrap_examples=5000,
             bootstrap_columns=100, verbosity=2, seed=3)


def options(folder, size):
    args = types.SimpleNamespace(
        examples=size["examples"], trainings=size["trainings"],
        test_examples=size["test_examples"], loo_trainings=size["loo_trainings"],
        bootstrap_columns=size["bootstrap_columns"], seed=size["seed"],
        verbosity=size["verbosity"])
    opts = demo.campaign_options(args, folder, False)
    opts.outfile = io.StringIO()
    opts.multimaxrec = list(size["selected"])
    opts.maxrec = opts.multimaxrec[0]
    opts.copytxtcsv = False
    return opts


def frames(size):
    """The seven result Frames, in the toolkit's sheet order."""
    rng = np.random.default_rng(size["seed"])
    examples = demo.examples_frame(rng, size["examples"], 2, "m")
    test_examples = demo.examples_frame(rng, size["test_examples"], 3, "t")
    train, result, ranking, noise = demo.training_frames(rng, examples, size["trainings"], 13)
    test = demo.test_frame(rng, test_examples, size["selected"], ranking, noise,
                           size["further_models"], 0.5)
    loo_train, loo_test = demo.loo_frames(rng, demo.examples_frame(rng, size["loo_examples"], 2, "m"),
                                          test_examples, size["loo_trainings"], size["verbosity"])
    bs_train, bs_test = demo.bootstrap_frames(
        rng, demo.examples_frame(rng, size["bootstrap_examples"], 2, "m"), test_examples,
        size["bootstrap_columns"])
    return [result, train, test, loo_train, loo_test, bs_train, bs_test]


def write_frames(writer, frames):
    """Write the Frames as the toolkit does (the result and bootstrap Frames with their index)."""
    for frame, name, index in zip(frames, demo.SHEETS, (True, False, False, False, False, True, True)):
        frame.to_excel(writer, sheet_name=name, index=index)


def open_writer(path):
    return pd.ExcelWriter(path, engine="xlsxwriter")


def cell_count(frames):
    return int(sum(f.shape[0] * (f.shape[1] + 1) for f in frames))


def finish(writer, opts, frames, tempres):
    from vireo.trellis import reportbook

    props = reportbook.getCustomDict(opts)
    props["Model file"] = (os.path.join(opts.targetfolder, "bench_model.nnx"), "text")
    modeldic = {"hidden": 3, "paramCount": 13, "config": "3 hidden, tanh", "mark": "bench",
                "modelCount": 1}
    best = int(frames[0]["RMSE"].idxmin())  # the training Frame's first group
    return reportbook.finishExcel(
        writer, opts, props, demo.SHEETS, frames, modeldic, None, [best],
        demo.TRAIN_RESULT_COLUMN, demo.TEST_RESULT_COLUMN, demo.LOO_RESULT_COLUMN, 1, "",
        tempres)
