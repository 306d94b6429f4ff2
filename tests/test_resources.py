"""Workbook naming, VBA project lookup, custom properties and the information file."""
import math
import os
from collections import OrderedDict

import pytest

from helpers.writer_input import make_options
from vireo.trellis import reportbook as rb

LOO = ["Looinitcount", "Looittype", "Looepochs", "Loomaxrec", "LOO Sort field"]
BOOTSTRAP = ["Bootstrapcount", "Bootstrapinitcount", "Bootstrapinittype", "Bootstrapepochs",
             "Bootstraptype", "Bootstrap Sort field"]


@pytest.mark.parametrize("forcename, ext, name", [
    ("", None, "model(3).xlsm"), (None, ".xlsx", "model(3).xlsx"),
    ("best", None, "model_best_(3).xlsm")])
def test_excel_file_name(tmp_path, forcename, ext, name):
    options = make_options(tmp_path, fileindex=3)
    extra = {"ext": ext} if ext else {}
    name_given = rb.getExcelFileName(options, forcename, **extra)
    assert name_given == os.path.join(options.targetfolder, name)


def test_vba_lookup(tmp_path, monkeypatch, capsys):
    home, local = tmp_path / "home", tmp_path / "work" / "bin"
    local.mkdir(parents=True)
    home.mkdir()
    (local / "vbaProject.bin").write_bytes(b"vba")
    monkeypatch.setattr(rb, "home", str(home))
    monkeypatch.chdir(tmp_path)
    assert rb.getVbaProjectBin("work") == str(local / "vbaProject.bin")  # made absolute
    (home / "bin").mkdir()
    (home / "bin" / "vbaProject.bin").write_bytes(b"vba")
    assert rb.getVbaProjectBin(targetfolder="work") == str(home / "bin" / "vbaProject.bin")
    monkeypatch.setattr(rb, "VBA_USE", 0)
    assert rb.getVbaProjectBin("work") == ""
    assert capsys.readouterr().out == ""


def test_vba_lookup_reports_every_candidate(tmp_path, monkeypatch, capsys):
    monkeypatch.setattr(rb, "home", "rel")
    monkeypatch.chdir(tmp_path)
    assert rb.getVbaProjectBin() == ""
    folders = ["rel", "rel/bin", "rel/data", "rel/bin", "rel/data", "rel", "/bin", "/data", ""]
    assert capsys.readouterr().out == "cannot find 'vbaProject.bin' among candidates:" + "".join(
        "\n\t%s/vbaProject.bin" % f for f in folders) + "\n"


def test_custom_dict_for_a_plain_training(tmp_path):
    d = rb.getCustomDict(make_options(tmp_path, externprefix="ext:", caller=2))
    assert isinstance(d, OrderedDict) and list(d) == [
        "Mark", "Source file", "Property name", "Data range", "Data fields", "Test file",
        "Test range", "Test fields", "Training epochs", "Training init count", "Hidden neurons",
        "Input count", "Parameter count", "Random seed", "Random std-dev",
        "Test selection threshold", "Best trainings", "Roundoff threshold", "Leveragethreshold",
        "Looleveragethreshold", "Sort field", "Call type"]
    assert d["Source file"] == d["Test file"] == ("ext:data/source.csv", "text")
    assert d["Hidden neurons"] == d["Parameter count"] == (-1, "number")
    assert (d["Sort field"], d["Call type"]) == (("VLOO score", "text"), ("script", "text"))


@pytest.mark.parametrize("overrides, present, absent", [
    ({"actionlist": ["lootest"]}, LOO, BOOTSTRAP),
    ({"actionlist": ["bootstrap", "train"]}, BOOTSTRAP, LOO),
    ({"multimaxrec": [3], "grouplist": "g1;g2"}, ["field groups"], ["Best counts"]),
])
def test_custom_dict_conditional_entries(tmp_path, overrides, present, absent):
    extra = dict.fromkeys(["bootstrapcount", "bootstrapinitcount", "bootstrapinittype",
                           "bootstrapepochs", "bootstraptype", "looinitcount", "looinittype",
                           "looepochs"], 5)
    d = rb.getCustomDict(make_options(tmp_path, bootstraporderfield="rmse",
                                      looorderfield="own", **extra, **overrides))
    assert all(name in d for name in present) and not any(name in d for name in absent)
    assert d.get("LOO Sort field", ("own", "text")) == ("own", "text")
    assert d.get("Bootstrap Sort field", ("RMSE", "text")) == ("RMSE", "text")


def test_custom_dict_values_needing_care(tmp_path):
    class Options(type(make_options(tmp_path))):
        @property
        def looleveragethreshold(self):
            raise ValueError("not computed")

    options = Options(**vars(make_options(tmp_path, test="t.csv", leveragethreshold=-math.inf,
                                          multimaxrec=[3, 5])))
    del options.roundthreshold
    d = rb.getCustomDict(options)
    assert d["Test file"] == ("t.csv", "text")
    assert d["Test selection threshold"] == ("infinite", "text")
    assert d["Leveragethreshold"] == (-math.inf, "number")
    assert list(d.items())[-5:] == [
        ("Best trainings", (1, "number")), ("Best counts", ("3,5", "text")),
        ("Leveragethreshold", (-math.inf, "number")), ("Sort field", ("VLOO score", "text")),
        ("Call type", ("command line", "text"))]


def test_custom_dict_reads_each_option_once(tmp_path):
    # An option may be a property that computes its value (or an object
    # whose value changes between reads): the table states one reading.
    reads = {}

    class Counting(type(make_options(tmp_path))):
        def __getattribute__(self, name):
            reads[name] = reads.get(name, 0) + 1
            return super().__getattribute__(name)

    options = Counting(**vars(make_options(tmp_path, grouplist="g", multimaxrec=[3, 5])))
    rb.getCustomDict(options)
    # externprefix is the toolkit's make_extern's, read for each path it makes.
    assert {name: n for name, n in reads.items()
            if n > 1 and not name.startswith("__") and name != "externprefix"} == {}


def test_custom_dict_works_on_the_given_mapping(tmp_path):
    given = OrderedDict([("Version", ("1.2", "text")), ("Mark", ("old", "text"))])
    options = make_options(tmp_path)
    assert rb.getCustomDict(options, given) is given
    assert list(given)[:3] == ["Version", "Mark", "Source file"] and given["Mark"] == ("", "text")
    del options.datarange
    partial = OrderedDict()
    with pytest.raises(AttributeError, match="datarange"):
        rb.getCustomDict(options, versionDict=partial)
    assert list(partial) == ["Mark", "Source file", "Property name"]


PROPS = OrderedDict([("title", "T"), ("author", "A")])


def test_info_text_and_file(tmp_path):
    target = tmp_path / "info.txt"
    custom = OrderedDict([("Mark", ("", "text")), ("Count", (3, "number")), ("N", (None, "x"))])
    text = rb.createFileInfo(str(target), PROPS, custom)
    assert text == target.read_text() == "title: T\nauthor: A\n\nMark: \nCount: 3\nN: None"
    assert rb.createFileInfo("", PROPS, OrderedDict()) == "title: T\nauthor: A\n"


@pytest.mark.parametrize("filename, custom, error", [
    ("info.txt", OrderedDict([("Mark", ())]), IndexError),
    ("missing/info.txt", OrderedDict(), FileNotFoundError)])
def test_info_file_failures(tmp_path, monkeypatch, filename, custom, error):
    monkeypatch.chdir(tmp_path)
    with pytest.raises(error):
        rb.createFileInfo(filename, PROPS, custom)
    assert not (tmp_path / "info.txt").exists()


def test_info_file_name_that_is_a_descriptor_is_refused(tmp_path):
    # open() would write to the descriptor and close it: the caller's log.
    fd = os.open(tmp_path / "log.txt", os.O_WRONLY | os.O_CREAT)
    try:
        with pytest.raises(TypeError, match="not int"):
            rb.createFileInfo(fd, PROPS, OrderedDict())
        os.fstat(fd)
    finally:
        os.close(fd)
    assert (tmp_path / "log.txt").read_text() == ""
