"""The row generator and the Frames built from files, ranges and sheets."""
import copy
import gc

import pandas as pd
import pytest

from helpers.reader_files import write_csv, write_xls, write_xlsx
from vireo.trellis.datareader import tablemine as tm

ROWS = [["ID", "smiles", "logP"]] + [["m%d" % i, "C" * i, 0.5 * i] for i in range(1, 4)]


class Boom(Exception):
    pass


def recording_reader(log, rows=ROWS, fail_at=None, suppress=False):
    """A reader class that logs how it is used; its rows fail at ``fail_at``."""

    class Reader:
        def __init__(self, filename, **kw):
            log.append(("init", filename, copy.deepcopy(kw)))

        def __enter__(self):
            log.append("enter")
            return self

        def __exit__(self, typ, value, tb):
            log.append(("exit", typ))
            return suppress

        def iterData(self, **kw):
            log.append(("iterData", copy.deepcopy(kw)))
            for i, row in enumerate(rows):
                if i == fail_at:
                    raise Boom("cell %d unreadable" % i)
                yield row

    return Reader


@pytest.fixture
def log(monkeypatch):
    entries = []
    monkeypatch.setattr(tm, "getExcelType", lambda ft: recording_reader(entries))
    return entries


def test_nothing_runs_before_the_first_row(log):
    rows = tm.dataiterator("f.csv", "csv", "R", 2, ";", ["a"], True)
    assert log == []
    assert next(rows) == ROWS[0]
    assert log == [("init", "f.csv", {"arange": "R", "datafmt": ["a"], "load": True, "headerOnly": True}),
                   "enter", ("iterData", {"datarange": "R", "datafmt": ["a"], "skipline": 2})]
    assert list(rows) == ROWS[1:]
    assert log[-1] == ("exit", None)
    assert list(rows) == []


def test_default_datafmt_is_one_shared_list(monkeypatch):
    seen = []
    monkeypatch.setattr(tm, "getExcelType", lambda ft: type("R", (), {
        "__init__": lambda self, f, **kw: seen.append(kw["datafmt"]),
        "__enter__": lambda self: self, "__exit__": lambda self, *e: None,
        "iterData": lambda self, **kw: iter(())}))
    list(tm.dataiterator("a"))
    list(tm.dataiteratorloc("b"))
    assert seen == [[0, 1, 2]] * 2 and seen[0] is seen[1]


@pytest.mark.parametrize("leave", ["close", "del", "cycle", "throw"])
def test_context_left_when_stopped_early(log, leave):
    fmt = [0]
    rows = tm.dataiterator("f.csv", datafmt=fmt)
    next(rows)
    if leave == "cycle":  # reachable only from itself: the collector finalizes it
        fmt.append(rows)
        del rows, fmt
        assert [e for e in log if e[0] == "exit"] == []
        gc.collect()
    elif leave == "close":
        rows.close()
        rows.close()
    elif leave == "del":
        del rows
        gc.collect()
    else:
        err = Boom("stop")
        with pytest.raises(Boom) as info:
            rows.throw(err)
        assert info.value is err
    assert log.count("enter") == 1
    assert [e for e in log if e[0] == "exit"] == [("exit", GeneratorExit if leave != "throw" else Boom)]


def test_error_is_printed_once_and_raised_again(monkeypatch, capsys):
    log = []
    monkeypatch.setattr(tm, "getExcelType", lambda ft: recording_reader(log, fail_at=2))
    rows = tm.dataiterator("f.xlsx", "xlsx")
    assert [next(rows), next(rows)] == ROWS[:2]
    with pytest.raises(Boom, match="cell 2 unreadable"):
        next(rows)
    assert capsys.readouterr().out == "cell 2 unreadable\n"
    assert log[-1] == ("exit", Boom)
    with pytest.raises(StopIteration):
        next(rows)


def test_handled_error_ends_the_rows(monkeypatch, capsys):
    log = []
    monkeypatch.setattr(tm, "getExcelType", lambda ft: recording_reader(log, fail_at=1, suppress=True))
    assert list(tm.dataiterator("f")) == ROWS[:1]
    assert capsys.readouterr().out == ""


def test_generator_protocol_misuse(log, monkeypatch):
    rows = tm.dataiterator("f")
    with pytest.raises(TypeError):
        rows.send(1)
    with pytest.raises(Boom):  # thrown before the start: raised as is, nothing opened
        tm.dataiterator("f").throw(Boom)
    assert rows.send(None) == ROWS[0]
    assert log.count("enter") == 1

    class Reentrant:
        def __init__(self, filename, **kw):
            pass

        def __enter__(self):
            return self

        def __exit__(self, *exc):
            return False

        def iterData(self, **kw):
            yield next(Reentrant.gen)

    monkeypatch.setattr(tm, "getExcelType", lambda ft: Reentrant)
    Reentrant.gen = tm.dataiterator("g")
    with pytest.raises(ValueError, match="already executing"):
        next(Reentrant.gen)

    # Every way in is refused while the body runs, close() and send() too,
    # as Python refuses them; a thread resuming it meanwhile alike.
    import threading
    running, resume = threading.Event(), threading.Event()
    refusals = []

    class Waiting(Reentrant):
        def iterData(self, **kw):
            running.set()
            resume.wait(10)
            yield "row"

    def reenter():
        running.wait(10)
        for way in (next, lambda g: g.send(None), lambda g: g.close(), lambda g: g.throw(Boom)):
            try:
                way(Waiting.gen)
            except ValueError as e:
                refusals.append(str(e))
        resume.set()

    monkeypatch.setattr(tm, "getExcelType", lambda ft: Waiting)
    Waiting.gen = tm.dataiterator("g")
    other = threading.Thread(target=reenter)
    other.start()
    assert next(Waiting.gen) == "row"
    other.join()
    assert refusals == ["generator already executing"] * 4
    assert list(Waiting.gen) == []


def test_unknown_type_and_failing_construction(monkeypatch, capsys):
    assert list(tm.dataiterator("f.ods", "ods")) == []

    def refuse(filename, **kw):
        raise StopIteration

    monkeypatch.setattr(tm, "getExcelType", lambda ft: refuse)
    with pytest.raises(RuntimeError) as info:
        next(tm.dataiterator("f"))
    assert isinstance(info.value.__cause__, StopIteration)
    monkeypatch.setattr(tm, "getExcelType", lambda ft: object)
    with pytest.raises(TypeError):
        next(tm.dataiterator("f"))
    assert capsys.readouterr().out.count("\n") == 2


def test_rows_of_real_files(tmp_path, capsys, range_reader):
    csv_path = write_csv(tmp_path / "d.csv", ROWS)
    assert list(tm.dataiterator(csv_path)) == ROWS
    xlsx = write_xlsx(tmp_path / "d.xlsx", {"S": ROWS})
    assert list(tm.dataiterator(xlsx, "xlsx", "S!A1:C3", datafmt=[2, 0])) == [
        ["logP", "ID"], [0.5, "m1"], [1.0, "m2"]]
    if range_reader == "library":  # natively only, an .xls file is an error
        xls = write_xls(tmp_path / "d.xls", {"S": ROWS})
        assert list(tm.dataiterator(xls, "xls", skipline=1, datafmt=[0])) == [["m1"], ["m2"], ["m3"]]
    with pytest.raises(FileNotFoundError):
        list(tm.dataiterator(str(tmp_path / "missing.csv")))
    assert "No such file" in capsys.readouterr().out


# --- Frames -------------------------------------------------------------------


@pytest.fixture
def wide_csv(tmp_path):
    rows = [["a", "b", "c", "d"]] + [[i, "x%d" % i, 2 * i, 3 * i] for i in range(10)]
    return write_csv(tmp_path / "w.csv", rows)


def test_frame_from_text_file(tmp_path, wide_csv):
    frame = tm.get_dataframe(write_csv(tmp_path / "d.csv", ROWS), filetype="csv")
    assert list(frame.columns) == ROWS[0] and list(frame.index) == [0, 1, 2]
    assert frame.loc[2, "ID"] == "m3"
    assert list(tm.get_dataframe(wide_csv, datafields=[["a", "b"], ["d"]], filetype="txt").columns) == ["a", "b", "d"]
    assert list(tm.get_dataframe(wide_csv, datafields=["c", "a"], filetype="csv").columns) == ["c", "a"]
    empty = tmp_path / "e.csv"
    empty.write_text("")
    assert tm.get_dataframe(str(empty), filetype="csv").empty


@pytest.mark.parametrize("indexfield, drop, index, columns", [
    (1, False, "b", ["a", "b", "c", "d"]),
    (3, True, "d", ["a", "b", "c"]),
    (4, True, None, ["a", "b", "c", "d"]),  # past the last column: no index
    (9, True, None, ["a", "b", "c", "d"]),
    (-1, True, None, ["a", "b", "c", "d"]),
])
def test_index_by_column_position(wide_csv, indexfield, drop, index, columns):
    frame = tm.get_dataframe(wide_csv, filetype="csv", indexfield=indexfield, drop=drop)
    assert frame.index.name == index and list(frame.columns) == columns
    with pytest.raises(TypeError):
        tm.get_dataframe(wide_csv, filetype="csv", indexfield="a")


@pytest.mark.usefixtures("range_reader")
def test_frame_from_workbook_range_and_sheets(tmp_path):
    path = write_xlsx(tmp_path / "d.xlsx", {"First": ROWS, "Second": [["u", "v"], [1, 2]]})
    ranged = tm.get_dataframe(path, "First!A1:B3", datafields=[1])
    assert list(ranged.columns) == ["smiles"] and list(ranged["smiles"]) == ["C", "CC"]
    assert list(tm.get_dataframe(path, sheetname="Second").columns) == ["u", "v"]
    first = tm.get_dataframe(path)  # no range, no sheet: the first sheet
    assert isinstance(first, pd.DataFrame) and list(first.columns) == ROWS[0]
    assert tm.get_dataframe(path, "First!E1:F4").empty


@pytest.mark.usefixtures("range_reader")
def test_frame_over_a_range_keeps_every_value(tmp_path):
    # A column begun with integers keeps the small floats after them, and
    # every column takes the type of all its values.
    rows = [["v", "n", "m"], [0, 1, "a"], [1e-10, 2, 1], [1e-300, 3, None], [3, 4, 2.5]]
    frame = tm.get_dataframe(write_xlsx(tmp_path / "d.xlsx", {"S": rows}), "S!A1:C5")
    assert list(frame.columns) == ["v", "n", "m"] and list(frame.index) == [0, 1, 2, 3]
    assert frame["v"].tolist() == [0, 1e-10, 1e-300, 3]
    assert frame["n"].tolist() == [1, 2, 3, 4] and frame["n"].dtype == "int64"
    assert frame["m"].tolist()[:2] == ["a", 1] and frame["m"].tolist()[3] == 2.5


def test_frame_from_rows_of_other_shapes(monkeypatch):
    # Rows that are no list of one value a column are set by .loc, as ever.
    def source(rows):
        monkeypatch.setattr(tm, "getExcelType", lambda ft: recording_reader([], rows=rows))
        return tm.get_dataframe("f.xlsx", "R")

    assert source([["a", "b"], (1, 2), [3, 4]]).values.tolist() == [[1, 2], [3, 4]]
    assert source([["a", "b"], {"b": 1, "a": 2}]).values.tolist() == [[2, 1]]
    with pytest.raises(ValueError):
        source([["a", "b"], [1]])


@pytest.mark.usefixtures("range_reader")
def test_getFrame(tmp_path):
    data = write_csv(tmp_path / "data.CSV", [["Name", "Id", 2016, "Value"], ["n1", 1, 5, 0.5], ["n2", 2, 6, 0.7]])
    assert list(tm.getFrame(data).columns) == ["Name", "Id", 2016, "Value"]
    assert tm.getFrame(data, indexfield=["ID", "name"]).index.name == "Name"
    assert tm.getFrame(data, indexfield=("value",)).index.name == "Value"
    assert tm.getFrame(data, indexfield="id").index.name is None
    assert tm.getFrame(data, indexfield="Id").index.name == "Id"
    assert tm.getFrame(data, indexfield=0).index.name is None
    assert tm.getFrame(data, indexfield=2016).index.name == 2016
    with pytest.raises(AttributeError):
        tm.getFrame(data, indexfield=["Id", 3])
    with pytest.raises(KeyError):
        tm.getFrame(data, indexfield=3)
    assert tm.getFrame(data, "ods") is None
    assert tm.getFrame(str(tmp_path / "x.json")) is None
    book = write_xlsx(tmp_path / "b.xlsx", {"S": [["Id", "v"], ["a", 1]], "T": [["z"]]})
    assert list(tm.getFrame(book, indexfield="Id").index) == ["a"]
