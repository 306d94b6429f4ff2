"""Finishing a result workbook: properties, information file, closing and final name."""
import errno
import os
import stat
import warnings
import zipfile
from collections import OrderedDict

import openpyxl
import pandas as pd
import pytest

from conftest import make_options, open_writer
from test_workbook_open import custom_properties, utilities_rows
from vireo.trellis import reportbook as rb

SHEETS = ["Results", "Training", "Test", "LOO training", "LOO test", "BS training", "BS test"]
MODEL = {"hidden": 3, "paramCount": 13, "mark": "m1"}


@pytest.fixture(autouse=True)
def no_vba_project(monkeypatch, tmp_path):
    # The machine may hold a real vbaProject.bin under the default folders.
    empty = tmp_path / "no-vba-here"
    empty.mkdir()
    monkeypatch.setattr(rb, "home", str(empty))


@pytest.fixture
def campaign(tmp_path):
    """(writer, temporary path): an open writer with one data sheet, as the toolkit leaves it."""
    (tmp_path / "tmp").mkdir()
    tempres = tmp_path / "tmp" / "res.xlsx"
    writer = open_writer(tempres, {"data": pd.DataFrame({"x": [1.0, 2.0], "y": [3.0, 4.0]})})
    yield writer, tempres
    if not writer.book.fileclosed:
        writer.close()


def finish(writer, tempres, options, props=None, **over):
    props = OrderedDict() if props is None else props
    args = dict(excelwriter=writer, options=options, gmCustomProperties=props, sheetList=SHEETS,
                frameList=[None] * 7, modeldic=dict(MODEL), libfilename=None,
                IDlist=[0], trainresultColumn=1, testresultColumn=-1, LOOResultTrainColumn=3,
                loowidth=1, traintype="", tempres=str(tempres))
    args.update(over)
    return rb.finishExcel(**args)


def test_finished_workbook(tmp_path, campaign, recwarn):
    writer, tempres = campaign
    options = make_options(tmp_path, externprefix="ext:", datacount=20, testcount=5)
    props = OrderedDict([("Mark", ("", "text"))])
    result = finish(writer, tempres, options, props)

    assert result == os.path.join(options.targetfolder, "model.xlsx")
    assert options.outfile.getvalue() == "Writing results in file: ext:%s\n" % result
    assert not tempres.exists()
    assert stat.S_IMODE(os.stat(result).st_mode) == 0o666
    assert [str(w.message) for w in recwarn] == []

    book = openpyxl.load_workbook(result)
    assert book.sheetnames == ["data", "Utilities"] and book["data"]["B3"].value == 2.0
    rows, _ = utilities_rows(result)
    assert rows[1:] == [("Mark", "m1"), ("Data count", 20), ("Test count", 5),
                        ("Target folder", "ext:" + str(tmp_path)), ("Hidden neurons", 3),
                        ("Parameter count", 13)]
    assert custom_properties(result)["Target folder"] == ("lpwstr", "ext:" + str(tmp_path))
    with zipfile.ZipFile(result) as z:
        assert b'windowWidth="22350"' in z.read("xl/workbook.xml")  # 1490 px


@pytest.mark.parametrize("copytxtcsv, indirect, message", [
    (True, False, "results in folder: <container>{}\n"), (True, True, "results in folder: {}\n"),
    (False, False, "")])
def test_no_workbook_asked(tmp_path, campaign, copytxtcsv, indirect, message):
    writer, tempres = campaign
    options = make_options(tmp_path, copytxtcsv=copytxtcsv, copyexcel=False, datacount=20,
                           modelCount=1, configstrMem="cfg", indirectoutput=indirect)
    props, model = OrderedDict(), dict(MODEL)
    assert finish(writer, tempres, options, props, modeldic=model) == ""
    assert options.outfile.getvalue() == message.format(options.targetfolder)
    # The model entries go in only for the information file.
    model_entries = ["Hidden neurons", "Parameter count", "Mark"] if copytxtcsv else []
    assert list(props) == ["Data count", "Target folder"] + model_entries
    assert model["configmem"] == "cfg"
    info = tmp_path / "out" / "traininfo.txt"
    assert info.exists() == copytxtcsv
    assert not copytxtcsv or info.read_text().endswith(
        "\n\nData count: 20\nTarget folder: %s\nHidden neurons: 3\nParameter count: 13\nMark: m1"
        % tmp_path)
    assert tempres.exists() and not writer.book.fileclosed


def test_information_file_states_the_workbook_values(tmp_path, campaign):
    writer, tempres = campaign
    options = make_options(tmp_path, copytxtcsv=True)
    props = rb.getCustomDict(options)  # the model entries hold placeholders until finishing
    model = dict(MODEL, config="3 hidden, tanh", modelCount=2)
    result = finish(writer, tempres, options, props, modeldic=model)
    lines = (tmp_path / "out" / "traininfo.txt").read_text().split("\n\n", 1)[1].splitlines()
    rows, _ = utilities_rows(result)
    assert lines == ["%s: %s" % row for row in rows[1:]]
    assert {"Hidden neurons: 3", "Parameter count: 13", "Configuration string: 3 hidden, tanh",
            "Mark: m1", "Model count: 2"} <= set(lines)


@pytest.mark.parametrize("folder, root, fileindex, existing, expected", [
    ("out", "model", 2, [], "model.xlsx"),
    ("out", "model", 0, ["model.xlsx"], "model(2).xlsx"),
    ("out", "model)", 0, [], "model).xlsx"),
    ("run(3)", "model)", 0, [], "model).xlsx"),
    ("run(3)", "model", 4, [], "model.xlsx"),
])
def test_final_name(tmp_path, campaign, folder, root, fileindex, existing, expected):
    writer, tempres = campaign
    target = tmp_path / folder
    target.mkdir(exist_ok=True)
    for name in existing:
        (target / name).write_bytes(b"keep")
    options = make_options(tmp_path, targetfolder=str(target), root=root, fileindex=fileindex)
    assert finish(writer, tempres, options) == str(target / expected)
    assert [(target / name).read_bytes() for name in existing] == [b"keep"] * len(existing)
    assert zipfile.is_zipfile(target / expected)


def test_vba_project_makes_a_macro_workbook(tmp_path, campaign, monkeypatch):
    writer, tempres = campaign
    (tmp_path / "home").mkdir()
    (tmp_path / "home" / "vbaProject.bin").write_bytes(b"\xd0\xcf\x11\xe0 project")
    monkeypatch.setattr(rb, "home", str(tmp_path / "home"))
    result = finish(writer, tempres, make_options(tmp_path, fileindex=5))
    assert result == os.path.join(str(tmp_path), "out", "model.xlsm")
    with zipfile.ZipFile(result) as z:
        assert z.read("xl/vbaProject.bin") == b"\xd0\xcf\x11\xe0 project"
        assert b'codeName="ThisWorkbook"' in z.read("xl/workbook.xml")


class OldStyleWriter:
    """A writer as pandas 1.5 had it: save() warns and closes the book once more."""

    def __init__(self, inner):
        self.inner, self.calls = inner, []
        self.book, self.sheets = inner.book, inner.sheets

    def save(self):
        self.calls.append(("save", self.book.fileclosed))
        warnings.warn("save is not part of the public API, usage can give unexpected results "
                      "and will be removed in a future version", FutureWarning)
        self.book.close()

    def close(self):
        self.calls.append(("close", self.book.fileclosed))
        self.inner.close()


def test_save_branch_runs_after_the_book_closed(tmp_path, campaign, recwarn):
    writer, tempres = campaign
    old = OldStyleWriter(writer)
    result = finish(old, tempres, make_options(tmp_path))
    assert old.calls == [("save", True), ("close", True)]
    assert [str(w.message) for w in recwarn] == []
    assert openpyxl.load_workbook(result).sheetnames == ["data", "Utilities"]


def test_other_warnings_still_reach_the_caller(tmp_path, campaign):
    writer, tempres = campaign
    old = OldStyleWriter(writer)
    old.save = lambda: warnings.warn("disk nearly full", UserWarning)
    with pytest.warns(UserWarning, match="disk nearly full"):
        finish(old, tempres, make_options(tmp_path))


def refuse_link(code):
    def link(src, dst):
        raise OSError(code, os.strerror(code), src, None, dst)
    return link


@pytest.mark.parametrize("code", [errno.EXDEV, errno.EPERM])
def test_move_by_copy_where_links_fail(tmp_path, campaign, monkeypatch, code):
    writer, tempres = campaign
    monkeypatch.setattr(os, "link", refuse_link(code))
    old_mask = os.umask(0o077)
    try:
        result = finish(writer, tempres, make_options(tmp_path))
    finally:
        os.umask(old_mask)
    assert not tempres.exists()
    assert stat.S_IMODE(os.stat(result).st_mode) == 0o666
    assert openpyxl.load_workbook(result).sheetnames == ["data", "Utilities"]


@pytest.mark.parametrize("link", [None, refuse_link(errno.EXDEV)])
def test_move_never_replaces_a_file_that_appeared(tmp_path, campaign, monkeypatch, link):
    writer, tempres = campaign
    taken = tmp_path / "out" / "taken.xlsx"
    # Another process takes the free name between the lookup and the move.
    monkeypatch.setattr(rb, "IndexFilename", lambda p: taken.write_bytes(b"mine") and str(taken))
    if link:
        monkeypatch.setattr(os, "link", link)
    options = make_options(tmp_path)
    with pytest.raises(FileExistsError):
        finish(writer, tempres, options)
    assert taken.read_bytes() == b"mine"
    assert openpyxl.load_workbook(tempres).sheetnames == ["data", "Utilities"]
    assert options.outfile.getvalue() == ""


@pytest.mark.parametrize("over, error, match, info_written", [
    ({"sheetList": SHEETS[:6]}, ValueError, "not enough values to unpack", True),
    ({"frameList": None}, TypeError, "cannot unpack non-iterable NoneType", True),
    ({"frameList": [None] * 8}, ValueError, "too many values to unpack", True),
    ({"IDlist": []}, IndexError, "out of range", True),
    ({"modeldic": {"paramCount": 1}}, KeyError, "hidden", False),
    ({"modeldic": {"hidden": 1}}, KeyError, "paramCount", False),
    ({"modeldic": {"hidden": 1, "paramCount": 1}}, KeyError, "mark", False),
    ({"options": "savedir"}, AttributeError, "savedir", False),
])
def test_bad_input_keeps_what_was_written(tmp_path, campaign, over, error, match, info_written):
    writer, tempres = campaign
    options = make_options(tmp_path, copytxtcsv=True)
    over = dict(over)
    if "options" in over:
        delattr(options, over.pop("options"))
    with pytest.raises(error, match=match):
        finish(writer, tempres, options, **over)
    assert tempres.exists()
    assert (tmp_path / "out" / "traininfo.txt").exists() == info_written


def test_training_count_from_the_training_columns(tmp_path):
    # No result Frame: the trainings are counted from the training sheet's
    # groups of four columns after the measured one.
    train = pd.DataFrame([[1.0] * 9, [2.0] * 9, [3.0] * 9])
    tempres = tmp_path / "res.xlsx"
    writer = open_writer(tempres, {"Training": train})
    frames = [None, train] + [None] * 5
    result = finish(writer, tempres, make_options(tmp_path), frameList=frames)
    sheet = openpyxl.load_workbook(result)["Training"]
    assert [sheet.cell(10, c).value.startswith("=PEARSON(") for c in (3, 7)] == [True, True]
