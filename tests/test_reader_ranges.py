"""Ranges, titles and a first look at a range, through the toolkit's readers."""
import warnings

import pytest

from helpers.reader_files import write_csv, write_xls, write_xlsx
from vireo.trellis.datareader import tablemine as tm

pytestmark = pytest.mark.usefixtures("restore_warning_filters")


ROWS = [["ID", "smiles", "logP"]] + [["m%d" % i, "C" * i, 0.5 * i] for i in range(1, 6)]


@pytest.fixture
def named(tmp_path):
    return write_xlsx(tmp_path / "named.xlsx", {"Data": ROWS, "Other": [["a", "b"], [1, 2]]},
                      names={"Train": "=Data!$A$1:$C$4", "Rest": "='Other'!$A$1:$B$2"})


@pytest.fixture
def plain(tmp_path):
    return write_xlsx(tmp_path / "plain.xlsx", {"Data": ROWS})


def test_ranges_of_each_kind(tmp_path, named, plain, range_reader):
    assert sorted(tm.getranges(named, "xlsx")) == ["Rest", "Train"]
    assert tm.getranges(plain, "xlsx") == ["Data!A1:C6"]
    xls = write_xls(tmp_path / "d.xls", {"S": ROWS})
    if range_reader == "library":  # natively only, an .xls file is an error
        assert tm.getranges(xls, "xls") == ["S!A1:C6"]
    for filetype in ("csv", "ods", "XLSX"):
        assert tm.getranges(named, filetype) == []
    assert tm.getranges(named) == []


RANGE_CALLS = {
    "gettitles": lambda p, ft: tm.gettitles(p, ft, "S!A1:B2"),
    "getranges": lambda p, ft: tm.getranges(p, ft),
    "analyseRangeData": lambda p, ft: tm.analyseRangeData(p, ft, "S!A1:B2"),
    "dataiterator": lambda p, ft: list(tm.dataiterator(p, ft, "S!A1:B2", datafmt=None)),
}


@pytest.mark.parametrize("call", sorted(RANGE_CALLS))
@pytest.mark.parametrize("case", ["xls", "rebound class", "open file"])
def test_native_only_makes_every_fallback_of_a_range_call_an_error(tmp_path, monkeypatch, case, call):
    path = write_xlsx(tmp_path / "d.xlsx", {"S": ROWS})
    filetype = "xlsx"
    if case == "xls":
        path, filetype = write_xls(tmp_path / "d.xls", {"S": ROWS}), "xls"
    elif case == "rebound class":
        reader = type("Excel", (tm.Excel,), {})
        monkeypatch.setattr(tm, "Excel", reader)
        monkeypatch.setattr(tm, "getExcelType", lambda ft: reader)
    monkeypatch.setenv("TRELLIS_NATIVE_ONLY", "1")
    with open(path, "rb") as stream:
        name = stream if case == "open file" else path
        with pytest.raises(RuntimeError, match=r"native reader unsure of .*d\.xlsx?.*: "):
            RANGE_CALLS[call](name, filetype)


def test_getranges_silences_warnings_for_the_process(plain):
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        tm.getranges(plain, "csv")
        warnings.warn("after the call")
    assert caught == []


def test_getranges_on_a_workbook_without_ranges_fails(monkeypatch):
    class Empty:
        def __init__(self, filename, **kw):
            pass

        def __enter__(self):
            return self

        def __exit__(self, *exc):
            Empty.exit_info = exc
            return False

        def range_names(self):
            return []

        def get_data_ranges(self):
            return []

    monkeypatch.setattr(tm, "Excel", Empty)
    with pytest.raises(IndexError):
        tm.getranges("x.xlsx", "xlsx")
    assert Empty.exit_info[0] is IndexError  # the context was left with the error


@pytest.mark.parametrize("datarange, datafmt, titles", [
    ("", None, ["a", "b"]),  # the first name the workbook lists
    ("Rest", None, ["a", "b"]),
    ("Data!B1:C3", None, ["smiles", "logP"]),
    ("Train", ["logP", 0], ["logP", "ID"]),
])
@pytest.mark.usefixtures("range_reader")
def test_titles(named, datarange, datafmt, titles):
    assert tm.gettitles(named, "xlsx", datarange, datafmt=datafmt) == titles


@pytest.mark.usefixtures("range_reader")
def test_titles_of_text_files_and_unknown_types(tmp_path, plain):
    assert tm.gettitles(plain, "xlsx") == ["ID", "smiles", "logP"]
    path = write_csv(tmp_path / "d.csv", ROWS)
    assert tm.gettitles(path) == ["ID", "smiles", "logP"]
    assert tm.gettitles(str(tmp_path / "absent.ods"), "ods") == []  # the file is never opened


def test_gettitles_asks_for_the_header_only(monkeypatch):
    calls = []

    class Reader:
        titles = ["t"]

        def __init__(self, filename, **kw):
            calls.append((filename, kw))

    monkeypatch.setattr(tm, "getExcelType", lambda ft: Reader)
    assert tm.gettitles("f.xlsx", "xlsx", "R", 4, ",", [1]) == ["t"]
    assert calls == [("f.xlsx", {"arange": "R", "datafmt": [1], "headerOnly": True, "load": True})]


def test_analyse_range(tmp_path, named, range_reader):
    assert tm.analyseRangeData(named, "xlsx", "Data!A1:C6") == (type, 5, True, ["ID", "smiles", "logP"])
    assert tm.analyseRangeData(named, "xlsx", "Train", datafmt=[2]) == (type, 3, True, ["logP"])
    empty = write_xlsx(tmp_path / "e.xlsx", {"Data": ROWS, "Blank": []})
    assert tm.analyseRangeData(empty, "xlsx", "Blank") == (type, -1, True, [])
    if range_reader == "library":  # natively only, an .xls file is an error
        xls = write_xls(tmp_path / "d.xls", {"S": ROWS})
        assert tm.analyseRangeData(xls, datarange="S!A1:B3") == (type, 2, True, ["ID", "smiles"])
    assert tm.analyseRangeData(named, "xlsm") == (type, 0, True, [])


@pytest.mark.usefixtures("range_reader")
@pytest.mark.parametrize("call", [
    lambda p: tm.gettitles(p, "xlsx", "NoSuchRange"),
    lambda p: tm.analyseRangeData(p, "xlsx", "Nowhere!A1:B2"),
    lambda p: tm.gettitles(p, "xlsx", datafmt=["no title"]),
])
def test_reader_errors_reach_the_caller(named, call):
    with pytest.raises((KeyError, ValueError)):
        call(named)
