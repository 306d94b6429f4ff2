"""Hostile and broken input: refused with the reading library's error, quickly."""
import os
import subprocess
import sys
import warnings
import zipfile

import pytest

from vireo.trellis.datareader import tablemine as tm
from conftest import seconds
from reader_books import write_result, write_xlsx


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


@pytest.fixture(params=["missing", "damaged", "text", "empty"])
def broken(request, tmp_path):
    path = tmp_path / "broken.xlsx"
    if request.param == "damaged":
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


@pytest.mark.parametrize("name", sorted(CALLS))
def test_broken_files_raise_the_library_error(broken, name, capsys):
    kind, path = broken
    with pytest.raises(Exception) as info:
        CALLS[name](path)
    assert not isinstance(info.value, (SystemError, tm.corvidExcelError))
    assert (info.type is FileNotFoundError) == (kind == "missing")


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
