"""The reader's arguments: a value of the wrong kind is named, a sheet or range
that is not there is a ValueError, and what any other kind of value still gives."""
import os
import pathlib

import numpy as np
import pytest

from helpers.reader_files import READER_CALLS, write_xlsx
from vireo.trellis.datareader import tablemine as tm

pytestmark = pytest.mark.usefixtures("restore_warning_filters")


def test_missing_sheet_and_range(tmp_path):
    path = write_xlsx(tmp_path / "d.xlsx", {"S": [["a", "b"], [1, 2]]})
    for call in (lambda: tm.getFrameFromExcel(path, "T"), lambda: tm.get_dataframe(path, sheetname="T"),
                 lambda: tm.getcustomproperties(path, 3)):
        with pytest.raises(ValueError):
            call()
    with pytest.raises(ValueError):
        tm.get_dataframe(path, "NoRange")


@pytest.mark.parametrize("filetype", ["xlsx", "csv"])
@pytest.mark.parametrize("name", sorted(READER_CALLS))
def test_a_descriptor_is_no_file_name(tmp_path, name, filetype):
    # open() would take an integer for a descriptor and close it when done:
    # the caller's stream (standard output, a log) would be closed under it.
    path = tmp_path / "d.csv"
    path.write_text("a;b\n1;2\n")
    fd = os.open(path, os.O_RDONLY)
    calls = dict(READER_CALLS, gettitles=lambda p: tm.gettitles(p, filetype),
                 getFrame=lambda p: tm.getFrame(p, filetype), dataiterator=lambda p: list(tm.dataiterator(p, filetype)))
    try:
        with pytest.raises(TypeError, match="not int"):
            calls[name](fd)
        os.fstat(fd)
    finally:
        os.close(fd)


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
