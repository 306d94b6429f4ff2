"""The trellis-demo console script: its workbooks, what it reports, its options; and
the example a modeller starts from."""
import importlib.metadata
import os
import re
import subprocess
import sys

import openpyxl
import pytest

from helpers.charts import chart_with, refs
from helpers.limits import seconds
from helpers.readback import hidden_columns
from vireo.trellis import demo
from vireo.trellis.datareader import tablemine

EXAMPLE = os.path.join(os.path.dirname(__file__), os.pardir, "examples", "finish_campaign.py")

SMALL = ["--examples", "12", "--trainings", "3", "--test-examples", "6", "--further-models", "1",
         "--loo-trainings", "2", "--bootstrap-columns", "2"]


def reported(out):
    """{label: text} of the report lines ("Label: text") the demo ends with."""
    lines = [line for line in out.splitlines() if not line.startswith("[")]
    return dict(re.match(r"([^:]+):\s+(.*)", line).groups() for line in lines if ":" in line)


def test_demo_writes_and_reads_back_every_workbook(tmp_path, capsys):
    assert demo.main(["--out", str(tmp_path)] + SMALL) == 0
    out = capsys.readouterr().out
    report = reported(out)
    for label in ("Result workbook", "Recap workbook", "Pre-processing workbook",
                  "Information file"):
        assert os.path.isfile(report[label]), label
        assert os.path.dirname(report[label]) == str(tmp_path)
    assert report["Workbook that names the model file"] == report["Result workbook"]
    assert report["Result sheet read back"].startswith("3 trainings")
    assert report["Training sheet read back"].startswith("12 examples")
    assert report["Pre-processing sheet read back"] == "12 rows, 4 columns"
    # One progress line per stage, each with its time.
    stages = [line for line in out.splitlines() if line.startswith("[")]
    assert len(stages) >= 7 and all(re.match(r"\[ *\d+\.\d\d s\] ", s) for s in stages)
    # Where the writer looked for a VBA project is shown only with -vv.
    assert "vbaProject.bin" not in out
    book = openpyxl.load_workbook(report["Result workbook"])
    assert book.sheetnames[:7] == demo.SHEETS and "Utilities" in book.sheetnames


def test_quiet_demo_prints_only_the_report(tmp_path, capsys):
    assert demo.main(["--out", str(tmp_path), "-q"] + SMALL) == 0
    out = capsys.readouterr().out
    assert not [line for line in out.splitlines() if line.startswith("[")]
    assert "results in folder" not in out and "Writing results" not in out
    assert "Result workbook" in out


def test_large_campaigns_report_each_sheet(tmp_path, capsys):
    assert demo.main(["--out", str(tmp_path), "-vv"] + SMALL) == 0
    out = capsys.readouterr().out
    for name in demo.SHEETS:
        assert "sheet %r written" % name in out


@pytest.mark.parametrize("args, more", [
    (SMALL + ["--seed", "5"], []),
    (SMALL + ["--trainings", "6", "--verbosity", "1"], []),
    (SMALL + ["--trainings", "1", "--bootstrap-columns", "0"], ["Bootstrap training", "Bootstrap test"]),
])
def test_demo_campaign_reads_as_a_modeller_expects(tmp_path, capsys, args, more):
    """Best training first and charted under its number, one count of best models for
    the test chart and its name, measured values in view on every sheet."""
    assert demo.main(["--out", str(tmp_path)] + args) == 0
    out = capsys.readouterr().out
    path = reported(out)["Result workbook"]
    book = openpyxl.load_workbook(path)
    assert [name for name in demo.SHEETS if name not in book.sheetnames] == more
    rmse = {row[0].value: row[1].value for row in book["Results"].iter_rows(min_row=2)}
    best = min(rmse, key=rmse.get)
    trainings = len(rmse)
    assert "%d training%s," % (trainings, "" if trainings == 1 else "s") in out

    train = book["Training"]
    assert [c.value for c in train[1]][3:5] == ["logP", "Estimated %d" % best]
    pairs = [(r[3].value, r[4].value) for r in train.iter_rows(min_row=2, max_row=train.max_row)
             if isinstance(r[4].value, float)]
    assert (sum((e - m) ** 2 for m, e in pairs) / len(pairs)) ** 0.5 == pytest.approx(rmse[best])
    assert "Training #%d chart" % best in book.sheetnames
    assert refs(chart_with(path, ">logP for Training #%d<" % best))[1].startswith("Training!$E$2:")

    utilities = {r[1].value: r[2].value for r in book["Utilities"].iter_rows(min_row=3)}
    maxrec = utilities["Best trainings"]
    assert "Test result chart(%d)" % maxrec in book.sheetnames
    test = [c.value for c in book["Test"][1]]
    plotted = refs(chart_with(path, "logP Test"))[1]
    column = openpyxl.utils.column_index_from_string(plotted.split("$")[1]) - 1
    verbose = "--verbosity" not in args
    assert test[column] == ("Training %d" % best if maxrec == 1 and verbose
                            else "Estimated (%d best)" % maxrec)
    assert test[test.index("logP") + 1] == "Estimated (%d best)" % maxrec

    for name in demo.SHEETS[1:7 - len(more)]:  # every data sheet after the result sheet
        header = [c.value for c in book[name][1]]
        assert header.index("logP") not in hidden_columns(book[name]), name
    assert ("Bootstrapcount" in utilities) == (not more)


def test_help_shows_every_default(capsys):
    with pytest.raises(SystemExit) as exit_info:
        demo.main(["--help"])
    assert exit_info.value.code == 0
    out = capsys.readouterr().out
    body = " ".join(out[out.index("-h, --help"):].split())
    defaults = vars(demo.build_parser().parse_args([]))
    for name, value in defaults.items():
        if isinstance(value, int) and not isinstance(value, bool) and name != "verbose":
            option = "--" + name.replace("_", "-")
            assert re.search(r"%s %s [^(]*\(default: %d\)" % (option, name.upper(), value), body), option


def test_demo_runs_as_a_module_and_leaves_no_file_open(tmp_path):
    """`python -X dev -m ...`, as a developer would run it: no ResourceWarning (an
    unclosed file prints one at exit, without failing the run)."""
    def run(*argv):
        out = subprocess.run([sys.executable, "-X", "dev"] + list(argv), cwd=str(tmp_path),
                             capture_output=True, text=True, timeout=seconds(300))
        assert out.returncode == 0 and "Warning" not in out.stderr, out.stderr
        return out.stdout

    run("-m", "vireo.trellis.demo", "-q", "--out", str(tmp_path / "out"), *SMALL)
    assert run("-m", "vireo.trellis.demo", "--version") == \
        "trellis-demo %s\n" % importlib.metadata.version("vireo-trellis")
    # the package itself shows the entry points' help
    shown = run("-m", "vireo.trellis")
    assert "usage: python -m vireo.trellis.demo" in shown and "usage: python -m vireo.trellis.readtool" in shown


@pytest.mark.parametrize("args, option", [
    (["--examples", "0"], "--examples"), (["--examples", "1"], "--examples"),
    (["--trainings", "0"], "--trainings"), (["--test-examples", "0"], "--test-examples"),
    (["--further-models", "-1"], "--further-models"),
    (["--bootstrap-columns", "-2"], "--bootstrap-columns"),
    (["--seed", "-1"], "--seed"),
    (["--trainings", "2", "--further-models", "3"], "--further-models"),
    (["--trainings", "1", "--further-models", "0"], "--further-models"),
    (["--out", "a-file"], "--out"),
])
def test_impossible_campaigns_are_refused(tmp_path, capsys, monkeypatch, args, option):
    (tmp_path / "a-file").write_text("not a folder")
    monkeypatch.chdir(tmp_path)
    with pytest.raises(SystemExit) as exit_info:
        demo.main(["--out", str(tmp_path / "out")] + args)
    assert exit_info.value.code == 2
    err = capsys.readouterr().err
    assert err.splitlines()[-1].startswith("trellis-demo: error: " + option)
    assert "Traceback" not in err
    assert os.listdir(str(tmp_path)) == ["a-file"]


def test_example_finishes_a_campaign_of_its_own(tmp_path):
    """examples/finish_campaign.py, run as a modeller runs it, from a folder of their own."""
    run = subprocess.run([sys.executable, os.path.abspath(EXAMPLE), str(tmp_path / "out")],
                         cwd=str(tmp_path), stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                         universal_newlines=True, timeout=seconds(300))
    assert run.returncode == 0, run.stderr
    path = run.stdout.splitlines()[-1]
    assert os.path.dirname(path) == str(tmp_path / "out") and path.endswith("example.xlsx")
    assert "Writing results in file: %s" % path in run.stdout
    assert sorted(os.listdir(str(tmp_path / "out"))) == ["example.xlsx"]  # the temporary file moved
    book = openpyxl.load_workbook(path)
    assert (book.properties.title, book.properties.creator) == ("Example campaign", "A. Modeller")
    assert book.sheetnames == ["Results", "Training", "Utilities", "Training #1 chart",
                               "VLOO #1 chart"]
    props = tablemine.getcustomproperties(path, "Utilities")
    assert (props["Property name"], props["Hidden neurons"], props["Mark"]) == ("logP", 2, "example")
    # measured against estimated: the columns and rows the example wrote
    assert refs(chart_with(path, ">logP for Training #1<"))[:2] == ["Training!$C$2:$C$21",
                                                                    "Training!$D$2:$D$21"]
