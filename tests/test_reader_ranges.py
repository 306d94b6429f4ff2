"""Ranges, titles and a first look at a range, through the toolkit's readers."""
import re
import warnings
import zipfile

import pytest

from helpers.reader_files import write_csv, write_sheet_data, write_xls, write_xlsx
from vireo.trellis.datareader import excel
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
    ("", None, ["ID", "smiles", "logP"]),  # the first sheet, defined names or not
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
@pytest.mark.parametrize("call, error, builtin", [
    (lambda p: tm.gettitles(p, "xlsx", "NoSuchRange"), excel.RangeNotFound, ValueError),
    (lambda p: tm.analyseRangeData(p, "xlsx", "Nowhere!A1:B2"), excel.SheetNotFound, KeyError),
    (lambda p: tm.gettitles(p, "xlsx", datafmt=["no title"]), excel.ColumnNotFound, ValueError),
    (lambda p: list(tm.dataiterator(p, "xlsx", "Data!A1:B3", datafmt=[2])), excel.ColumnOutOfRange, IndexError),
])
def test_reader_errors_reach_the_caller(named, call, error, builtin, capsys):
    # the reader's own class, which is the built-in error it was as well
    with pytest.raises(error) as info:
        call(named)
    assert isinstance(info.value, (excel.ReaderError, builtin))


def linked_cells(tmp_path):
    """Links on cells with a value, and on cells without one (the library
    gives those the link's target, or its place in the workbook), one past
    the data."""
    import xlsxwriter

    src = str(tmp_path / "links.base.xlsx")
    book = xlsxwriter.Workbook(src)
    sheet = book.add_worksheet("S")
    for r, row in enumerate([["ID", "v", "w"], ["m1", 1, None], ["m2", 2, None]]):
        sheet.write_row(r, 0, row)
    sheet.write_url(1, 2, "https://example.com/kept", string="text")
    sheet.write_url(2, 2, "https://example.com/empty")
    sheet.write_url(1, 1, "internal:S!A1", string="1")
    sheet.write_url(4, 3, "internal:'S'!B2")
    book.close()
    path = str(tmp_path / "links.xlsx")
    with zipfile.ZipFile(src) as zin, zipfile.ZipFile(path, "w", zipfile.ZIP_DEFLATED) as zout:
        for item in zin.infolist():
            data = zin.read(item.filename)
            if item.filename == "xl/worksheets/sheet1.xml":  # the cells of two links emptied
                data = re.sub(rb'<c r="(C3|D5)"[^>]*>.*?</c>', rb"", data)
            zout.writestr(item, data)
    return path


@pytest.mark.usefixtures("range_reader")
def test_linked_cells(tmp_path):
    path = linked_cells(tmp_path)
    assert list(tm.dataiterator(path, "xlsx", "S!A1:D5", datafmt=None)) == [
        ["ID", "v", "w", None], ["m1", "1", "text", None], ["m2", 2, "https://example.com/empty", None],
        [None, None, None, None], [None, None, None, "'S'!B2"]]
    assert tm.getranges(path, "xlsx") == ["S!A1:D5"]
    assert tm.gettitles(path, "xlsx", "S!C3:C4") == ["https://example.com/empty"]


def error_cells(path):
    def text(ref, t):
        return '<c r="%s" t="inlineStr"><is><t>%s</t></is></c>' % (ref, t)
    rows = ['<row r="1">%s%s</row>' % (text("A1", "ID"), text("B1", "v")),
            '<row r="2">%s<c r="B2"><v>1</v></c></row>' % text("A2", "m1"),
            '<row r="3">%s<c r="B3" t="e"><f>1/0</f><v>#DIV/0!</v></c></row>' % text("A3", "m2"),
            '<row r="4">%s<c r="B4"><v>3</v></c></row>' % text("A4", "m3")]
    return write_sheet_data(path, "".join(rows), "S")


@pytest.mark.usefixtures("range_reader")
def test_an_error_cell_in_a_data_row_raises_after_the_rows_before_it(tmp_path, capsys):
    path = error_cells(tmp_path / "e.xlsx")
    rows = tm.dataiterator(path, "xlsx", "S!A1:B4", datafmt=None)
    assert next(rows) == ["ID", "v"] and next(rows) == ["m1", 1]
    with pytest.raises(excel.ErrorCell, match=r"cell B3 of sheet 'S' holds the error #DIV/0!"):
        next(rows)
    assert capsys.readouterr().out.count("#DIV/0!") == 1
    with pytest.raises(excel.ErrorCell):
        tm.analyseRangeData(path, "xlsx", "S!A1:B4")
    # a column left out, or a title, holds no error of a data row
    assert tm.analyseRangeData(path, "xlsx", "S!A1:B4", datafmt=[0]) == (type, 3, True, ["ID"])
    assert tm.gettitles(path, "xlsx", "S!B3:B4") == ["#DIV/0!"]
