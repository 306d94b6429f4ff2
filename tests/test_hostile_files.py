"""Damaged, hostile and odd files given to the reader.

Each is read in a child process with a time limit (and, outside the
sanitizer build, a cap of 1 GiB on its address space): the call must end
with a Python exception (or, where a reading is sane, a result) within five
seconds, with bounded memory, and the child must not die.  Files broken in
the ordinary ways (missing, cut short, text, empty, a zip of something else)
are read in this process and give the reading library's error.
"""
import base64
import json
import os
import subprocess
import sys
import warnings
import zipfile

import pytest
import xlsxwriter

from helpers.limits import seconds
from helpers.reader_files import READER_CALLS, write_result, write_sheet_data, write_xlsx
from vireo.trellis.datareader import tablemine as tm

CHILD = r"""
import json, os, resource, sys, warnings
warnings.simplefilter("ignore")
if "libasan" not in os.environ.get("LD_PRELOAD", ""):
    resource.setrlimit(resource.RLIMIT_AS, (1 << 30, 1 << 30))
from vireo.trellis.datareader import tablemine as tm
calls = {
    "getFrameFromExcel": lambda: tm.getFrameFromExcel(path, "Utilities"),
    "getcustomproperties": lambda: tm.getcustomproperties(path, "Utilities"),
    "get_dataframe": lambda: tm.get_dataframe(path, sheetname="Utilities"),
    "getranges": lambda: tm.getranges(path, "xlsx"),
    "gettitles": lambda: tm.gettitles(path, "csv", delimiter=","),
    "dataiterator": lambda: list(tm.dataiterator(path, "csv", delimiter=",", datafmt=[0, 1])),
    "getFrame": lambda: tm.getFrame(path, "csv", delimiter=","),
    "searchExcelFile": lambda: tm.searchExcelFile(os.path.join(os.path.dirname(path), "net.nnx")),
    "gettitles of a range": lambda: tm.gettitles(path, "xlsx", "S!A1:B2"),
    "dataiterator over a range": lambda: list(tm.dataiterator(path, "xlsx", "S!A1:B2", datafmt=None)),
    "analyseRangeData": lambda: tm.analyseRangeData(path, "xlsx", "S!A1:B2"),
    # through the toolkit's reader class, which the native reader never stands in for
    "getranges as .xls": lambda: tm.getranges(path, "xls"),
    "dataiterator as .xls": lambda: list(tm.dataiterator(path, "xls", "S!A1:B2")),
}
# A path, then the calls made on it; then the next path.
for name in sys.argv[1:]:
    if name not in calls:
        path = name
        continue
    # The CPU time of the call (every thread of the process), not the wall
    # time: on a busy machine the call also waits for a core.
    before = resource.getrusage(resource.RUSAGE_SELF)
    message = ""
    try:
        calls[name]()
        outcome = "result"
    except Exception as exc:
        outcome, message = type(exc).__name__, str(exc)
    after = resource.getrusage(resource.RUSAGE_SELF)
    elapsed = (after.ru_utime - before.ru_utime) + (after.ru_stime - before.ru_stime)
    peak = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024
    sys.stdout.flush()
    print("\n" + json.dumps({"call": name, "path": path, "outcome": outcome, "message": message,
                             "seconds": elapsed, "peak": peak}))
"""

WORKBOOK_CALLS = ["getFrameFromExcel", "getcustomproperties", "get_dataframe", "getranges",
                  "searchExcelFile"]
NATIVE_CALLS = ["getFrameFromExcel", "getcustomproperties", "get_dataframe", "searchExcelFile"]
TEXT_CALLS = ["gettitles", "dataiterator", "getFrame"]
RANGE_CALLS = ["gettitles of a range", "dataiterator over a range", "analyseRangeData"]
XLS_CALLS = ["getranges as .xls", "dataiterator as .xls"]


def child_reports(argv, timeout=90):
    out = subprocess.run([sys.executable, "-c", CHILD] + argv,
                         capture_output=True, text=True, timeout=seconds(timeout))
    assert out.returncode == 0, out.stderr[-2000:]
    return [json.loads(line) for line in out.stdout.splitlines() if line.startswith("{")]


def read_in_child(path, calls, timeout=90):
    """{call: report} of each call made on `path` in one child process."""
    return {r["call"]: r for r in child_reports([str(path)] + calls, timeout)}


def good_workbook(folder):
    # Not a candidate of the search: only the damaged copy is.
    return write_result(folder / "good.xlsx", [["Model file", str(folder / "net.nnx")]])


def rewrite(src, dst, change):
    """Copy a workbook, with `change(name, data)` giving each member's new bytes."""
    with zipfile.ZipFile(src) as zin, zipfile.ZipFile(dst, "w", zipfile.ZIP_DEFLATED) as zout:
        for item in zin.infolist():
            zout.writestr(item.filename, change(item.filename, zin.read(item.filename)))
    return dst


def truncated(folder):
    data = open(good_workbook(folder), "rb").read()
    path = folder / "net_cut.xlsx"
    path.write_bytes(data[: len(data) * 2 // 3])
    return path


def not_a_workbook(folder):
    path = folder / "net_zip.xlsx"
    with zipfile.ZipFile(path, "w") as z:
        z.writestr("readme.txt", "just a zip")
    return path


def malformed_xml(folder):
    def change(name, data):
        return b"<worksheet><sheetData><row r='1'><c r='A1'" if name.startswith(
            "xl/worksheets/") else data
    return rewrite(good_workbook(folder), folder / "net_bad.xlsx", change)


def quadratic_blowup(folder):
    # One large entity referenced many times: no nesting, still megabytes.
    entity = "x" * 100000
    doctype = '<!DOCTYPE sst [<!ENTITY big "%s">]>' % entity

    def change(name, data):
        if name != "xl/sharedStrings.xml":
            return data
        head, sep, body = data.decode().partition("?>")
        body = body.replace("<t>property</t>", "<t>%s</t>" % ("&big;" * 20000))
        return (head + sep + doctype + body).encode()
    return rewrite(good_workbook(folder), folder / "net_blow.xlsx", change)


def huge_shared_strings(folder):
    # Far more strings than any cell refers to, and a count that lies.
    many = "".join("<si><t>s%d</t></si>" % i for i in range(100000))

    def change(name, data):
        if name != "xl/sharedStrings.xml":
            return data
        text = data.decode()
        start = text.index("<si>")
        end = text.rindex("</sst>")
        head = text[:start].replace('count="', 'count="9999999999').replace(
            'uniqueCount="', 'uniqueCount="9999999999')
        return (head + text[start:end] + many + "</sst>").encode()
    return rewrite(good_workbook(folder), folder / "net_sst.xlsx", change)


def patch_directory(path, member, **fields):
    """Rewrite fields of a member's central directory entry: packed, size,
    or offset_of (the local header of another member)."""
    data = bytearray(open(path, "rb").read())
    end = data.rfind(b"PK\x05\x06")
    pos = int.from_bytes(data[end + 16:end + 20], "little")
    entries = {}
    while data[pos:pos + 4] == b"PK\x01\x02":
        n, x, c = (int.from_bytes(data[pos + k:pos + k + 2], "little") for k in (28, 30, 32))
        entries[data[pos + 46:pos + 46 + n].decode()] = pos
        pos += 46 + n + x + c
    at = entries[member]
    if "offset_of" in fields:
        other = entries[fields.pop("offset_of")]
        data[at + 42:at + 46] = data[other + 42:other + 46]
    for name, offset in (("packed", 20), ("size", 24)):
        if name in fields:
            data[at + offset:at + offset + 4] = fields[name].to_bytes(4, "little")
    open(path, "wb").write(bytes(data))
    return path


UTILITIES = "xl/worksheets/sheet2.xml"  # write_result's second sheet


def overlapping_members(folder):
    # Two directory entries on one member's data: how small archives inflate to gigabytes.
    path = folder / "net_overlap.xlsx"
    os.rename(good_workbook(folder), path)
    return patch_directory(path, UTILITIES, offset_of="xl/worksheets/sheet1.xml")


def lying_size(folder):
    path = folder / "net_lying.xlsx"
    os.rename(good_workbook(folder), path)
    return patch_directory(path, UTILITIES, size=100)


def member_past_directory(folder):
    path = folder / "net_past.xlsx"
    os.rename(good_workbook(folder), path)
    return patch_directory(path, UTILITIES, packed=1 << 30)


def inflate_ratio(folder):
    # 1 MB of deflate that inflates to a gigabyte of blanks inside sheetData.
    path = folder / "net_ratio.xlsx"
    good = good_workbook(folder)
    with zipfile.ZipFile(good) as zin, zipfile.ZipFile(path, "w", zipfile.ZIP_DEFLATED) as zout:
        for item in zin.infolist():
            data = zin.read(item.filename)
            if item.filename != UTILITIES:
                zout.writestr(item.filename, data)
                continue
            head, sep, tail = data.partition(b"<sheetData>")
            with zout.open(UTILITIES, "w") as member:
                member.write(head + sep)
                blank = b" " * (1 << 20)
                for _ in range(1000):
                    member.write(blank)
                member.write(tail)
    return path


def deep_nesting(folder):
    def change(name, data):
        if name != UTILITIES:
            return data
        return data.replace(b"</sheetData>", b"<row r='99'><c r='B99'>" + b"<x>" * 200000
                            + b"</x>" * 200000 + b"</c></row></sheetData>")
    return rewrite(good_workbook(folder), folder / "net_deep.xlsx", change)


def nesting_within_reason(folder):
    # deeper than the native reader follows, as deep as the library reads
    def change(name, data):
        if name != UTILITIES:
            return data
        return data.replace(b"</sheetData>", b"<row r='99'><c r='B99'>" + b"<x>" * 1000
                            + b"</x>" * 1000 + b"</c></row></sheetData>")
    return rewrite(good_workbook(folder), folder / "net_nested.xlsx", change)


def cell_named_again_and_again(folder):
    # 55 MB of one empty cell named 5 million times, in 110 KB
    path = folder / "net_again.xlsx"
    again = b'<c r="A2"/>' * 100000
    return write_sheet_data(path, [b'<row r="1"><c r="A1" t="inlineStr"><is><t>Model file</t></is></c>'
                                   b'</row><row r="2">'] + [again] * 50 + [b"</row>"])


def million_cell_formats(folder):
    # A styles part of plain markup inflating 340 times: 19 MB from 55 KB
    path = folder / "net_styles.xlsx"
    good = good_workbook(folder)
    with zipfile.ZipFile(good) as zin, zipfile.ZipFile(path, "w", zipfile.ZIP_DEFLATED) as zout:
        for item in zin.infolist():
            data = zin.read(item.filename)
            if item.filename != "xl/styles.xml":
                zout.writestr(item.filename, data)
                continue
            head, _, rest = data.partition(b"<cellXfs")
            with zout.open(item.filename, "w") as member:
                member.write(head + b'<cellXfs count="300000">')
                member.write(b'<xf numFmtId="0" fontId="0" fillId="0" borderId="0" xfId="0"/>' * 300000)
                member.write(b"</cellXfs>" + rest.partition(b"</cellXfs>")[2])
    return path


def huge_attribute(folder):
    # Random text, so that it does not compress: 20 MB in one start tag.
    noise = base64.b64encode(os.urandom(15 << 20))

    def change(name, data):
        if name != UTILITIES:
            return data
        return data.replace(b"</sheetData>", b"<row r='99'><c r='B99' x='" + noise + b"'/></row></sheetData>")
    return rewrite(good_workbook(folder), folder / "net_attr.xlsx", change)


def vanished(folder):
    path = folder / "net_gone.xlsx"
    os.rename(good_workbook(folder), path)
    os.remove(path)
    return path


def directory(folder):
    path = folder / "net_dir.xlsx"
    path.mkdir()
    return path


def fifo_without_writer(folder):
    path = folder / "net_fifo.xlsx"
    os.mkfifo(path)
    return path


def with_member(folder, name, data):
    """The good workbook with one more member (zipfile warns of a duplicate name)."""
    path = folder / "net_names.xlsx"
    os.rename(good_workbook(folder), path)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        with zipfile.ZipFile(path, "a") as z:
            z.writestr(name, data)
    return path


def utilities_twice(folder):
    # zipfile reads the last member of a name, the native reader read the first
    data = zipfile.ZipFile(good_workbook(folder)).read(UTILITIES).replace(b"Model file", b"Other file")
    return with_member(folder, UTILITIES, data)


def nul_in_a_name(folder):
    # zipfile cuts the name at the NUL: a second Utilities sheet for it alone
    data = zipfile.ZipFile(good_workbook(folder)).read(UTILITIES).replace(b"Model file", b"Other file")
    path = with_member(folder, UTILITIES + "#", data)
    raw = open(path, "rb").read().replace((UTILITIES + "#").encode(), UTILITIES.encode() + b"\0")
    open(path, "wb").write(raw)
    return path


def mixed_csv(folder):
    path = folder / "net_mixed.xlsx"
    path.write_bytes(b'a,b;c\t"d\n1;2,"3\n"x""y",,\r\n\x00\xff,\n"unclosed\n')
    return path


def far_cells(folder, beside=True):
    """A few kilobytes: a small range, and cells a million rows and 16,383
    columns away (on other sheets, or on the range's own)."""
    path = folder / "net_far.xlsx"
    book = xlsxwriter.Workbook(str(path))
    small = book.add_worksheet("S")
    small.write_row(0, 0, ["a", "b"])
    tall = book.add_worksheet("Tall") if beside else small
    wide = book.add_worksheet("Wide") if beside else small
    tall.write(999999, 0, 1)
    wide.write(0, 16383, 1)
    book.close()
    return path


HOSTILE = {
    "truncated zip": (truncated, WORKBOOK_CALLS, False),
    "zip but no workbook": (not_a_workbook, WORKBOOK_CALLS, False),
    "malformed XML": (malformed_xml, WORKBOOK_CALLS, False),
    "quadratic entity blowup": (quadratic_blowup, WORKBOOK_CALLS, False),
    "huge shared strings": (huge_shared_strings, WORKBOOK_CALLS, True),
    "vanished file": (vanished, WORKBOOK_CALLS + TEXT_CALLS, False),
    "directory for a file": (directory, WORKBOOK_CALLS + TEXT_CALLS, False),
    "FIFO without writer": (fifo_without_writer, WORKBOOK_CALLS + TEXT_CALLS + XLS_CALLS, False),
    "mixed delimiters and stray quotes": (mixed_csv, TEXT_CALLS, True),
    "overlapping members": (overlapping_members, WORKBOOK_CALLS, False),
    "lying size in the directory": (lying_size, WORKBOOK_CALLS, False),
    "member past the directory": (member_past_directory, WORKBOOK_CALLS, False),
    "inflate ratio beyond reason": (inflate_ratio, WORKBOOK_CALLS, False),
    "far cells beside a range": (far_cells, RANGE_CALLS, True),
    "far cells on a range's sheet": (lambda folder: far_cells(folder, False), RANGE_CALLS, True),
    # openpyxl (getranges) may read these; the native reader refuses them
    "deep nesting": (deep_nesting, NATIVE_CALLS, False),
    "nesting within reason": (nesting_within_reason, WORKBOOK_CALLS, True),
    "a cell named again and again": (cell_named_again_and_again, WORKBOOK_CALLS, True),
    "a million cell formats": (million_cell_formats, WORKBOOK_CALLS, True),
    "huge attribute": (huge_attribute, NATIVE_CALLS, False),
    "two members of one name": (utilities_twice, WORKBOOK_CALLS, False),
    "NUL in a member name": (nul_in_a_name, WORKBOOK_CALLS, False),
}
# Damaged in the second sheet's member, which getranges never opens: it
# reads the first sheet alone.
READ_AROUND = {"lying size in the directory", "inflate ratio beyond reason"}
# Sound files the reader reads (a sheet without the properties aside).
READ = {"nesting within reason", "a cell named again and again", "a million cell formats"}
# What the native reader raises for each.
REFUSED_AS = {
    "overlapping members": "BadZipFile",
    "lying size in the directory": "BadZipFile",
    "member past the directory": "BadZipFile",
    "inflate ratio beyond reason": "BadZipFile",
    "deep nesting": "ParseError",
    "huge attribute": "ParseError",
    "quadratic entity blowup": "EntitiesForbidden",
    # by the native reader and, for the library, by the guard alike
    "two members of one name": "BadZipFile",
    "NUL in a member name": "BadZipFile",
}


@pytest.mark.parametrize("kind", sorted(HOSTILE))
def test_hostile_file_gives_an_error_quickly(tmp_path, kind):
    make, calls, may_read = HOSTILE[kind]
    reports = read_in_child(make(tmp_path), calls)
    assert sorted(reports) == sorted(calls)
    limit = seconds(5)
    for call, report in reports.items():
        assert report["seconds"] < limit, report
        assert report["peak"] < 1 << 30, report
        assert len(report["message"]) < 400, report
        # the reader's own errors name the file (malformed XML gives the library's)
        if report["outcome"] in ("BadZipFile", "ValueError", "ParseError", "MemoryError") and kind != "malformed XML":
            assert os.path.basename(report["path"]) in report["message"], report
        if kind in READ and call in ("getFrameFromExcel", "get_dataframe", "getranges"):
            assert report["outcome"] == "result", report
        if call == "searchExcelFile":
            # The search passes over a candidate it cannot read.
            assert report["outcome"] in ("result", "StopIteration"), report
            continue
        if call == "getranges" and kind in READ_AROUND:
            assert report["outcome"] == "result", report
        elif not may_read:
            assert report["outcome"] not in ("result", "SystemError"), report
        if kind in REFUSED_AS and (call in NATIVE_CALLS or "member" in kind):
            assert report["outcome"] == REFUSED_AS[kind], report
        if kind == "FIFO without writer":
            assert report["outcome"] == "OSError", report
        if call in RANGE_CALLS:
            assert report["outcome"] == "result", report
        if kind == "vanished file":
            assert report["outcome"] == "FileNotFoundError", report


# Sheets beyond a sheet's limits, each a few kilobytes: (sheetData, what the
# error names besides the sheet).
BEYOND = {
    "row past the last": ('<row r="1048577"><c r="A1048577"><v>1</v></c></row>', "row 1048577"),
    "row number of any size": ('<row r="2"><c r="A2"><v>1</v></c></row><row r="99999999"><c r="A99999999">'
                               '<v>2</v></c></row>', "row 99999999"),
    "cell past XFD": ('<row r="2"><c r="XFE2"><v>1</v></c></row>', "cell XFE2"),
    "cell of four letters": ('<row r="2"><c r="AAAA2"><v>1</v></c></row>', "cell AAAA2"),
    "cell past the last row": ('<row r="2"><c r="B1048577"><v>1</v></c></row>', "cell B1048577"),
    "cells without reference past XFD": ('<row r="2">' + "<c/>" * 16384 + "<c><v>1</v></c></row>", "cell XFE2"),
    "rows without number past the last": ("<row/>" * 1048576 + "<row><c><v>1</v></c></row>", "row 1048577"),
    "two far-apart cells": ('<row r="2"><c r="XFD2"><v>1</v></c></row><row r="1048576"><c r="A1048576">'
                            '<v>2</v></c></row>', "1048576 rows x 16384 columns"),
    "two cells, a grid of 49 million": ('<row r="2"><c r="A2"><v>1</v></c></row><row r="3000"><c r="XFD3000">'
                                        '<v>2</v></c></row>', "3000 rows x 16384 columns"),
    "5000 rows reaching XFD": ("".join('<row r="%d"><c r="XFD%d"><v>1</v></c></row>' % (i, i)
                                       for i in range(2, 5002)), "5001 rows x 16384 columns"),
}
# A first row the native reader leaves to the library (a lower-case
# reference): the library's path must refuse the rest as well.
LEFT_TO_THE_LIBRARY = '<row r="1"><c r="a1"><v>0</v></c></row>'
BOUND_CALLS = ["getFrameFromExcel", "get_dataframe", "getranges"]


@pytest.mark.parametrize("reader", ["native", "library"])
def test_sheet_beyond_its_limits_is_refused(tmp_path, reader):
    argv, kinds = [], {}
    for n, (kind, (body, words)) in enumerate(sorted(BEYOND.items())):
        head = LEFT_TO_THE_LIBRARY if reader == "library" else ""
        path = write_sheet_data(tmp_path / ("b%d.xlsx" % n), head + body)
        kinds[path] = (kind, words)
        argv += [path] + BOUND_CALLS
    reports = child_reports(argv)
    assert len(reports) == len(argv) - len(kinds)
    for report in reports:
        kind, words = kinds[report["path"]]
        assert report["seconds"] < seconds(5) and report["peak"] < 1 << 30, (kind, report)
        if reader == "native" and report["call"] == "getranges" and "columns" in words:
            # The used range of a sheet within its limits builds no grid:
            # read natively, it is given (the library would build the grid).
            assert report["outcome"] == "result", (kind, report)
            continue
        assert report["outcome"] == "ValueError", (kind, report)
        assert "sheet 'Utilities'" in report["message"] and words in report["message"], (kind, report)


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


@pytest.mark.skipif(not os.environ.get("TRELLIS_LARGE_TESTS"), reason="a sheet of 100 MB, set TRELLIS_LARGE_TESTS")
def test_a_dense_sheet_is_read_or_refused_naming_its_grid(tmp_path):
    # 16,384 rows x 3,000 numbers: a Frame of 393 MB, in a child capped at 1 GiB
    import random
    pool = [b"<c><v>%d</v></c>" % v for v in range(1000)]
    rows = (b"<row>" + b"".join(random.choices(pool, k=3000)) + b"</row>" for _ in range(16384))
    path = write_sheet_data(tmp_path / "dense.xlsx", rows)
    report = read_in_child(path, ["getFrameFromExcel"], timeout=300)["getFrameFromExcel"]
    assert report["outcome"] in ("result", "MemoryError"), report
    if report["outcome"] == "MemoryError":
        assert repr(path) in report["message"] and "sheet 'Utilities'" in report["message"], report
        assert "x 3000 columns" in report["message"], report


def test_a_file_changed_while_it_is_read_says_so(tmp_path, monkeypatch):
    # a sheet pandas reads (lower-case references), rewritten under its read
    path = write_sheet_data(tmp_path / "c.xlsx", '<row r="1"><c r="a1"><v>1</v></c></row>')
    other = write_sheet_data(tmp_path / "d.xlsx", '<row r="1"><c r="a1"><v>1</v></c></row>')

    def read_excel(name, *args, **kw):
        if name == path:
            with open(path, "wb") as f:
                f.write(b"PK\3\4 half written")
        raise ValueError("Excel file format cannot be determined, you must specify an engine manually.")
    monkeypatch.setattr(tm, "pandas", type("pandas", (), {"read_excel": staticmethod(read_excel)}))
    with pytest.raises(OSError, match="c.xlsx' changed while it was read .*ValueError"):
        tm.getFrameFromExcel(path, "Utilities")
    # unchanged, the library's error passes as it is
    with pytest.raises(ValueError, match="cannot be determined"):
        tm.getFrameFromExcel(other, "Utilities")


def test_messages_quote_a_short_excerpt_of_a_cell(tmp_path, monkeypatch):
    # 10 MB in one value that is no number, in 15 KB
    path = write_sheet_data(tmp_path / "v.xlsx", '<row r="1"><c r="A1"><v>1</v></c></row><row r="2"><c r="A2">'
                                                 '<v>1' + "x" * 10000000 + '</v></c></row>')
    monkeypatch.setenv("TRELLIS_NATIVE_ONLY", "1")
    with pytest.raises(RuntimeError) as info:
        tm.getFrameFromExcel(path, "Utilities")
    message = str(info.value)
    assert len(message) < 400 and "'1xxx" in message and "(10000001 bytes)" in message, message[:500]
    assert repr(path) in message


LAUGHS = ('<!DOCTYPE lolz [<!ENTITY lol0 "lollollollollollollollollollol">'
          + "".join('<!ENTITY lol%d "%s">' % (i, ("&lol%d;" % (i - 1)) * 10) for i in range(1, 10))
          + "]>", "&lol9;")
EXTERNAL = ('<!DOCTYPE sst [<!ENTITY ext SYSTEM "file:///etc/hostname">]>', "&ext;")
# A declaration without entities: no parser of the library should meet it either.
BARE = ('<!DOCTYPE sst SYSTEM "http://127.0.0.1:9/none.dtd">', "Model file")


def plant(src, dst, part, payload):
    """Copy the workbook, with a document type declaration in one of its XML parts."""
    doctype, reference = payload

    def change(name, data):
        if name != part:
            return data
        head, sep, body = data.decode("utf-8").partition("?>")
        return (head + sep + doctype + body.replace("<t>Model file</t>", "<t>%s</t>" % reference)).encode("utf-8")
    return str(rewrite(src, dst, change))


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


# Files broken in the ordinary ways, read in this process: the reading
# library's error reaches the caller.
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


SHEET_READS = ["getFrameFromExcel", "getcustomproperties", "getcustomproperty", "get_dataframe"]


@pytest.mark.parametrize("name", sorted(READER_CALLS))
@pytest.mark.usefixtures("restore_warning_filters")
def test_broken_files_raise_the_library_error(broken, name, capsys):
    kind, path = broken
    with pytest.raises(Exception) as info:
        READER_CALLS[name](path)
    assert not isinstance(info.value, (SystemError, tm.corvidExcelError))
    assert (info.type is FileNotFoundError) == (kind == "missing")
    if kind in ("text", "empty", "zip") and name in SHEET_READS:
        # not pandas' request for an engine the caller cannot give, nor KeyError('zip')
        assert info.type is ValueError and "%r is not a workbook" % path in str(info.value)
