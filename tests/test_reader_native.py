"""The native workbook reader against pandas.read_excel with openpyxl: the
same Frames, values, types, index and names alike, on every sheet of the
demo's workbooks, of a larger campaign shaped as the benchmark's, of a workbook
holding every kind of cell and of sheets holding what the scanner leaves to
expat, each read by the scanner and by expat alone; and the trellis-read
command."""
import contextlib
import csv
import importlib.metadata
import io
import math
import os
import re
import subprocess
import sys
import warnings
import zipfile
import zlib

import pandas as pd
import pytest
import xlsxwriter

from helpers.limits import seconds
from helpers.reader_files import write_cell_kinds, write_sheet_data
from vireo.trellis import demo, readtool
from vireo.trellis.datareader import tablemine as tm

SMALL_DEMO = ["--examples", "12", "--trainings", "3", "--test-examples", "6", "--further-models", "1",
              "--loo-trainings", "2", "--bootstrap-columns", "2", "-q"]
# The benchmark's campaign (written with the demo's generators), smaller.
LARGER_DEMO = ["--examples", "300", "--trainings", "6", "--test-examples", "120", "--further-models", "4",
               "--loo-trainings", "4", "--bootstrap-columns", "10", "--seed", "3", "-q"]


@pytest.fixture(scope="module")
def demo_books(tmp_path_factory):
    folder = tmp_path_factory.mktemp("demo")
    with contextlib.redirect_stdout(io.StringIO()):
        demo.main(["--out", str(folder)] + SMALL_DEMO)
    return sorted(str(folder / f) for f in os.listdir(folder) if f.endswith((".xlsx", ".xlsm")))


@pytest.fixture(scope="module")
def campaign_book(tmp_path_factory):
    """The result workbook of the larger campaign."""
    folder = tmp_path_factory.mktemp("campaign")
    with contextlib.redirect_stdout(io.StringIO()):
        demo.main(["--out", str(folder)] + LARGER_DEMO)
    return str(folder / "demo_model.xlsx")


@pytest.fixture(autouse=True, params=["scanner", "expat"])
def parser(request, monkeypatch):
    """Every read of this module by the scanner (expat where it gives up),
    and by expat alone."""
    monkeypatch.setenv("TRELLIS_SCANNER", "1" if request.param == "scanner" else "0")
    return request.param


def same_value(a, b):
    return a == b or (isinstance(a, float) and isinstance(b, float) and math.isnan(a) and math.isnan(b))


def assert_reads_as_pandas(path, monkeypatch, scanned_alone=True, native=True):
    # Nothing here may be handed to pandas by the native reader, nor a part
    # to expat by the scanner, unless said.
    if native:
        monkeypatch.setenv("TRELLIS_NATIVE_ONLY", "1")
    if scanned_alone and os.environ["TRELLIS_SCANNER"] == "1":
        monkeypatch.setenv("TRELLIS_SCANNER", "only")
    sheets = pd.ExcelFile(path, engine="openpyxl").sheet_names
    assert sheets
    for position, sheet in enumerate(sheets):
        with warnings.catch_warnings(record=True) as ours_warned:
            warnings.simplefilter("always")
            ours = tm.getFrameFromExcel(path, sheet)
        with warnings.catch_warnings(record=True) as theirs_warned:
            warnings.simplefilter("always")
            theirs = pd.read_excel(path, sheet, index_col=0, engine="openpyxl")
        pd.testing.assert_frame_equal(ours, theirs, check_exact=True, check_index_type=True)
        assert [str(w.message) for w in ours_warned if "date" in str(w.message)] == \
            [str(w.message) for w in theirs_warned if "date" in str(w.message)]
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            pd.testing.assert_frame_equal(tm.get_dataframe(path, sheetname=position),
                                          pd.read_excel(path, position, engine="openpyxl"), check_exact=True,
                                          check_index_type=True)
    if "Utilities" in sheets:
        frame = pd.read_excel(path, "Utilities", skiprows=[0], engine="openpyxl")
        expected = {k: v for k, v in zip(frame["property"], frame["value"]) if isinstance(k, str)}
        found = tm.getcustomproperties(path, "Utilities")
        assert list(found) == list(expected)
        assert all(same_value(found[k], expected[k]) for k in found)


def recompressed(path, folder, level, strategy):
    """A copy of the workbook whose members zlib deflates at `level` with
    `strategy` (level 0: stored blocks; Z_FIXED: the fixed code)."""
    dst = os.path.join(folder, os.path.basename(path))
    with pytest.MonkeyPatch.context() as patch:
        patch.setattr(zipfile, "_get_compressor",
                      lambda *_: zlib.compressobj(level, zlib.DEFLATED, -15, 8, strategy))
        with zipfile.ZipFile(path) as zin, zipfile.ZipFile(dst, "w", zipfile.ZIP_DEFLATED) as zout:
            for item in zin.infolist():
                zout.writestr(item.filename, zin.read(item.filename))
    return dst


# The demo's members as written (dynamic blocks), and deflated into stored
# and into fixed-code blocks, which the reader's inflater decodes each its way.
@pytest.mark.parametrize("blocks", [None, (0, zlib.Z_DEFAULT_STRATEGY), (6, zlib.Z_FIXED)],
                         ids=["as written", "stored blocks", "fixed blocks"])
def test_demo_workbooks(demo_books, tmp_path, monkeypatch, blocks):
    assert len(demo_books) == 3
    for path in demo_books:
        assert_reads_as_pandas(recompressed(path, tmp_path, *blocks) if blocks else path, monkeypatch)


def test_campaign_of_the_benchmarks_shape(campaign_book, monkeypatch):
    assert_reads_as_pandas(campaign_book, monkeypatch)


@pytest.mark.parametrize("date1904", [False, True])
def test_every_kind_of_cell(tmp_path, monkeypatch, date1904):
    # rich text runs: the scanner leaves their parts to expat
    assert_reads_as_pandas(write_cell_kinds(tmp_path / "kinds.xlsx", date1904), monkeypatch, scanned_alone=False)


MAIN_NS = "http://schemas.openxmlformats.org/spreadsheetml/2006/main"
HEAD = ('<row r="1"><c r="A1" t="inlineStr"><is><t>name</t></is></c>'
        '<c r="B1" t="inlineStr"><is><t>value</t></is></c></row>')


def row2(cell):
    return HEAD + '<row r="2"><c r="A2" t="inlineStr"><is><t>x</t></is></c>%s</row>' % cell


# (sheetData, whether the scanner gives the part to expat, whether the
# native reader gives it to pandas)
CONSTRUCTS = {
    "cdata": (row2('<c r="B2" t="str"><v><![CDATA[a<b]]></v></c>'), True, False),
    "comment": (HEAD + "<!-- a note -->" + row2("")[len(HEAD):], True, False),
    "instruction": (HEAD + "<?app keep?>", True, False),
    "prefixed element": (row2('<c r="B2" xmlns:m="%s"><m:v>1</m:v></c>' % MAIN_NS), True, False),
    "rich text": (row2('<c r="B2" t="inlineStr"><is><r><t>a</t></r><r><rPr><b/></rPr><t>b</t></r></is></c>'),
                  True, False),
    "phonetic run": (row2('<c r="B2" t="inlineStr"><is><t>kan</t><rPh sb="0" eb="1"><t>KAN</t></rPh></is></c>'),
                     True, True),
    "unknown attribute": (row2('<c r="B2" foo="1"><v>1</v></c>'), True, False),
    "line ends": (row2('<c r="B2" t="str"><v>a\r\nb\rc\r</v></c>'), False, False),
    "Excel's row attribute": (HEAD + '<row r="2" xmlns:x14ac="http://schemas.microsoft.com/office/spreadsheetml/'
                              '2009/9/ac" x14ac:dyDescent="0.25"><c r="A2" t="inlineStr"><is><t>x</t></is></c>'
                              '<c r="B2"><v>3</v></c></row>', False, False),
    "a line end in an attribute": (HEAD + '<row r="2" spans="1:2\r\n"><c r="A2" t="inlineStr"><is><t>x</t></is></c>'
                                   '</row>', True, False),
    "references": (row2('<c r="B2" t="str"><v>&#x263A;&#9731;&#13; &lt;&amp;&gt;&quot;&apos;</v></c>'),
                   False, False),
    "layout": (HEAD + "<row  r = '2'\n><c\tr='A2' t=\"inlineStr\"><is><t xml:space='preserve'> x </t></is></c >"
               "<c r=\"B2\" ><v >2.5</v></c></row ><row r=\"3\"/>", False, False),
    "rows in a second sheetData": (HEAD + "</sheetData><sheetData>" + row2("<c r='B2'><v>4</v></c>")[len(HEAD):],
                                   False, False),
    "a row after the sheetData": (HEAD + "</sheetData>" + row2("<c r='B2'><v>4</v></c>")[len(HEAD):]
                                  + "<sheetData>", False, True),
}


@pytest.mark.parametrize("construct", sorted(CONSTRUCTS))
def test_what_the_scanner_leaves_to_expat(tmp_path, monkeypatch, parser, construct):
    body, handed_back, to_pandas = CONSTRUCTS[construct]
    path = write_sheet_data(tmp_path / "c.xlsx", body, sheet="Data")
    assert_reads_as_pandas(path, monkeypatch, scanned_alone=not handed_back, native=not to_pandas)
    if handed_back and parser == "scanner":
        monkeypatch.setenv("TRELLIS_NATIVE_ONLY", "1")
        monkeypatch.setenv("TRELLIS_SCANNER", "only")
        with pytest.raises(RuntimeError, match="the scanner leaves xl/worksheets/sheet1.xml to expat"):
            tm.getFrameFromExcel(path, "Data")


def test_rich_shared_strings(tmp_path, monkeypatch, parser):
    path = str(tmp_path / "rich.xlsx")
    book = xlsxwriter.Workbook(path)
    sheet = book.add_worksheet("Data")
    sheet.write_row(0, 0, ["name", "value"])
    sheet.write_rich_string(1, 0, "pl", book.add_format({"bold": True}), "ain", " text")
    sheet.write(1, 1, 1.5)
    book.close()
    assert_reads_as_pandas(path, monkeypatch, scanned_alone=False)
    if parser == "scanner":
        monkeypatch.setenv("TRELLIS_SCANNER", "only")
        with pytest.raises(RuntimeError, match="the scanner leaves xl/sharedStrings.xml to expat"):
            tm.getFrameFromExcel(path, "Data")


# Markup any XML parser refuses, within the rows and after them.
MALFORMED = {
    "after the rows": HEAD + "</sheetData><broken></sheetData>",
    "an undeclared entity": row2('<c r="B2" t="str"><v>a&nbsp;b</v></c>'),
    "crossed tags": row2('<c r="B2"><v>1</c></v>'),
    "a CDATA end in text": row2('<c r="B2" t="str"><v>a]]>b</v></c>'),
    "a control character": row2('<c r="B2" t="str"><v>a\x01b</v></c>'),
    "a bad character reference": row2('<c r="B2" t="str"><v>a&#0;b</v></c>'),
    "a duplicate attribute": row2('<c r="B2" r="B2"><v>1</v></c>'),
    "invalid UTF-8": [HEAD.encode(), b'<row r="2"><c r="A2" t="str"><v>\xff</v></c></row>'],
    "an unclosed row": HEAD + '<row r="2"><c r="A2"><v>1</v></c>',
}


@pytest.mark.parametrize("case", sorted(MALFORMED))
def test_malformed_markup_raises_as_pandas(tmp_path, monkeypatch, case):
    path = write_sheet_data(tmp_path / "m.xlsx", MALFORMED[case], sheet="Data")
    with pytest.raises(Exception) as theirs:
        pd.read_excel(path, "Data", index_col=0, engine="openpyxl")
    with pytest.raises(type(theirs.value)):
        tm.getFrameFromExcel(path, "Data")
    # Natively, the fault is placed where it is: the rows are on line 2.
    monkeypatch.setenv("TRELLIS_NATIVE_ONLY", "1")
    with pytest.raises(RuntimeError, match=r"malformed XML in xl/worksheets/sheet1\.xml: .+: line 2, column \d+$"):
        tm.getFrameFromExcel(path, "Data")


# Columns of numbers made as numpy arrays, and those left to pandas' parser.
NUMBER_COLUMNS = [
    ("ints", ["1", "-2", "007", "123456789012345"]),
    ("ints and a blank", ["1", None, "3", "4"]),
    ("integral floats", ["3.0", "1E3", "-0.0", "2"]),
    ("floats", ["0.1", "1E-3", "2", None]),
    ("huge ints", ["12345678901234567890", "1", "2", "3"]),
    ("sixteen digits", ["1234567890123456", "1", "2", "3"]),
    ("signed digits", ["-123456789012345", "-1234567890123456", "-0", "4"]),
    ("minus zero among floats", ["-0", "0.5", "-7", "1e2"]),
    ("big integral floats", ["1E20", "1", "2", "3"]),
    ("odd forms", ["+5", "1", "2", "3"]),
    ("a text", ["1", "2", "x", "3"]),
    ("a bool", ["1", "2", True, "3"]),
    ("blanks", [None, None, None, None]),
]


# The first column: texts; or numbers, each column then of numbers alone (a
# range of ints, which pandas makes a RangeIndex, or ints with gaps).
INDEX_COLUMNS = {"texts": lambda k: None, "range": lambda k: str(k), "gaps": lambda k: str(3 * k + k % 2)}


@pytest.mark.parametrize("index", sorted(INDEX_COLUMNS))
@pytest.mark.parametrize("repeat", [1, 300], ids=["small", "large"])
@pytest.mark.parametrize("layout", ["Data", "Utilities"])
def test_number_columns(tmp_path, monkeypatch, layout, repeat, index):
    def cell(ref, value):
        if value is None:
            return ""
        if value is True:
            return '<c r="%s" t="b"><v>1</v></c>' % ref
        if value == "x":
            return '<c r="%s" t="inlineStr"><is><t>x</t></is></c>' % ref
        return '<c r="%s"><v>%s</v></c>' % (ref, value)

    def col(i):
        return chr(ord("B") + i)

    columns = NUMBER_COLUMNS if index == "texts" else NUMBER_COLUMNS[:4]

    first = 2 if layout == "Utilities" else 1
    rows = []
    if layout == "Utilities":
        rows.append('<row r="1"><c r="A1" t="inlineStr"><is><t>table</t></is></c></row>')
    header = '<c r="A%d" t="inlineStr"><is><t>property</t></is></c>' % first
    # the property table's values are its first column of numbers
    names = ["value" if layout == "Utilities" and i == 0 else name for i, (name, _) in enumerate(NUMBER_COLUMNS)]
    header += "".join('<c r="%s%d" t="inlineStr"><is><t>%s</t></is></c>' % (col(i), first, name)
                      for i, name in enumerate(names[:len(columns)]))
    rows.append('<row r="%d">%s</row>' % (first, header))
    # a large sheet has its number columns made as arrays
    for k in range(4 * repeat):
        r = first + 1 + k
        label = INDEX_COLUMNS[index](k)
        cells = cell("A%d" % r, label) if label else '<c r="A%d" t="inlineStr"><is><t>p%d</t></is></c>' % (r, k)
        cells += "".join(cell("%s%d" % (col(i), r), values[k % 4]) for i, (_, values) in enumerate(columns))
        rows.append('<row r="%d">%s</row>' % (r, cells))
    path = write_sheet_data(tmp_path / "n.xlsx", "".join(rows), sheet=layout)
    assert_reads_as_pandas(path, monkeypatch)


# Property tables whose columns pandas' parser is certain to keep as objects
# (each holds a text no parse takes for a number, a truth value or a missing
# value) are read without it: the missing-value texts become NaN, an object
# equal to an earlier one becomes that one.  The others go to the parser.
PROPERTY_TABLES = {
    "texts and numbers": (["seed", "Model file", "rate", "note"], [42, "/d/net.nnx", 0.5, "x y"], True),
    "missing-value texts": (["NA", "None", "", "k1", "k2", "k3", "k4"], ["null", "n/a", "k", "", "#N/A", "NaN", "z"],
                            True),
    "equal objects": (["k1", "k2", "k3", "k4", "k5", "k6", "k7"], [True, 1, 1.0, "word", 0, False, -0.0], True),
    "number and truth texts kept": (["k1", "k2", "k3", "k4", "k5", "k6"], ["1.5", " 2 ", "inf", "1e5", "True", "w"],
                                    True),
    "an error cell": (["k1", "k2"], ["#DIV/0!", "label"], True),
    "names of numbers": (["1", "2"], ["x", "y"], False),
    "truth texts": (["k1", "k2", "k3"], ["True", "false", 1], False),
    "numbers only": (["k1", "k2", "k3"], [1, 2.5, 3], False),
    "an int beyond 64 bits": (["k1", "k2"], [12345678901234567890, "label"], False),
}


@pytest.mark.parametrize("table", sorted(PROPERTY_TABLES))
def test_property_tables(tmp_path, monkeypatch, table):
    def cell(ref, value):
        if value == "":
            return ""
        if isinstance(value, bool):
            return '<c r="%s" t="b"><v>%d</v></c>' % (ref, value)
        if isinstance(value, (int, float)):
            return '<c r="%s"><v>%r</v></c>' % (ref, value)
        if value.startswith("#") and value.endswith("!"):
            return '<c r="%s" t="e"><v>%s</v></c>' % (ref, value)
        return '<c r="%s" t="inlineStr"><is><t xml:space="preserve">%s</t></is></c>' % (ref, value)

    names, values, without_parser = PROPERTY_TABLES[table]
    rows = ['<row r="1">%s</row>' % cell("A1", "table"),
            # a second "value" column: pandas names it "value.1"
            '<row r="2">%s%s%s</row>' % (cell("B2", "property"), cell("C2", "value"), cell("D2", "value"))]
    rows += ['<row r="%d">%s%s%s</row>' % (r, cell("B%d" % r, n), cell("C%d" % r, v), cell("D%d" % r, "other"))
             for r, (n, v) in enumerate(zip(names, values), start=3)]
    path = write_sheet_data(tmp_path / "p.xlsx", "".join(rows))
    parses = []
    real_parser = pd.io.parsers.TextParser
    monkeypatch.setattr(pd.io.parsers, "TextParser", lambda *a, **k: parses.append(1) or real_parser(*a, **k))
    assert_reads_as_pandas(path, monkeypatch)
    parses.clear()
    tm.getcustomproperties(path, "Utilities")
    assert bool(parses) is not without_parser


# The sheet holds a date cell out of range on purpose: openpyxl warns of it
# when pandas reads the list of sheets.
@pytest.mark.filterwarnings("ignore:.*outside the limits for dates:UserWarning")
def test_what_the_native_reader_leaves_to_pandas(tmp_path, monkeypatch):
    path = write_cell_kinds(tmp_path / "kinds.xlsx")
    # a list of sheets, a missing sheet: pandas answers, with its own errors
    frames = tm.getFrameFromExcel(path, ["Kinds"])
    assert list(frames) == ["Kinds"]
    with pytest.raises(ValueError, match="Worksheet named 'Missing' not found"):
        tm.getFrameFromExcel(path, "Missing")
    monkeypatch.setenv("TRELLIS_NATIVE_ONLY", "1")
    with pytest.raises(RuntimeError, match="native reader unsure"):
        tm.getFrameFromExcel(path, "Missing")
    # a chartsheet's name is told for what it is, by the native reader
    with pytest.raises(ValueError, match="Worksheet named 'Chart' not found: 'Chart' is a chartsheet"):
        tm.getFrameFromExcel(path, "Chart")


def outcome(call):
    try:
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            with contextlib.redirect_stdout(io.StringIO()):
                return "result", call()
    except Exception as exc:
        return type(exc).__name__, str(exc)


def same_outcome(ours, theirs):
    if isinstance(ours[1], pd.DataFrame):
        pd.testing.assert_frame_equal(ours[1], theirs[1], check_exact=True)
        return True
    return ours == theirs or (ours[0] == theirs[0] == "result" and str(ours) == str(theirs))


def ranges_book(folder):
    """Defined names of every form, a merged range that hides a value, a
    comment beyond the data, and a sheet whose cells lie far apart."""
    book = xlsxwriter.Workbook(str(folder / "ranges.xlsx"))
    data = book.add_worksheet("My data")
    for r in range(6):
        data.write_row(r, 0, ["t%d" % r, r, r * 0.5, "x" if r % 2 else None])
    data.merge_range("B2:C3", "merged")
    data.write("C2", "hidden")
    data.write_comment("F9", "a note beyond the data")
    book.add_worksheet("O'k").write_row(2, 1, [1.5, "q"])
    far = book.add_worksheet("Far")
    far.write(199, 0, 1)
    far.write(0, 40, 2)
    book.define_name("Quoted", "='My data'!$A$1:$C$4")
    book.define_name("Apostrophe", "='O''k'!$A$1:$C$3")
    book.define_name("Constant", "=42")
    book.define_name("'My data'!Local", "='My data'!$A$1:$A$2")
    book.close()
    return str(folder / "ranges.xlsx")


@pytest.mark.parametrize("book", ["demo", "kinds", "kinds 1904", "ranges"])
def test_ranges_read_as_the_toolkit_reader(demo_books, tmp_path, monkeypatch, book):
    # The native reading of ranges against the toolkit's Excel reader, which
    # the module calls when a subclass is rebound in its place.
    paths = {"demo": lambda: [p for p in demo_books if os.path.basename(p).startswith("demo_model")][:1],
             "kinds": lambda: [write_cell_kinds(tmp_path / "k.xlsx", empty_style=False)],
             "kinds 1904": lambda: [write_cell_kinds(tmp_path / "k.xlsx", True, empty_style=False)],
             "ranges": lambda: [ranges_book(tmp_path)]}[book]()
    own, choose = tm.Excel, tm.getExcelType
    reader = type("Excel", (own,), {})
    for path in paths:
        sheets = pd.ExcelFile(path, engine="openpyxl").sheet_names
        wheres = ["", "Quoted", "Apostrophe", "Constant", "Local", "Nowhere!A1:B2", "A1:C3"]
        for sheet in sheets:
            quoted = "'%s'" % sheet.replace("'", "''")
            wheres += [sheet, quoted + "!B2:D9"]
        wheres += [quoted + "!A:C", quoted + "!2:5"]
        calls = [lambda: tm.getranges(path, "xlsx"),
                 lambda: tm.get_dataframe(path, wheres[-1], datafields=[0, -1])]
        for where in wheres:
            calls += [lambda w=where: tm.gettitles(path, "xlsx", w, datafmt=[-1, 0]),
                      lambda w=where: tm.analyseRangeData(path, "xlsx", w),
                      lambda w=where: list(tm.dataiterator(path, "xlsx", w, 2, datafmt=None, headerOnly=w < "L"))]
        for call in calls:
            monkeypatch.setenv("TRELLIS_NATIVE_ONLY", "1")
            ours = outcome(call)
            monkeypatch.delenv("TRELLIS_NATIVE_ONLY")
            monkeypatch.setattr(tm, "Excel", reader)
            monkeypatch.setattr(tm, "getExcelType", lambda ft: reader)
            theirs = outcome(call)
            monkeypatch.setattr(tm, "Excel", own)
            monkeypatch.setattr(tm, "getExcelType", choose)
            assert same_outcome(ours, theirs), (path, ours, theirs)


def run_read(argv, capsys):
    try:
        status = readtool.main(argv)
    except SystemExit as exc:
        status = exc.code
    out = capsys.readouterr()
    return status, out.out, out.err


def test_trellis_read(demo_books, capsys, monkeypatch):
    result = next(p for p in demo_books if os.path.basename(p).startswith("demo_model"))
    props = tm.getcustomproperties(result, "Utilities")
    # Relative paths work in every command, the search's included.
    folder, name = os.path.split(result)
    monkeypatch.chdir(os.path.dirname(folder))
    local = os.path.join(os.path.basename(folder), name)
    status, out, _ = run_read(["props", local], capsys)
    lines = out.splitlines()
    column = lines[0].index("value")
    rows = [(line[:column].rstrip(), line[column:]) for line in lines]
    assert status == 0 and rows[0] == ("property", "value")
    # The chart bound blocks below the table are no properties; an empty text is
    # shown empty, not as the NaN it reads back as.
    padding = [k for k, v in props.items() if v == "Padding"]
    assert padding and not [r for r in rows if r[0] in padding or r[1] == "Padding"]
    assert len(rows) == len(props) - len(padding) + 1 and props["Model file"] in out
    assert ("Test range", "") in rows and "nan" not in out
    status, out, _ = run_read(["props", local, "--csv"], capsys)
    assert status == 0 and list(csv.reader(io.StringIO(out))) == [list(r) for r in rows]
    status, out, _ = run_read(["sheet", local, "Results", "--reduce", "--csv"], capsys)
    expected = tm.getFrameFromExcel(result, "Results", reduce=True)
    assert status == 0 and out == expected.to_csv()
    status, out, _ = run_read(["sheet", local, "Results"], capsys)
    assert status == 0 and out.rstrip("\n") == tm.getFrameFromExcel(result, "Results").to_string()
    for model_file in (props["Model file"], os.path.relpath(props["Model file"])):
        status, out, _ = run_read(["search", model_file], capsys)
        assert (status, out) == (0, result + "\n")
    status, out, _ = run_read(["--version"], capsys)
    assert (status, out) == (0, "trellis-read %s\n" % importlib.metadata.version("vireo-trellis"))


@pytest.mark.parametrize("argv, status, reason", [
    # nothing found: 1
    (["search", "{alone}"], 1, r"no workbook in .* names .*alone\.nnx"),
    (["sheet", "{empty}", "Empty"], 1, r".*empty\.xlsx: sheet 'Empty' holds no data"),
    (["props", "{no_props}"], 1, r".*no_props\.xlsx: no custom property"),
    # bad arguments: 2
    (["props", "{folder}"], 2, r"error: IsADirectoryError: .*: a folder, not a workbook"),
    (["props", "{folder}/traininfo.txt"], 2, r"error: ValueError: .*traininfo\.txt: not a workbook"),
    (["sheet", "{folder}/demo_model.nnx", "Results"], 2, r"error: ValueError: .*demo_model\.nnx: not a workbook"),
    (["props", "{folder}/missing.xlsx"], 2, r"error: FileNotFoundError: .*missing\.xlsx: no such file"),
    (["search", "{folder}/none.nnx"], 2, r"error: FileNotFoundError: .*none\.nnx: no such file"),
    (["search", "{folder}"], 2, r"error: IsADirectoryError: .*: a folder, not a model file"),
    (["search", "{folder}/none/model.nnx"], 2, r"error: FileNotFoundError: .*none: no such folder"),
    # a file the reader cannot read: its error, and the file named
    (["props", "{cut}"], 2, r"error: \w+: .*cut\.xlsx'?: "),
    (["props", "{recap}"], 2, r"error: ValueError: .*Utilities"),
    (["sheet", "{recap}"], 2, r"error: the following arguments are required: sheet"),
    (["nothing"], 2, r"error: argument command: invalid choice"),
])
def test_trellis_read_says_why(demo_books, tmp_path, capsys, argv, status, reason):
    """Every status but 0 comes with its reason on stderr, and nothing on stdout."""
    import xlsxwriter
    empty = str(tmp_path / "empty.xlsx")
    with xlsxwriter.Workbook(empty) as book:
        book.add_worksheet("Empty")
    no_props = str(tmp_path / "no_props.xlsx")
    with xlsxwriter.Workbook(no_props) as book:
        sheet = book.add_worksheet("Utilities")
        sheet.write_row(1, 1, ["property", "value"])
    alone = tmp_path / "alone.nnx"
    alone.write_bytes(b"")
    cut = tmp_path / "cut.xlsx"
    whole = open(demo_books[0], "rb").read()
    cut.write_bytes(whole[: len(whole) * 2 // 3])
    names = dict(folder=os.path.dirname(demo_books[0]), empty=empty, no_props=no_props,
                 alone=str(alone), cut=str(cut),
                 recap=next(p for p in demo_books if "recap" in os.path.basename(p)))
    found, out, err = run_read([a.format(**names) for a in argv], capsys)
    assert (found, out) == (status, "")
    assert re.search(r"^trellis-read( sheet)?: " + reason, err.splitlines()[-1]), err


@pytest.mark.parametrize("error, shown", [
    (MemoryError(), "MemoryError: {book}"),
    (KeyError("value"), "KeyError: {book}: 'value'"),
    (RuntimeError("native reader unsure"), "RuntimeError: {book}: native reader unsure"),
    # a message that names the file already: not twice
    (ValueError("{book} is damaged"), "ValueError: {book} is damaged"),
])
def test_trellis_read_names_the_error(demo_books, capsys, monkeypatch, error, shown):
    def fail(*args, **kwargs):
        raise type(error)(*[a.format(book=demo_books[0]) for a in error.args])
    monkeypatch.setattr(tm, "getcustomproperties", fail)
    assert run_read(["props", demo_books[0]], capsys)[::2] == \
        (2, "trellis-read: error: %s\n" % shown.format(book=demo_books[0]))


def test_trellis_read_is_quiet_on_a_closed_pipe(demo_books):
    """`trellis-read ... | head -1`: no "Broken pipe", and status 0 (a `set -o pipefail`
    script goes on)."""
    result = next(p for p in demo_books if os.path.basename(p).startswith("demo_model"))
    read_end, write_end = os.pipe()
    os.close(read_end)
    try:
        run = subprocess.run([sys.executable, "-m", "vireo.trellis.readtool", "sheet", result,
                              "Training", "--csv"], stdout=write_end, stderr=subprocess.PIPE,
                             timeout=seconds(120))
    finally:
        os.close(write_end)
    assert (run.returncode, run.stderr) == (0, b"")
