"""Repeated calls, successful and failing alike, keep nothing alive.

A reference kept by mistake in C++ outlives the call: each case is run many
times on the same inputs and the live objects, the interpreter's allocated
blocks and the process memory must stay flat.
"""
import contextlib
import gc
import io
import os
import sys
import types
import warnings
import weakref

import pandas as pd
import pytest
import xlsxwriter

from helpers.fuzz import Hostile
from helpers.reader_files import write_csv, write_result, write_xlsx
from helpers.writer_input import MODEL, SHEETS, make_options
from vireo.trellis import reportbook as rb
from vireo.trellis.datareader import tablemine as tm


def train():
    # A Frame per call: views taken of a shared Frame leave dead weak
    # references behind in pandas until its next sweep.
    return pd.DataFrame([[1.0 + r + 0.1 * c for c in range(9)] for r in range(4)])


def scores():
    return pd.DataFrame([[1.0 + r + 0.1 * c for c in range(6)] for r in range(4)])


def fresh_book():
    """(book, sheet, utilities sheet) of a workbook kept in memory and never saved."""
    book = xlsxwriter.Workbook(io.BytesIO(), {"in_memory": True})
    return book, book.add_worksheet("Data"), book.add_worksheet("Utilities")


def fresh_writer(sheets=("Data",)):
    writer = pd.ExcelWriter(io.BytesIO(), engine="xlsxwriter")
    for name in sheets:
        train().to_excel(writer, sheet_name=name)
    return writer


@pytest.fixture(scope="module")
def place(tmp_path_factory):
    folder = tmp_path_factory.mktemp("leaks")
    vba = folder / "vba"
    vba.mkdir()
    (vba / "vbaProject.bin").write_bytes(b"\xd0\xcf")
    return types.SimpleNamespace(
        folder=folder, vba=str(vba), options=make_options(folder),
        result=write_result(folder / "net_r.xlsx", [["Model file", str(folder / "net.nnx")]]),
        named=write_xlsx(folder / "n.xlsx", {"Data": [["a", "b"], [1, 2], [3, 4]]},
                         names={"block": "=Data!$A$1:$B$3"}),
        csv=write_csv(folder / "d.csv", [["a", "b"], ["1", "2"], ["3", "x"]]),
        missing=str(folder / "nosuch.xlsx"))


def book_case(call):
    return lambda p: call(*fresh_book())


# (name, number of calls, call) - the call gets the module's files and options.
WRITER_CASES = [
    ("outputmarker", 1000, lambda p: rb.outputmarker("out", False)),
    ("outputmarker-fails", 1000, lambda p: rb.outputmarker(Hostile(), False)),
    ("getExcelFileName", 666, lambda p: rb.getExcelFileName(p.options, "forced")),
    ("getExcelFileName-fails", 666, lambda p: rb.getExcelFileName(types.SimpleNamespace())),
    ("getCustomDict", 333, lambda p: rb.getCustomDict(p.options, {"v": "1"})),
    ("getCustomDict-fails", 666, lambda p: rb.getCustomDict(Hostile(KeyError))),
    ("getVbaProjectBin", 666, lambda p: rb.getVbaProjectBin(p.vba)),
    ("getVbaProjectBin-fails", 666, lambda p: rb.getVbaProjectBin(Hostile())),
    ("createFileInfo", 80, lambda p: rb.createFileInfo(
        str(p.folder / "info.txt"), rb.gmProperties, {"Data count": (3, "number")})),
    ("createFileInfo-fails", 333, lambda p: rb.createFileInfo(
        str(p.folder / "info2.txt"), rb.gmProperties, [("x", 1)])),
    ("getSheet", 100, lambda p: rb.getSheet(fresh_writer(), "Data")),
    ("getSheet-fails", 100, lambda p: rb.getSheet(fresh_writer(), "nosuch")),
    ("enrichSimpleSheet", 100, book_case(lambda b, s, u: rb.enrichSimpleSheet(b, s, train()))),
    ("enrichResultSheet", 300, book_case(lambda b, s, u: rb.enrichResultSheet(b, s, train()))),
    ("enrichRecapSheet-fails", 333, book_case(lambda b, s, u: rb.enrichRecapSheet(b, s, None))),
    ("setMinMaxOnSheet", 166, book_case(lambda b, s, u: rb.setMinMaxOnSheet(u, s, train(), 1, 9, 0))),
    ("enrichTrainSheet", 66, book_case(
        lambda b, s, u: rb.enrichTrainSheet(b, s, train(), 2, 1, 3, "logP", 12, 0))),
    ("enrichTrainSheet-fails", 166, book_case(
        lambda b, s, u: rb.enrichTrainSheet(b, s, train(), 2, 1, 3, "logP", 12, Hostile()))),
    ("enrichTestSheet", 66, book_case(
        lambda b, s, u: rb.enrichTestSheet(b, s, scores(), 3, [2, 1], 0.2, 2, infolen=0))),
    ("enrichLOOTrainSheet", 66, book_case(
        lambda b, s, u: rb.enrichLOOTrainSheet(b, s, train(), 3, 3, 1, 1, 12, 0))),
    ("enrichLOOTestSheet", 100, book_case(lambda b, s, u: rb.enrichLOOTestSheet(b, s, scores(), 3))),
    ("enrichBSTrainSheet", 100, book_case(lambda b, s, u: rb.enrichBSTrainSheet(b, s, train()))),
    ("enrichBSTestSheet", 100, book_case(lambda b, s, u: rb.enrichBSTestSheet(b, s, scores()))),
    ("getLevFormat", 333, book_case(lambda b, s, u: rb.getLevFormat(b))),
    ("getThresholdFormat-fails", 666, lambda p: rb.getThresholdFormat(None)),
    ("new_line_chart", 166, book_case(
        lambda b, s, u: rb.new_line_chart(b, "Data", 4, 0, 1, 2, "Scores"))),
    ("new_rows_line_chart", 166, book_case(
        lambda b, s, u: rb.new_rows_line_chart(b, "Data", 4, 2, 3, [1, 2], ["a", "b"]))),
    ("new_scatter_chart", 100, book_case(
        lambda b, s, u: rb.new_scatter_chart(b, ["a"], "Data", 4, 1.0, 3.0, 1, [2], None, "T",
                                             "X", "Y", ["blue"], ["circle"]))),
    ("new_scatter_chart-fails", 333, book_case(
        lambda b, s, u: rb.new_scatter_chart(b, ["a"], "Data", 4, None, {}, 1, [2], None, "T",
                                             "X", "Y", ["blue"], ["circle"]))),
    ("getBestTrainChart", 100, book_case(
        lambda b, s, u: rb.getBestTrainChart(b, 1, 2, 4, 1.0, 3.0, "logP", 1, "", "Data"))),
    ("getTestChart", 100, book_case(
        lambda b, s, u: rb.getTestChart(b, 1, [2], ["t"], ["blue"], ["circle"], "logP", "",
                                        "Data", 4, 1.0, 3.0, ""))),
    ("initiateExcelWriter", 100, lambda p: rb.initiateExcelWriter(
        fresh_writer(), dict(MODEL), {"Mark": ("m", "text"), "n": (1.5, "number")}, "/runs")),
    ("enrichExcelFile", 120, lambda p: rb.enrichExcelFile(
        fresh_writer(SHEETS), "logP", sheetList=SHEETS, frameList=[train().iloc[:, :3], train()]
        + [None] * 5, infolen=0)),
    ("enrichExcelFile-fails", 160, lambda p: rb.enrichExcelFile(
        fresh_writer(), "logP", sheetList=SHEETS[:3], frameList=[None] * 7)),
    ("enrichExcelPreproc", 100, lambda p: rb.enrichExcelPreproc(fresh_writer(), "Data", "x")),
    ("finishExcel-fails", 160, lambda p: rb.finishExcel(
        fresh_writer(), p.options, {}, SHEETS, [None] * 6, dict(MODEL), None, [0], 1, -1, 3,
        1, "", "nowhere.xlsx")),
]

READER_CASES = [
    ("getFrameFromExcel", 60, lambda p: tm.getFrameFromExcel(p.result, "Utilities")),
    ("getFrameFromExcel-fails", 333, lambda p: tm.getFrameFromExcel(p.missing, "Utilities")),
    ("getcustomproperties", 60, lambda p: tm.getcustomproperties(p.result, "Utilities")),
    ("getcustomproperty-fails", 333, lambda p: tm.getcustomproperty(None, "Utilities", "x")),
    ("searchExcelFile", 60, lambda p: tm.searchExcelFile(str(p.folder / "net.nnx"))),
    ("searchExcelFile-fails", 333, lambda p: tm.searchExcelFile(str(p.folder / "a)b.nnx"))),
    ("gettitles", 166, lambda p: tm.gettitles(p.csv, "csv", delimiter=",")),
    ("gettitles-xlsx", 100, lambda p: tm.gettitles(p.named, "xlsx", "Data!A1:B2", datafmt=["b", 0])),
    ("gettitles-xlsx-fails", 100, lambda p: tm.gettitles(p.named, "xlsx", "Data!A1:B2", datafmt=["c"])),
    ("getranges", 100, lambda p: tm.getranges(p.named, "xlsx")),
    ("analyseRangeData", 100, lambda p: tm.analyseRangeData(p.named, "xlsx", "block")),
    ("dataiterator", 166, lambda p: list(tm.dataiterator(p.csv, "csv", delimiter=",",
                                                         datafmt=[0, 1]))),
    ("dataiterator-fails", 166, lambda p: list(tm.dataiterator(p.missing, "xlsx"))),
    ("get_dataframe", 100, lambda p: tm.get_dataframe(p.named, "block")),
    ("getFrame", 80, lambda p: tm.getFrame(p.csv, "csv", delimiter=",")),
    ("getFrame-fails", 333, lambda p: tm.getFrame(p.csv, Hostile(), delimiter=",")),
]


def resident_bytes():
    with open("/proc/self/statm") as handle:
        return int(handle.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def footprint():
    gc.collect()
    refs = sys.gettotalrefcount() if hasattr(sys, "gettotalrefcount") else 0
    # Dead weak references pile up in the libraries' registries until their
    # next sweep; they keep nothing alive.
    objects = sum(1 for o in gc.get_objects() if type(o) is not weakref.ref)
    return objects, sys.getallocatedblocks(), refs, resident_bytes()


def run_many(call, place, times):
    sink = io.StringIO()
    with warnings.catch_warnings(), contextlib.redirect_stdout(sink):
        warnings.simplefilter("ignore")
        for _ in range(times):
            try:
                call(place)
            except Exception:
                pass
            sink.seek(0)
            sink.truncate()


def kept(call, place, times):
    """Growth of (live objects, allocated blocks, references, resident bytes)
    over a round of `times` calls, the least of three rounds."""
    # Caches of the libraries fill on the first calls and weak references
    # come and go: a kept object shows as growth in every round, noise does not.
    run_many(call, place, 2 * times)
    growth = []
    for _ in range(3):
        before = footprint()
        run_many(call, place, times)
        growth.append([a - b for a, b in zip(footprint(), before)])
    return [min(column) for column in zip(*growth)]


def assert_flat(growth, times):
    objects, blocks, refs, memory = growth
    # One object kept per call would grow each count by `times` at least.
    bound = times / 2 + 16
    assert objects < bound, "%d more live objects" % objects
    assert blocks < bound, "%d more allocated blocks" % blocks
    assert refs < bound, "%d more references" % refs
    # ASan keeps freed memory in quarantine, and an emulator (the armhf run,
    # TRELLIS_EMULATED) counts the code it translates as the process's:
    # resident size says nothing there.
    if "libasan" not in os.environ.get("LD_PRELOAD", "") and not os.environ.get("TRELLIS_EMULATED"):
        assert memory < 8 << 20, "%d more bytes resident" % memory


@pytest.mark.parametrize("name, times, call", WRITER_CASES + READER_CASES,
                         ids=[c[0] for c in WRITER_CASES + READER_CASES])
def test_repeated_calls_keep_nothing(name, times, call, place, monkeypatch):
    monkeypatch.setattr(rb, "home", str(place.folder / "no-vba"))
    monkeypatch.chdir(place.folder)
    assert_flat(kept(call, place, times), times)


@pytest.mark.parametrize("make", [lambda n: ["a"], lambda n: "%d" % (10 ** 6 + n)],
                         ids=["list", "text"])
def test_one_kept_object_a_call_is_noticed(make, place):
    store = []
    growth = kept(lambda p: store.append(make(len(store))), place, 200)
    with pytest.raises(AssertionError):
        assert_flat(growth, 200)
