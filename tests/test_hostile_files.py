"""Damaged, hostile and odd files given to the reader.

Each is read in a child process with a time limit (and, outside the
sanitizer build, a cap on its address space): the call must end with a
Python exception (or, where a reading is sane, a result) within five
seconds, with bounded memory, and the child must not die.
"""
import json
import os
import subprocess
import sys
import zipfile

import pytest

from conftest import seconds
from reader_books import write_result, write_xlsx

CHILD = r"""
import json, os, resource, sys, time, warnings
warnings.simplefilter("ignore")
if "libasan" not in os.environ.get("LD_PRELOAD", ""):
    resource.setrlimit(resource.RLIMIT_AS, (2 << 30, 2 << 30))
from vireo.trellis.datareader import tablemine as tm
path, names = sys.argv[1], sys.argv[2:]
calls = {
    "getFrameFromExcel": lambda: tm.getFrameFromExcel(path, "Utilities"),
    "getcustomproperties": lambda: tm.getcustomproperties(path, "Utilities"),
    "get_dataframe": lambda: tm.get_dataframe(path, sheetname="Utilities"),
    "getranges": lambda: tm.getranges(path, "xlsx"),
    "gettitles": lambda: tm.gettitles(path, "csv", delimiter=","),
    "dataiterator": lambda: list(tm.dataiterator(path, "csv", delimiter=",", datafmt=[0, 1])),
    "getFrame": lambda: tm.getFrame(path, "csv", delimiter=","),
    "searchExcelFile": lambda: tm.searchExcelFile(os.path.join(os.path.dirname(path), "net.nnx")),
}
for name in names:
    start = time.monotonic()
    try:
        calls[name]()
        outcome = "result"
    except Exception as exc:
        outcome = type(exc).__name__
    elapsed = time.monotonic() - start
    peak = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024
    sys.stdout.flush()
    print("\n" + json.dumps({"call": name, "outcome": outcome, "seconds": elapsed, "peak": peak}))
"""

WORKBOOK_CALLS = ["getFrameFromExcel", "getcustomproperties", "get_dataframe", "getranges",
                  "searchExcelFile"]
TEXT_CALLS = ["gettitles", "dataiterator", "getFrame"]


def read_in_child(path, calls, timeout=90):
    """{call: report} of each call made on `path` in one child process."""
    out = subprocess.run([sys.executable, "-c", CHILD, str(path)] + calls,
                         capture_output=True, text=True, timeout=seconds(timeout))
    assert out.returncode == 0, out.stderr[-2000:]
    reports = [json.loads(line) for line in out.stdout.splitlines() if line.startswith("{")]
    return {r["call"]: r for r in reports}


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


def mixed_csv(folder):
    path = folder / "net_mixed.xlsx"
    path.write_bytes(b'a,b;c\t"d\n1;2,"3\n"x""y",,\r\n\x00\xff,\n"unclosed\n')
    return path


HOSTILE = {
    "truncated zip": (truncated, WORKBOOK_CALLS, False),
    "zip but no workbook": (not_a_workbook, WORKBOOK_CALLS, False),
    "malformed XML": (malformed_xml, WORKBOOK_CALLS, False),
    "quadratic entity blowup": (quadratic_blowup, WORKBOOK_CALLS, False),
    "huge shared strings": (huge_shared_strings, WORKBOOK_CALLS, True),
    "vanished file": (vanished, WORKBOOK_CALLS + TEXT_CALLS, False),
    "directory for a file": (directory, WORKBOOK_CALLS + TEXT_CALLS, False),
    "FIFO without writer": (fifo_without_writer, WORKBOOK_CALLS + TEXT_CALLS, False),
    "mixed delimiters and stray quotes": (mixed_csv, TEXT_CALLS, True),
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
        if call == "searchExcelFile":
            # The search passes over a candidate it cannot read.
            assert report["outcome"] in ("result", "StopIteration"), report
            continue
        if not may_read:
            assert report["outcome"] not in ("result", "SystemError"), report
        if kind == "FIFO without writer":
            assert report["outcome"] == "OSError", report
        if kind == "vanished file":
            assert report["outcome"] == "FileNotFoundError", report
