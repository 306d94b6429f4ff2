"""Every function of both modules, called with hostile arguments.

Whatever a caller passes, a call returns or raises a Python exception: it
never takes the interpreter down, never hangs, and never leaves the workbook
it was given in a state where closing it fails.

TRELLIS_FUZZ_EXAMPLES sets the number of examples per function (small by
default); see the README for a long run.
"""
import os
import tempfile
import warnings
import zipfile

import pytest
from hypothesis import HealthCheck, given, settings

from helpers import fuzz as fp
from helpers.limits import seconds
from vireo.trellis import reportbook as rb
from vireo.trellis.datareader import tablemine as tm

FUZZ = settings(max_examples=fp.EXAMPLES, deadline=None, database=None,
                suppress_health_check=list(HealthCheck))


def functions(module):
    return sorted(n for n, v in vars(module).items() if type(v).__name__ == "nb_func")


@pytest.fixture(autouse=True)
def quiet_and_contained(monkeypatch, tmp_path):
    # Relative names given to a call land in the test's folder, and no VBA
    # project of the machine is picked up.
    monkeypatch.chdir(tmp_path)
    (tmp_path / "home").mkdir()
    monkeypatch.setattr(rb, "home", str(tmp_path / "home"))
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        yield


@pytest.fixture(scope="module")
def reader_files(tmp_path_factory):
    return fp.make_files(tmp_path_factory.mktemp("reader-files"))


def run_call(func, args, kwargs):
    """Call; a Python exception is a fine answer, but not an internal error."""
    try:
        with fp.time_limit(), fp.memory_limit():
            fp.consume(func(*args, **kwargs))
    except fp.CallTimeout:
        raise
    except SystemError as exc:  # a C API misuse surfacing
        pytest.fail("internal error %r" % exc)
    except MemoryError:
        pytest.fail("the call allocated past %d bytes" % fp.CALL_MEMORY)
    except Exception:
        pass


def check_workbooks_close(arena):
    paths = [p for w, p in zip(arena.writers, arena.paths) if not w.book.fileclosed]
    with fp.time_limit(fp.CLOSE_SECONDS):
        arena.close_all()
    for path in paths:
        if os.path.exists(path):
            with zipfile.ZipFile(path) as z:
                assert z.testzip() is None


def fuzz(func, strategy, reader_files=None):
    """Call `func` with every example `strategy` draws, each in a fresh arena."""
    @FUZZ
    @given(strategy)
    def check(call):
        with tempfile.TemporaryDirectory() as folder:
            arena = fp.Arena(folder, reader_files)
            try:
                args, kwargs = arena.build(list(call[0])), arena.build(call[1])
                run_call(func, args, kwargs)
            finally:
                check_workbooks_close(arena)

    check()


@pytest.mark.parametrize("name", functions(rb))
def test_writer_function(name):
    func = getattr(rb, name)
    fuzz(func, fp.call_arguments(fp.parameters(func)))


@pytest.mark.parametrize("name", functions(tm))
def test_reader_function(name, reader_files):
    func = getattr(tm, name)
    fuzz(func, fp.call_arguments(fp.parameters(func), reader=True, files=sorted(reader_files)),
         reader_files)


def test_the_arena_alone_closes_cleanly(tmp_path):
    # The fuzz tests blame the call for a workbook that fails to close: make
    # sure every value the arena builds closes on its own.
    arena = fp.Arena(tmp_path)
    for kind in ("writer", "writer-bare", "writer-closed", "book", "book-closed", "sheet",
                 "chartsheet", "options", "props"):
        arena.build(fp.Ref(kind))
    check_workbooks_close(arena)


HUGE_COUNTS = {
    # Columns are written one group per selected model, training or LOO
    # model: a huge count once looped past the sheet's last column for ever,
    # and columns past ZZZ were taken for A1.
    "test": lambda b, s, n: rb.enrichTestSheet(b, s, fp._frame("train"), 1, [n], 0.5, 2, 0),
    "train": lambda b, s, n: rb.enrichTrainSheet(b, s, fp._frame("train"), n, 1, 1, "p", 12, 0),
    "loo": lambda b, s, n: rb.enrichLOOTrainSheet(b, s, fp._frame("train"), 3, n, 1, 2, 12, 0),
}


@pytest.mark.parametrize("count", [5000, 2 ** 31])
@pytest.mark.parametrize("writer", sorted(HUGE_COUNTS))
def test_a_huge_count_ends_within_the_sheet(tmp_path, writer, count):
    arena = fp.Arena(tmp_path)
    book = arena.build(fp.Ref("book"))
    with fp.time_limit(seconds(10)):
        HUGE_COUNTS[writer](book, book.get_worksheet_by_name("data"), count)
    path = arena.paths[-1]
    check_workbooks_close(arena)
    with zipfile.ZipFile(path) as z:
        sheet = z.read("xl/worksheets/sheet1.xml").decode()
    assert '<c r="A1"' not in sheet


def test_a_hang_is_stopped():
    with pytest.raises(fp.CallTimeout):
        with fp.time_limit(0.2):
            while True:
                pass
