"""Hostile and broken input: refused with the reading library's error, quickly."""
import os
import pathlib
import subprocess
import sys
import warnings
import zipfile

import numpy as np
import pytest

from vireo.trellis.datareader import tablemine as tm
from helpers.limits import seconds
from helpers.reader_files import write_result, write_sheet_data, write_xlsx


@pytest.fixture(autouse=True)
def restore_warning_filters():
    # getranges silences warnings for the whole process
    with warnings.catch_warnings():
        yield


LAUGHS = ('<!DOCTYPE lolz [<!ENTITY lol0 "lollollollollollollollollollol">'
          + "".join('<!ENTITY lol%d "%s">' % (i, ("&lol%d;" % (i - 1)) * 10) for i in range(1, 10))
          + "]>", "&lol9;")
EXTERNAL = ('<!DOCTYPE sst [<!ENTITY ext SYSTEM "file:///etc/hostname">]>', "&ext;")
# A declaration without entities: no parser of the library should meet it either.
BARE = ('<!DOCTYPE sst SYSTEM "http://127.0.0.1:9/none.dtd">', "Model file")


def plant(src, dst, part, payload):
    """Copy the workbook, with a document type declaration in one of its XML parts."""
    doctype, reference = payload
    with zipfile.ZipFile(src) as zin, zipfile.ZipFile(dst, "w") as zout:
        for item in zin.infolist():
            data = zin.read(item.filename)
            if item.filename == part:
                text = data.decode("utf-8")
                head, sep, body = text.partition("?>")
                text = head + sep + doctype + body.replace("<t>Model file</t>", "<t>%s</t>" % reference)
                data = text.encode("utf-8")
            zout.writestr(item, data)
    return str(dst)


@pytest.mark.parametrize("lxml", ["True", "False"])
@pytest.mark.parametrize("payload", [LAUGHS, EXTERNAL, BARE], ids=["laughs", "external", "bare"])
@pytest.mark.parametrize("part", ["xl/sharedStrings.xml", "xl/worksheets/sheet2.xml", "xl/workbook.xml",
                                  "xl/styles.xml", "[Content_Types].xml", "xl/_rels/workbook.xml.rels"])
def test_entity_expansion_bomb_is_refused(tmp_path, part, payload, lxml):
    good = write_result(tmp_path / "net_good.xlsx", [["Model file", "/m/net.nnx"]])
    bomb = plant(good, tmp_path / "net_r.xlsx", part, payload)
    # in a child with little memory and time, should the bomb go off; with
    # openpyxl on lxml and on the standard library alike
    code = """if True:
        import resource, sys
        resource.setrlimit(resource.RLIMIT_AS, (3 << 30, 3 << 30))
        from vireo.trellis.datareader import tablemine as tm
        path = sys.argv[1]
        calls = [lambda: tm.getFrameFromExcel(path, "Utilities"),
                 lambda: tm.getcustomproperties(path, "Utilities"),
                 lambda: tm.get_dataframe(path, sheetname="Utilities"),
                 lambda: tm.get_dataframe(path, sheetname=["Utilities"]),
                 lambda: tm.getranges(path, "xlsx")]
        for call in calls:
            try:
                call()
                print("read")
            except ValueError as exc:
                print("refused")
        print(repr(tm.searchExcelFile(sys.argv[2])))
    """
    env = dict(os.environ, OPENPYXL_LXML=lxml)
    out = subprocess.run([sys.executable, "-c", code, bomb, str(tmp_path / "x" / "net.nnx")],
                         capture_output=True, text=True, timeout=seconds(60), env=env)
    assert out.returncode == 0, out.stderr
    # getranges reads the first sheet alone: the other sheet's part is never parsed
    ranges = "read" if part == "xl/worksheets/sheet2.xml" else "refused"
    assert out.stdout.split("\n") == ["refused"] * 4 + [ranges, "''", ""]


@pytest.fixture(params=["missing", "damaged", "text", "empty", "zip"])
def broken(request, tmp_path):
    path = tmp_path / "broken.xlsx"
    if request.param == "zip":
        with zipfile.ZipFile(path, "w") as z:
            z.writestr("readme.txt", "a zip, no workbook")
    elif request.param == "damaged":
        good = write_xlsx(tmp_path / "g.xlsx", {"S": [["a"], [1]]})
        path.write_bytes(open(good, "rb").read()[:300])
    elif request.param == "text":
        path.write_text("a,b\n1,2\n")
    elif request.param == "empty":
        path.write_bytes(b"")
    return request.param, str(path)


CALLS = {
    "getFrameFromExcel": lambda p: tm.getFrameFromExcel(p, "S"),
    "getcustomproperties": lambda p: tm.getcustomproperties(p, "S"),
    "getcustomproperty": lambda p: tm.getcustomproperty(p, "S", "x"),
    "get_dataframe": lambda p: tm.get_dataframe(p),
    "getFrame": lambda p: tm.getFrame(p, datarange="S!A1:B2"),
    "gettitles": lambda p: tm.gettitles(p, "xlsx"),
    "getranges": lambda p: tm.getranges(p, "xlsx"),
    "analyseRangeData": lambda p: tm.analyseRangeData(p, "xlsx"),
    "dataiterator": lambda p: list(tm.dataiterator(p, "xlsx")),
}


SHEET_READS = ["getFrameFromExcel", "getcustomproperties", "getcustomproperty", "get_dataframe"]


@pytest.mark.parametrize("name", sorted(CALLS))
def test_broken_files_raise_the_library_error(broken, name, capsys):
    kind, path = broken
    with pytest.raises(Exception) as info:
        CALLS[name](path)
    assert not isinstance(info.value, (SystemError, tm.corvidExcelError))
    assert (info.type is FileNotFoundError) == (kind == "missing")
    if kind in ("text", "empty", "zip") and name in SHEET_READS:
        # not pandas' request for an engine the caller cannot give, nor KeyError('zip')
        assert info.type is ValueError and "%r is not a workbook" % path in str(info.value)


def test_missing_sheet_and_range(tmp_path):
    path = write_xlsx(tmp_path / "d.xlsx", {"S": [["a", "b"], [1, 2]]})
    for call in (lambda: tm.getFrameFromExcel(path, "T"), lambda: tm.get_dataframe(path, sheetname="T"),
                 lambda: tm.getcustomproperties(path, 3)):
        with pytest.raises(ValueError):
            call()
    with pytest.raises(ValueError):
        tm.get_dataframe(path, "NoRange")


ODD = [None, 0, 3.5, b"x.xlsx", ["x.xlsx"], {"a": 1}, object(), float("nan")]


@pytest.mark.parametrize("name", sorted(CALLS) + ["searchExcelFile"])
def test_any_argument_gives_a_python_result_or_error(name, capsys):
    fn = getattr(tm, name)
    for odd in ODD:
        for args in ([odd], [odd, odd], ["x.xlsx", odd, odd]):
            try:
                result = fn(*args)
                if name == "dataiterator":
                    list(result)
            except Exception:
                pass


@pytest.mark.parametrize("filetype", ["xlsx", "csv"])
@pytest.mark.parametrize("name", sorted(CALLS))
def test_a_descriptor_is_no_file_name(tmp_path, name, filetype):
    # open() would take an integer for a descriptor and close it when done:
    # the caller's stream (standard output, a log) would be closed under it.
    path = tmp_path / "d.csv"
    path.write_text("a;b\n1;2\n")
    fd = os.open(path, os.O_RDONLY)
    calls = dict(CALLS, gettitles=lambda p: tm.gettitles(p, filetype), getFrame=lambda p: tm.getFrame(p, filetype),
                 dataiterator=lambda p: list(tm.dataiterator(p, filetype)))
    try:
        with pytest.raises(TypeError, match="not int"):
            calls[name](fd)
        os.fstat(fd)
    finally:
        os.close(fd)


@pytest.mark.parametrize("refs", ["A1", "a1"], ids=["native", "library"])
def test_the_grid_bound_and_trellis_max_cells(tmp_path, monkeypatch, refs):
    # A grid of 30 rows x 26 columns for the cells written; lower-case
    # references leave the sheet to the library, behind the guard.
    def book(name, cells):
        rows = "".join('<row r="%d"><c r="%s%d"><v>1</v></c></row>' % (r, c, r) for c, r in cells)
        return write_sheet_data(tmp_path / name, rows if refs == "A1" else rows.lower(), "S")
    sparse = book("sparse.xlsx", [("A", 1), ("Z", 30)])
    dense = book("dense.xlsx", [("A", r) for r in range(1, 8)] + [("Z", 30)])  # 800 >= 780
    monkeypatch.setenv("TRELLIS_MAX_CELLS", "779")
    with pytest.raises(ValueError, match=r"sheet 'S': a grid of 30 rows x 26 columns \(780 cells\) for 2 cells"):
        tm.getFrameFromExcel(sparse, "S")
    assert tm.getFrameFromExcel(dense, "S").shape == (29, 25)
    monkeypatch.setenv("TRELLIS_MAX_CELLS", "780")
    assert tm.getFrameFromExcel(sparse, "S").shape == (29, 25)
    monkeypatch.setenv("TRELLIS_MAX_CELLS", "many")
    with pytest.raises(ValueError, match="TRELLIS_MAX_CELLS is many: expected a plain count"):
        tm.getFrameFromExcel(sparse, "S")


WRONG_KINDS = [
    # (call on a good workbook, the argument named, the kind given)
    (lambda p: tm.getFrameFromExcel(None, "S"), "filename", "NoneType"),
    (lambda p: tm.getFrameFromExcel(p, 2.5), "sheetname", "float"),
    (lambda p: tm.getFrameFromExcel(p, "S", reduce=True, excludedlist=3), "excludedlist", "int"),
    (lambda p: tm.getcustomproperties(p, {"S": 0}), "sheetname", "dict"),
    (lambda p: tm.getcustomproperty(3.5, "S", "x", "xlsx"), "filename", "float"),
    (lambda p: tm.searchExcelFile(None), "nnxfile", "NoneType"),
    (lambda p: tm.gettitles(p, "xlsx", 5), "datarange", "int"),
    (lambda p: tm.gettitles(p, "xlsx", "S!A1:B2", datafmt=3), "datafmt", "int"),
    (lambda p: tm.getranges(None, "xlsx"), "filename", "NoneType"),
    (lambda p: tm.analyseRangeData(p, "xlsx", ["S"]), "datarange", "list"),
    (lambda p: list(tm.dataiterator(p, "xlsx", "S!A1:B2", skipline="1")), "skipline", "str"),
    (lambda p: tm.get_dataframe(p, datafields=5), "datafields", "int"),
    (lambda p: tm.get_dataframe(p, indexfield="a"), "indexfield", "str"),
    (lambda p: tm.get_dataframe(p, sheetname=1.5), "sheetname", "float"),
    (lambda p: tm.getFrame(p, "xlsx", 7), "datarange", "int"),
]


@pytest.mark.parametrize("call, name, given", WRONG_KINDS,
                         ids=["%d-%s" % (i, w[1]) for i, w in enumerate(WRONG_KINDS)])
def test_a_value_of_the_wrong_kind_is_named(tmp_path, call, name, given, capsys):
    path = write_xlsx(tmp_path / "d.xlsx", {"S": [["a", "b"], [1, 2]]})
    with pytest.raises(TypeError, match=r"\(\) argument '%s' must be .*, not %s$" % (name, given)):
        call(path)


def test_what_any_kind_of_value_still_gives(tmp_path):
    # File types without a reader read nothing, whatever the file name is.
    assert tm.getFrameFromExcel(None, "S", "csv") is None
    assert tm.getcustomproperties(b"x.xlsx", "S") == {}
    assert tm.getcustomproperty(None, "S", "x", "ods") is None
    assert tm.gettitles(None, "ods") == [] and tm.getranges(None) == []
    assert list(tm.dataiterator(None, "ods")) == [] and tm.getFrame(None, "ods") is None
    assert tm.analyseRangeData(None, "xlsm") == (type, 0, True, [])
    # paths of every kind, numpy texts and positions, open files
    path = write_xlsx(tmp_path / "d.xlsx", {"S": [["a", "b"], [1, 2]]})
    assert tm.getFrameFromExcel(pathlib.Path(path), np.str_("S")).shape == (1, 1)
    assert tm.get_dataframe(path, sheetname=np.int64(0), indexfield=np.int64(1)).index.name == "b"
    with open(path, "rb") as handle:
        assert tm.getFrameFromExcel(handle, "S", "xlsx").shape == (1, 1)
