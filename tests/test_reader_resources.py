"""The reader off the GIL and within its means: reads from several threads
give the Frames, the properties and the search answer one thread gives;
Ctrl-C ends a long read at once, leaving no file open and no thread behind;
a read that runs out of memory says which file, sheet and shape.  Each
interrupted or capped read runs in a child process, whose CPU is what is
limited."""
import json
import os
import subprocess
import sys
from concurrent.futures import ThreadPoolExecutor

import pandas as pd
import pytest

from helpers.limits import seconds
from helpers.reader_files import write_result, write_sheet_data, write_xlsx
from vireo.trellis.datareader import tablemine as tm


@pytest.fixture(scope="module")
def books(tmp_path_factory):
    """A few result workbooks named like one model file, the last naming it, a
    sheet of a few thousand rows, and one whose part (9 MB) is large enough to be
    inflated by a thread ahead of the scan when a core is free for it."""
    folder = tmp_path_factory.mktemp("threads")
    model = str(folder / "net.nnx")
    paths = [write_result(folder / ("net_%d.xlsx" % i), [["Model file", model if i == 3 else "other%d" % i],
                                                       ["seed", i]])
             for i in range(4)]
    rows = [["ID", "x", "n", "label"]] + [["m%d" % r, r / 7, r, "t%d" % (r % 5)] for r in range(3000)]
    sheet = write_xlsx(folder / "sheet.xlsx", {"S": rows})
    row = "<row>" + "<c><v>%d</v></c><c><v>0.25</v></c>" * 5 + "</row>"
    chunks = ("".join(row % ((r,) * 5) for r in range(k, k + 10000)).encode() for k in range(0, 50000, 10000))
    large = write_sheet_data(folder / "large.xlsx", chunks)
    return dict(folder=folder, model=model, results=paths, sheet=sheet, large=large)


def on_one_core(call):
    """call() in a thread confined to one core (no thread ahead then), the
    thread's cores given back after."""
    allowed = os.sched_getaffinity(0)
    os.sched_setaffinity(0, {min(allowed)})
    try:
        return call()
    finally:
        os.sched_setaffinity(0, allowed)


def test_threads_read_what_one_thread_reads(books):
    calls = [lambda: tm.getFrameFromExcel(books["sheet"], "S"),
             lambda: tm.getcustomproperties(books["results"][1], "Utilities"),
             lambda: tm.getcustomproperty(books["results"][2], "Utilities", "seed"),
             lambda: tm.searchExcelFile(books["model"]),
             # a large part inflated ahead when alone, inline beside other such
             # reads or on one core: the Frame alike
             lambda: tm.getFrameFromExcel(books["large"], "Utilities")]
    if hasattr(os, "sched_setaffinity"):
        calls.append(lambda: on_one_core(calls[4]))
    alone = [call() for call in calls]
    assert alone[4].shape == (49999, 9)
    assert alone[3] == books["results"][3]
    with ThreadPoolExecutor(4) as pool:
        futures = [(i, pool.submit(calls[i])) for _ in range(4) for i in range(len(calls))]
        for i, future in futures:
            got = future.result()
            if isinstance(got, pd.DataFrame):
                pd.testing.assert_frame_equal(got, alone[i], check_exact=True)
            else:
                assert got == alone[i]


CHILD = r"""
import json, os, resource, signal, sys, threading, time
from vireo.trellis.datareader import tablemine as tm
path, call = sys.argv[1], sys.argv[2]
calls = {"getFrameFromExcel": lambda: tm.getFrameFromExcel(path, "Utilities"),
         "searchExcelFile": lambda: tm.searchExcelFile(os.path.join(os.path.dirname(path), "big.nnx"))}
def tasks():
    return len(os.listdir("/proc/self/task"))
def files():
    return len(os.listdir("/proc/self/fd"))
calls[call]()
before = tasks(), files()
start = time.process_time()
timer = threading.Timer(0.05, lambda: os.kill(os.getpid(), signal.SIGINT))
timer.start()
try:
    calls[call]()
    outcome = "result"
except KeyboardInterrupt:
    outcome = "KeyboardInterrupt"
cpu = time.process_time() - start
timer.join()
time.sleep(0.1)
print(json.dumps({"outcome": outcome, "cpu": cpu, "before": before, "after": [tasks(), files()],
                  "again": calls[call]().shape[0] if call == "getFrameFromExcel" else 0}))
"""


@pytest.fixture(scope="module")
def long_sheet(tmp_path_factory):
    """A property sheet whose read takes some tenths of a second of CPU, many times
    the signal's delay: the search for big.nnx reads it too."""
    folder = tmp_path_factory.mktemp("long")
    row = "<row>" + "<c><v>%d</v></c><c><v>0.25</v></c>" * 5 + "</row>"
    chunks = ("".join(row % ((r,) * 5) for r in range(k, k + 10000)).encode() for k in range(0, 300000, 10000))
    return write_sheet_data(folder / "big.xlsx", chunks)


@pytest.mark.parametrize("call", ["getFrameFromExcel", "searchExcelFile"])
def test_ctrl_c_ends_a_long_read_at_once(long_sheet, call):
    out = subprocess.run([sys.executable, "-c", CHILD, long_sheet, call], capture_output=True, text=True,
                         timeout=seconds(120))
    assert out.returncode == 0, out.stderr[-2000:]
    report = json.loads(out.stdout.splitlines()[-1])
    assert report["outcome"] == "KeyboardInterrupt"
    # the signal came 0.05 s in; the read's own CPU is several times more
    assert report["cpu"] < seconds(0.05 + 0.2)
    # no thread left running, no file left open; the next read whole
    assert report["after"] == list(report["before"])
    assert report["again"] in (0, 300000 - 1)


MEMORY_CHILD = r"""
import os, resource, sys
from vireo.trellis.datareader import tablemine as tm
path = sys.argv[1]
tm.getFrameFromExcel(sys.argv[2], "S")  # every module a read imports, imported
with open("/proc/self/status") as f:
    size = next(int(line.split()[1]) * 1024 for line in f if line.startswith("VmSize:"))
resource.setrlimit(resource.RLIMIT_AS, (size + (12 << 20), resource.RLIM_INFINITY))
try:
    bytearray(64 << 20)
    print("uncapped")  # an emulator (qemu-user) takes the cap and ignores it
    sys.exit(0)
except MemoryError:
    pass
try:
    tm.getFrameFromExcel(path, "Utilities")
    print("read")
except MemoryError as error:
    print("MemoryError", error)
"""


@pytest.mark.skipif("libasan" in os.environ.get("LD_PRELOAD", ""), reason="the sanitizer reserves the address space")
def test_out_of_memory_names_the_file_the_sheet_and_the_shape(books, long_sheet):
    out = subprocess.run([sys.executable, "-c", MEMORY_CHILD, long_sheet, books["sheet"]], capture_output=True,
                         text=True, timeout=seconds(120))
    assert out.returncode == 0, out.stderr[-2000:]
    report = out.stdout.strip().splitlines()[-1]
    if report == "uncapped":
        pytest.skip("the address space cannot be capped here")
    assert report.startswith("MemoryError '" + long_sheet + "': sheet 'Utilities': out of memory building a grid of ")
    assert " rows x 10 columns" in report
