"""Finishing a result workbook: properties, information file, closing and final name."""
import errno
import io
import os
import stat
import warnings
import zipfile
from collections import OrderedDict

import openpyxl
import pandas as pd
import pytest

from helpers.readback import book, custom_properties, read_property_table
from helpers.writer_input import (CAMPAIGN_SHEETS, MODEL, SHEETS, campaign_frames, make_options, open_campaign,
                                  open_writer)
from vireo.trellis import reportbook as rb

# The machine may hold a real vbaProject.bin under the default folders.
pytestmark = pytest.mark.usefixtures("no_vba_project")


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
    rows, _ = read_property_table(result)
    assert rows[1:] == [("Mark", "m1"), ("Data count", 20), ("Test count", 5),
                        ("Target folder", "ext:" + str(tmp_path)), ("Hidden neurons", 3),
                        ("Parameter count", 13)]
    assert custom_properties(result)["Target folder"] == ("lpwstr", "ext:" + str(tmp_path))


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
    rows, _ = read_property_table(result)
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
    # Other processes take every free name between the lookup and the move.
    asked = []
    monkeypatch.setattr(rb, "IndexFilename",
                        lambda p: asked.append(p) or taken.write_bytes(b"mine") and str(taken))
    if link:
        monkeypatch.setattr(os, "link", link)
    options = make_options(tmp_path)
    with pytest.raises(FileExistsError) as info:
        finish(writer, tempres, options)
    assert len(asked) >= 100 and taken.read_bytes() == b"mine"
    where = info.value.__notes__[0].split(" is at ", 1)[1]
    assert openpyxl.load_workbook(where).sheetnames == ["data", "Utilities"]
    assert sorted(os.listdir(tmp_path / "out")) == ["taken.xlsx"]
    assert options.outfile.getvalue() == ""


@pytest.mark.parametrize("over, options_over, error, match", [
    ({"IDlist": []}, {}, IndexError, "IDlist is empty"),
    ({"modeldic": {"paramCount": 1}}, {}, KeyError, "hidden"),
    # read, not merely named, when neither file is asked for
    ({"modeldic": {"paramCount": 1}}, {"copytxtcsv": False, "copyexcel": False}, KeyError, "hidden"),
    ({"modeldic": {"hidden": 1}}, {}, KeyError, "paramCount"),
    ({"modeldic": {"hidden": 1, "paramCount": 1}}, {}, KeyError, "mark"),
    ({}, {"savedir": None}, AttributeError, "savedir"),
    ({}, {"multimaxrec": None}, AttributeError, "multimaxrec"),
])
def test_missing_input_keeps_its_error(tmp_path, campaign, over, options_over, error, match):
    writer, tempres = campaign
    options = make_options(tmp_path, copytxtcsv=True)
    for name, value in options_over.items():
        setattr(options, name, value) if value is not None else delattr(options, name)
    with pytest.raises(error, match=match):
        finish(writer, tempres, options, **over)
    assert tempres.exists() and not writer.book.fileclosed
    assert not (tmp_path / "out" / "traininfo.txt").exists()


@pytest.fixture
def own_campaign(tmp_path):
    """(writer, temporary path, Frames): the result, training, test and LOO sheets written."""
    (tmp_path / "tmp").mkdir()
    tempres = tmp_path / "tmp" / "res.xlsx"
    frames = campaign_frames()
    writer = open_campaign(tempres, frames)
    yield writer, tempres, frames
    if not writer.book.fileclosed:
        writer.close()


def finish_own(writer, tempres, options, props, frames, **over):
    args = dict(sheetList=CAMPAIGN_SHEETS, frameList=frames, IDlist=[2], trainresultColumn=3,
                LOOResultTrainColumn=3)
    args.update(over)
    return finish(writer, tempres, options, props, **args)


def refused(tmp_path, own_campaign, error, match, over, options_over=None, frames_over=None,
            props=None):
    """Calls finishExcel with a mistake; asserts the error names it and nothing changed."""
    writer, tempres, frames = own_campaign
    frames = list(frames)
    for i, frame in (frames_over or {}).items():
        frames[i] = frame
    options = make_options(tmp_path, copytxtcsv=True, **(options_over or {}))
    props = OrderedDict([("Model file", ("m.nnx", "text"))] + (props or []))
    props_before, model = list(props.items()), dict(MODEL)
    kept = [None if f is None else getattr(f, "copy", lambda: None)() for f in frames]
    sheets = [s.name for s in writer.book.worksheets()]
    with pytest.raises(error, match=match):
        finish_own(writer, tempres, options, props, frames, modeldic=model, **over)
    assert os.listdir(tmp_path / "out") == []
    assert not isinstance(options.outfile, io.StringIO) or options.outfile.closed or (
        options.outfile.getvalue() == "")
    assert list(props.items()) == props_before and model == MODEL
    assert not writer.book.fileclosed and tempres.stat().st_size == 0
    assert [s.name for s in writer.book.worksheets()] == sheets and writer.book.charts == []
    assert all(f is k is None or not hasattr(f, "equals") or f.equals(k)
               for f, k in zip(frames, kept))


@pytest.mark.parametrize("over, options_over, frames_over, props, match", [
    ({}, {"multimaxrec": 3}, {}, [], r"options\.multimaxrec must be a list.*int 3"),
    ({"IDlist": 3}, {}, {}, [], r"IDlist must be a list.*int 3"),
    ({}, {}, {}, [("Epochs", 100)], r"gmCustomProperties\['Epochs'\] must be a \(value, tag\) pair"),
    # the information file alone reads the pairs too
    ({}, {"copyexcel": False}, {}, [("Epochs", 100)], r"gmCustomProperties\['Epochs'\] must be a"),
    ({}, {}, {}, [("Epochs", ("100", "number"))], r"gmCustomProperties\['Epochs'\]\[0\] must be a number"),
    ({}, {"verbosexls": "2"}, {}, [], r"options\.verbosexls must be a number.*str '2'"),
    ({}, {"leveragethreshold": "0.5"}, {}, [], r"options\.leveragethreshold must be a number"),
    ({}, {"datacount": "10"}, {}, [], r"options\.datacount must be a number"),
    ({"trainresultColumn": 3.0}, {}, {}, [], r"trainresultColumn must be an integer.*float 3\.0"),
    ({"frameList": None}, {}, {}, [], r"frameList: cannot unpack non-iterable NoneType"),
    ({"modeldic": [("hidden", 3)]}, {}, {}, [], r"modeldic must be a mapping"),
    ({"gmCustomProperties": [("Mark", ("", "text"))]}, {}, {}, [], r"gmCustomProperties must be a mapping"),
    ({"sheetList": CAMPAIGN_SHEETS[:2] + [3] + CAMPAIGN_SHEETS[3:]}, {}, {}, [], r"sheetList\[2\] must be the name"),
    ({}, {}, {1: None}, [], r"frameList\[1\] must be the Frame written on the training sheet 'Training'"),
    ({}, {}, {3: [[1.0, 2.0]]}, [], r"frameList\[3\] must be a pandas DataFrame"),
    # XlsxWriter would fail on it once the information file is written
    ({}, {}, {}, [(42, ("x", "text"))], r"gmCustomProperties key 42 must be a text"),
    ({}, {"outfile": None}, {}, [], r"options\.outfile must be a text stream.*NoneType None"),
    ({}, {}, {0: "text scores"}, [],
     r"result Frame's column 'VLOO' \(frameList\[0\], sheet column C\) must hold "
     r"numbers.*row 2 holds str '0.14'"),
])
def test_a_value_of_the_wrong_kind_is_refused_before_anything_changes(
        tmp_path, own_campaign, over, options_over, frames_over, props, match):
    if frames_over.get(0) == "text scores":
        result = own_campaign[2][0].astype(object)
        result.iloc[1, 1] = "0.14"
        frames_over = {0: result}
    if "modeldic" in over or "gmCustomProperties" in over:
        writer, tempres, frames = own_campaign
        with pytest.raises(TypeError, match=match):
            finish_own(writer, tempres, make_options(tmp_path), OrderedDict(), frames, **over)
        assert os.listdir(tmp_path / "out") == [] and not writer.book.fileclosed
        return
    refused(tmp_path, own_campaign, TypeError, match, over, options_over, frames_over, props)


@pytest.mark.parametrize("over, options_over, frames_over, match", [
    # the averages would land on column C and refer to themselves (=$C$2 in C2)
    ({}, {}, {0: "RMSE only"}, r"result Frame \(frameList\[0\]\) has 1 column"),
    # column numbers counted from 1: the last training's columns lie past the sheet
    ({"trainresultColumn": 4}, {}, {}, r"no data in column Q \(16\).*trainresultColumn 4"),
    ({"testresultColumn": 12}, {}, {}, r"testresultColumn 12 lies outside the test Frame"),
    ({"LOOResultTrainColumn": 6}, {}, {}, r"'LOO CV' has no data in column G \(6\).*LOOResultTrainColumn 6"),
    # two selected models, but the test sheet has no further model to plot
    ({}, {"multimaxrec": [1, 3], "verbosexls": 2}, {}, r"no data in column L \(11\).*test chart"),
    ({}, {"savedir": ""}, {}, r"options\.savedir is empty.*training sheet 'Training'"),
    ({"sheetList": CAMPAIGN_SHEETS[:6]}, {}, {}, r"sheetList: not enough values to unpack \(expected 7, got 6\)"),
    ({"frameList": [None] * 8}, {}, {}, r"frameList: too many values to unpack"),
    ({}, {}, {"sheet": "test result CHART(1)"},
     r"already has a sheet 'test result CHART\(1\)', the name of the chartsheet of the test sheet"),
    ({}, {"outfile": "closed"}, {}, r"options\.outfile is closed"),
    # an empty measured column has no least and greatest value for the chart bounds
    ({}, {}, {1: "no rows"}, r"training Frame \(frameList\[1\]\) has no rows"),
    ({}, {}, {2: "no rows"}, r"test Frame \(frameList\[2\]\) has no rows"),
    ({}, {}, {3: "no rows"}, r"LOO training Frame \(frameList\[3\]\) has no rows"),
    # the layout counts columns by position
    ({}, {}, {1: "two header levels"}, r"training Frame \(frameList\[1\]\) has MultiIndex columns of 2 levels.*reset the index"),
    ({}, {}, {0: "two index levels"}, r"result Frame \(frameList\[0\]\) has a MultiIndex of 2 levels.*reset the index"),
])
def test_an_impossible_layout_is_refused_before_anything_changes(
        tmp_path, own_campaign, over, options_over, frames_over, match):
    if frames_over.get(0) == "RMSE only":
        writer, tempres, frames = own_campaign
        frames_over = {0: frames[0][["RMSE"]]}
        writer.close()
        writer = open_campaign(tempres, [frames_over[0]] + frames[1:])
        own_campaign = writer, tempres, frames
    if options_over.get("outfile") == "closed":
        options_over = {"outfile": io.StringIO()}
        options_over["outfile"].close()
    frames = own_campaign[2]
    for i, change in list(frames_over.items()):
        if not isinstance(change, str):
            continue
        if change == "no rows":
            frames_over[i] = frames[i].iloc[:0]
        elif change == "two header levels":
            frames_over[i] = frames[i].set_axis(
                pd.MultiIndex.from_tuples([("g", c) for c in frames[i].columns]), axis=1)
        elif change == "two index levels":
            frames_over[i] = frames[i].set_index(
                pd.MultiIndex.from_arrays([frames[i].index, frames[i].index]))
    if "sheet" in frames_over:  # one of the modeller's sheets is named like a chartsheet
        pd.DataFrame({"x": [1]}).to_excel(own_campaign[0], sheet_name=frames_over.pop("sheet"))
    refused(tmp_path, own_campaign, ValueError, match, over, options_over, frames_over)


def test_finishing_a_writer_twice_is_refused(tmp_path, own_campaign):
    writer, tempres, frames = own_campaign
    options = make_options(tmp_path)
    first = finish_own(writer, tempres, options, OrderedDict(), frames)
    props = OrderedDict()
    with pytest.raises(ValueError, match="excelwriter holds a workbook that is already closed"):
        finish_own(writer, tempres, options, props, frames)
    assert os.listdir(tmp_path / "out") == ["model.xlsx"] and props == OrderedDict()
    assert book(first).sheetnames[:4] == CAMPAIGN_SHEETS[:4]


@pytest.mark.parametrize("names, frames_over, match, finished", [
    (CAMPAIGN_SHEETS[:1] + ["Train"] + CAMPAIGN_SHEETS[2:], {},
     r"sheetList\[1\] 'Train' names no sheet of the writer: the training Frame \(frameList\[1\]\) "
     r"is left unfinished.*'Results', 'Training', 'Test', 'LOO CV'", ["Test result chart(1)"]),
    (CAMPAIGN_SHEETS, {4: pd.DataFrame({"ID": [1], "loo": [2.0]})},
     r"sheetList\[4\] 'LOO test' names no sheet.*frameList\[4\]",
     ["Training #2 chart", "VLOO #2 chart", "Test result chart(1)"]),
])
def test_a_frame_without_its_sheet_is_warned_of(tmp_path, own_campaign, names, frames_over, match,
                                                finished):
    writer, tempres, frames = own_campaign
    frames = [frames_over.get(i, f) for i, f in enumerate(frames)]
    with pytest.warns(UserWarning, match=match):
        result = finish(writer, tempres, make_options(tmp_path), OrderedDict(), sheetList=names,
                        frameList=frames, IDlist=[2], trainresultColumn=3, LOOResultTrainColumn=3)
    charts = book(result).sheetnames[5:]
    assert charts[:len(finished)] == finished


def test_own_campaign_finishes_without_a_word(tmp_path, own_campaign, recwarn):
    writer, tempres, frames = own_campaign
    result = finish_own(writer, tempres, make_options(tmp_path), OrderedDict(), frames)
    assert [str(w.message) for w in recwarn] == []
    assert book(result).sheetnames == CAMPAIGN_SHEETS[:4] + [
        "Utilities", "Training #2 chart", "VLOO #2 chart", "Test result chart(1)", "LOO CV chart"]
    assert custom_properties(result)["Hidden neurons"] == ("r8", "3")


def test_a_nan_threshold_is_warned_of(tmp_path, own_campaign):
    writer, tempres, frames = own_campaign
    options = make_options(tmp_path, leveragethreshold=float("nan"))
    with pytest.warns(UserWarning, match=r"options\.leveragethreshold is NaN: no leverage"):
        finish_own(writer, tempres, options, OrderedDict(), frames)


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
