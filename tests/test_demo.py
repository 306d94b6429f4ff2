"""The trellis-demo console script: its workbooks, what it reports, its options."""
import os
import re

import openpyxl
import pytest

from vireo.trellis import demo

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


@pytest.mark.parametrize("option, value", [("--examples", "0"), ("--examples", "1"),
                                           ("--trainings", "0"), ("--test-examples", "0"),
                                           ("--further-models", "-1"),
                                           ("--bootstrap-columns", "-2")])
def test_impossible_campaigns_are_refused(tmp_path, capsys, option, value):
    with pytest.raises(SystemExit) as exit_info:
        demo.main(["--out", str(tmp_path), option, value])
    assert exit_info.value.code == 2
    assert option in capsys.readouterr().err
    assert os.listdir(str(tmp_path)) == []
