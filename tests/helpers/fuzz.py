"""Strategies shared by the fuzzing and leak tests: hostile arguments for
every function of both modules, and the workbooks and files they act on.

Values that need a fresh object per call (writers, workbooks, Frames, run
options) are drawn as `Ref` tokens and built by an `Arena`, which also closes
what it built and tells whether the workbooks still close.
"""
import contextlib
import faulthandler
import io
import itertools
import os
import pathlib
import signal
import sys
import types
import warnings

import numpy as np
import pandas as pd
from hypothesis import strategies as st

from helpers.limits import seconds
from helpers.reader_files import write_csv, write_result, write_xls, write_xlsx
from helpers.writer_input import SHEETS, make_options

EXAMPLES = int(os.environ.get("TRELLIS_FUZZ_EXAMPLES", "25"))
# A call using more CPU seconds than this is taken for a hang.
CALL_SECONDS = float(os.environ.get("TRELLIS_FUZZ_CALL_SECONDS", seconds(20)))
# Closing the workbooks a call was given gets longer: older XlsxWriter
# releases (3.0.2 among them) place each comment by summing the widths of
# every column left of it, so a sheet of thousands of leverage comments
# closes in quadratic time there (15 s on a fast machine).
CLOSE_SECONDS = 6 * CALL_SECONDS


class Ref:
    """A value the arena builds afresh for each call."""

    def __init__(self, kind):
        self.kind = kind

    def __repr__(self):
        return "Ref(%r)" % self.kind


class Hostile:
    """An object whose every attribute, conversion and comparison raises."""

    def __init__(self, error=RuntimeError):
        object.__setattr__(self, "_error", error)

    def _raise(self, *args, **kwargs):
        raise object.__getattribute__(self, "_error")("hostile")

    def __getattr__(self, name):
        self._raise()

    __setattr__ = __delattr__ = __call__ = _raise
    __len__ = __iter__ = __bool__ = __index__ = __int__ = __float__ = __str__ = _raise
    __getitem__ = __setitem__ = __contains__ = __format__ = _raise
    __eq__ = __ne__ = __lt__ = __le__ = __gt__ = __ge__ = _raise
    __add__ = __radd__ = __sub__ = __rsub__ = __mul__ = __rmul__ = _raise
    __truediv__ = __rtruediv__ = __mod__ = __rmod__ = __neg__ = _raise
    __hash__ = None

    def __repr__(self):
        return "Hostile(%s)" % object.__getattribute__(self, "_error").__name__


class Endless:
    """A sequence that never ends: a length that lies, items forever."""

    def __len__(self):
        return 7

    def __getitem__(self, i):
        return "x"

    def __iter__(self):
        return itertools.repeat("x")


def _frame(kind):
    if kind == "empty":
        return pd.DataFrame()
    if kind == "rows0":
        return pd.DataFrame(columns=["ID", "measured"] + ["c%d" % i for i in range(7)])
    if kind == "one":
        return pd.DataFrame([[1.0] * 9])
    if kind == "train":
        return pd.DataFrame(np.arange(27, dtype=float).reshape(3, 9),
                            columns=["ID", "measured"] + ["c%d" % i for i in range(7)])
    if kind == "mixed":
        return pd.DataFrame({"a": [None, "x", float("nan")], "b": [1, 2, 3],
                             "c": [float("inf"), -float("inf"), 0.0]})
    if kind == "dates":
        return pd.DataFrame({"when": pd.to_datetime(["2020-01-01", "2021-06-30"]),
                             "span": pd.to_timedelta([1, 2], unit="D")})
    if kind == "category":
        return pd.DataFrame({"k": pd.Categorical(["a", "b", "a"]), "flag": [True, False, True]})
    if kind == "complex":
        return pd.DataFrame({"z": [1 + 2j, 3j]})
    if kind == "nullable":
        return pd.DataFrame({"n": pd.array([1, None, 3], dtype="Int64"),
                             "s": pd.array(["a", None, "c"], dtype="string")})
    if kind == "multicol":
        return pd.DataFrame([[1, 2, 3, 4]], columns=pd.MultiIndex.from_tuples(
            [("a", "x"), ("a", "y"), ("b", "x"), ("b", "y")]))
    if kind == "dupcols":
        return pd.DataFrame([[1, 2, 3]], columns=["a", "a", 7])
    if kind == "huge":
        return pd.DataFrame({"v": [2 ** 62, -2 ** 62], "w": [1e308, -1e-308]})
    raise KeyError(kind)


FRAME_KINDS = ["empty", "rows0", "one", "train", "mixed", "dates", "category", "complex",
               "nullable", "multicol", "dupcols", "huge"]


class Arena:
    """Builds the values a call is given inside one folder, and closes them after."""

    def __init__(self, folder, files=None):
        self.folder = str(folder)
        self.files = files or {}
        self.writers = []
        self.paths = []
        self.count = 0

    def _path(self, ext=".xlsx"):
        self.count += 1
        return os.path.join(self.folder, "w%d%s" % (self.count, ext))

    def writer(self, sheets=(), closed=False):
        path = self._path()
        writer = pd.ExcelWriter(path, engine="xlsxwriter")
        self.paths.append(path)
        for name in sheets:
            _frame("train").to_excel(writer, sheet_name=name)
        self.writers.append(writer)
        if closed:
            writer.close()
        return writer

    def options(self):
        return make_options(pathlib.Path(self.folder), copytxtcsv=True)

    def build(self, value):
        if isinstance(value, Ref):
            return self._build_ref(value.kind)
        if isinstance(value, list):
            return [self.build(v) for v in value]
        if isinstance(value, tuple):
            return tuple(self.build(v) for v in value)
        if isinstance(value, dict):
            return {k: self.build(v) for k, v in value.items()}
        return value

    def _build_ref(self, kind):
        head, _, rest = kind.partition(":")
        if head == "frame":
            return _frame(rest)
        if head == "file":
            return self.files[rest]
        if kind == "writer":
            return self.writer(SHEETS + ["data"])
        if kind == "writer-bare":
            return self.writer()
        if kind == "writer-closed":
            return self.writer(["data"], closed=True)
        if kind == "book":
            return self.writer(["data", "Utilities"]).book
        if kind == "book-closed":
            return self.writer(["data"], closed=True).book
        if kind == "sheet":
            return self.writer(["data"]).sheets["data"]
        if kind == "chartsheet":
            book = self.writer(["data"]).book
            sheet = book.add_chartsheet()
            chart = book.add_chart({"type": "line"})
            chart.add_series({"values": "=data!$B$2:$B$4"})
            sheet.set_chart(chart)
            return sheet
        if kind == "options":
            return self.options()
        if kind == "options-bare":
            return types.SimpleNamespace()
        if kind == "props":
            return {"Model file": ("/m/net.nnx", "text"), "Data count": (3, "number"),
                    "Flag": (True, "bool"), "Big": (float("inf"), "number")}
        if kind == "modeldic":
            return {"hidden": 3, "paramCount": 13, "mark": "m1", "hiddenlist": [1, 2],
                    "config": "c", "modelCount": 2}
        if kind == "stream":
            return io.StringIO()
        if kind == "folder":
            return self.folder
        raise KeyError(kind)

    def close_all(self):
        """Close every workbook still open; the first error of a close() is raised."""
        failure = None
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            for writer in self.writers:
                if writer.book.fileclosed:
                    continue
                try:
                    writer.close()
                except Exception as exc:  # keep closing the others
                    failure = failure or exc
        self.writers = []
        if failure is not None:
            raise failure


def make_files(folder):
    """The files the reader is fuzzed with, by name."""
    folder = str(folder)
    files = {
        "result": write_result(os.path.join(folder, "net_result.xlsx"),
                               [["Model file", os.path.join(folder, "net.nnx")],
                                ["Data count", 3], ["Big", "inf"]],
                               extra={"Data": [["a", "b", "c"], [1, 2, 3], [4, None, "x"]]}),
        "named": write_xlsx(os.path.join(folder, "named.xlsm"),
                            {"Data": [["a", "b", "c"], [1, 2.5, "t"], [3, None, True]]},
                            names={"block": "=Data!$A$1:$C$3"}),
        "xls": write_xls(os.path.join(folder, "old.xls"), {"S": [["a", "b"], [1, 2]]}),
        "csv": write_csv(os.path.join(folder, "d.csv"), [["a;b", "c"], ["1;2", "3"], ['"x', ""]]),
        "missing": os.path.join(folder, "nosuch.xlsx"),
        "folder": folder,
    }
    empty = os.path.join(folder, "empty.xlsx")
    open(empty, "wb").close()
    files["empty"] = empty
    return files


# --- the pool of hostile values ------------------------------------------------

INTS = st.sampled_from([0, 1, -1, 2, 7, -7, 255, 16384, 1048576, 2 ** 31, -2 ** 31 - 1,
                        2 ** 63, -2 ** 63 - 1, 10 ** 30])
FLOATS = st.sampled_from([0.0, -0.0, 0.5, -2.5, 1e308, -1e-308, float("nan"), float("inf"),
                          -float("inf")])
TEXTS = st.sampled_from(["", " ", "x", "data", "Results", "Training", "Utilities", "(", ")",
                         "a(2)", "%s", "%d %s", "{}", "{0}{1}", "{x}", "'", "''", "!", "A1",
                         "A1:B2", "Data!A1:C3", "block", "$A$1:$XFD$1048576", "=1/0", "\x00",
                         "é\u2028\U0001f600", "x" * 300, "csv", "xlsx", "xls", "txt", "ods",
                         "number", "text", "bool", "/", "..", "nosuch/dir/x"])
SCALARS = st.one_of(st.none(), st.booleans(), INTS, FLOATS, TEXTS,
                    st.sampled_from([b"x.xlsx", bytearray(b"ab"), 1 + 2j, np.float64("nan"),
                                     np.int64(-1), np.array([1, 2]), np.array([]), object(),
                                     Endless()]),
                    st.builds(Hostile, st.sampled_from([RuntimeError, KeyError, AttributeError,
                                                        TypeError])))
REFS = st.sampled_from([Ref(k) for k in ("writer", "writer-bare", "writer-closed", "book",
                                         "book-closed", "sheet", "chartsheet", "options",
                                         "options-bare", "props", "modeldic", "stream",
                                         "folder")]
                       + [Ref("frame:" + k) for k in FRAME_KINDS])
LEAVES = st.one_of(SCALARS, REFS)
POOL = st.recursive(
    LEAVES,
    lambda inner: st.one_of(st.lists(inner, max_size=8), st.lists(inner, max_size=8).map(tuple),
                            st.dictionaries(st.one_of(TEXTS, INTS), inner, max_size=4)),
    max_leaves=10)


def reader_pool(names):
    """The pool with the reader's files among the values."""
    return st.one_of(POOL, st.sampled_from([Ref("file:" + n) for n in names]))


# Values that get a call past its first checks, by parameter name, so that the
# deeper code meets the hostile values too.
_LIKELY_WRITER = {
    "Book": [Ref("book")], "Sheet": [Ref("sheet")], "UtilSheet": [Ref("sheet")],
    "Frame": [Ref("frame:train"), Ref("frame:mixed"), Ref("frame:rows0")],
    "writer": [Ref("writer")], "excelwriter": [Ref("writer")], "options": [Ref("options")],
    "gmCustomProperties": [Ref("props")], "gmProperties": [Ref("props")],
    "modeldic": [Ref("modeldic")], "sheetname": ["data", "Results"],
    "mastersheetname": ["data"], "testsheetname": ["data"], "sheetName": ["data"],
    "sheetList": [SHEETS], "frameList": [[Ref("frame:train")] + [None] * 6,
                                           [Ref("frame:rows0")] * 7],
    "IDlist": [[0]], "tempres": ["w1.xlsx"], "filename": ["info.txt"],
    "names": [["a", "b"]], "colors": [["red", "blue"]], "shapes": [["circle", "square"]],
    "expectedcols": [[1, 2]], "maxreclist": [[1], ["_"]],
}
_LIKELY_READER = {
    "filename": [Ref("file:result"), Ref("file:named"), Ref("file:xls"), Ref("file:csv")],
    "nnxfile": [Ref("file:result")],
    "sheetname": ["Utilities", "Data", "S"], "filetype": ["xlsx", "xlsm", "xls", "csv", ""],
    "datarange": ["", "block", "Data!A1:C3", "Data"], "datafmt": [None, [0, 1, 2], ["a", "c"]],
    "delimiter": [";", ","], "datafields": [None, ["a", "b"], "a,b"],
}


def argument_strategy(param, reader=False, files=()):
    pool = reader_pool(files) if reader else POOL
    likely = (_LIKELY_READER if reader else _LIKELY_WRITER).get(param)
    if likely:
        # three times in four a likely value
        return st.one_of(st.sampled_from(likely), st.sampled_from(likely),
                         st.sampled_from(likely), pool)
    return pool


@st.composite
def call_arguments(draw, params, reader=False, files=()):
    """(args, kwargs) for a function whose parameters are `params` [(name, has_default)].

    Mostly every required parameter, some optional ones, part by position and
    the rest by keyword; now and then too few, too many or an unknown keyword.
    """
    names = [p for p, _ in params]
    required = [p for p, has_default in params if not has_default]
    shape = draw(st.sampled_from(["normal"] * 12 + ["fewer", "more", "unknown"]))
    chosen = list(required)
    for name, has_default in params:
        if has_default and draw(st.booleans()):
            chosen.append(name)
    chosen.sort(key=names.index)
    if shape == "fewer" and chosen:
        chosen.pop(draw(st.integers(0, len(chosen) - 1)))
    values = {name: draw(argument_strategy(name, reader, files)) for name in chosen}
    # Parameters are positional up to the first one left out.
    prefix = 0
    while prefix < len(chosen) and chosen[prefix] == names[prefix]:
        prefix += 1
    npos = draw(st.sampled_from([prefix] * 3 + list(range(prefix + 1))))
    args = [values[n] for n in chosen[:npos]]
    kwargs = {n: values[n] for n in chosen[npos:]}
    if shape == "more":
        # every parameter by position, and one more
        args = [values[n] if n in values else draw(POOL) for n in names] + [draw(POOL)]
        kwargs = {}
    if shape == "unknown":
        kwargs["nosuchparameter"] = None
    return args, kwargs


def parameters(func):
    """[(name, has_default)] of a bound function, read from its signature."""
    import inspect
    try:
        sig = inspect.signature(func)
        return [(p.name, p.default is not inspect.Parameter.empty)
                for p in sig.parameters.values()]
    except (TypeError, ValueError):
        pass
    import ast
    import re
    text = func.__nb_signature__[0][0]
    text = re.sub(r"\\\d+", "None", text)
    tree = ast.parse(text.split(" -> ")[0] + ": pass")
    a = tree.body[0].args
    names = [x.arg for x in a.posonlyargs + a.args]
    first_default = len(names) - len(a.defaults)
    return [(n, i >= first_default) for i, n in enumerate(names)]


class CallTimeout(BaseException):
    """A call ran past its time; a BaseException so that no caller code swallows it."""


@contextlib.contextmanager
def time_limit(seconds=CALL_SECONDS):
    """Interrupt a call that uses more than `seconds` of CPU (the process's, every
    thread's: waiting for a core on a busy machine does not count); if even that
    does not stop it (a loop that never returns to Python), or the call waits
    without computing, end the process after three times as long on the clock
    and a minute more (a busy machine gives the call a share of a core), with
    the tracebacks of every thread, rather than hang the run."""
    def expire(signum, frame):
        raise CallTimeout("call used more than %s s of CPU" % seconds)

    previous = signal.signal(signal.SIGPROF, expire)
    signal.setitimer(signal.ITIMER_PROF, seconds)
    # pytest holds what the process writes on its standard error until the
    # test ends, and ending the process loses it: the tracebacks go to
    # TRELLIS_FUZZ_HANG_LOG when it is set (CI prints it).
    hang_log = os.environ.get("TRELLIS_FUZZ_HANG_LOG")
    report = open(hang_log, "w") if hang_log else sys.stderr
    faulthandler.dump_traceback_later(seconds * 3 + 60, exit=True, file=report)
    try:
        yield
    finally:
        signal.setitimer(signal.ITIMER_PROF, 0)
        faulthandler.cancel_dump_traceback_later()
        signal.signal(signal.SIGPROF, previous)
        if hang_log:
            report.close()


# Room a single call may take beyond what the process holds already.
CALL_MEMORY = int(os.environ.get("TRELLIS_FUZZ_CALL_MEMORY", str(4 << 30)))


@contextlib.contextmanager
def memory_limit(extra=CALL_MEMORY):
    """Cap the address space at its present size plus `extra`, so that a call
    that allocates without end fails with MemoryError instead of bringing
    the out-of-memory killer onto the whole run.  Not under AddressSanitizer,
    which reserves terabytes of shadow memory at start."""
    if "asan" in os.environ.get("LD_PRELOAD", ""):
        yield
        return
    import resource
    with open("/proc/self/statm") as f:
        size = int(f.read().split()[0]) * os.sysconf("SC_PAGE_SIZE")
    previous = resource.getrlimit(resource.RLIMIT_AS)
    resource.setrlimit(resource.RLIMIT_AS, (size + extra, previous[1]))
    try:
        yield
    finally:
        resource.setrlimit(resource.RLIMIT_AS, previous)


def consume(result, limit=100000):
    """Run a generator result to its end (or `limit` rows)."""
    if isinstance(result, types.GeneratorType):
        return list(itertools.islice(result, limit))
    return result
