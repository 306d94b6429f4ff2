"""One benchmark measurement in a process of its own; prints one JSON object.

    python bench/worker.py SCENARIO FOLDER [ARGS...]

Scenarios:
  floor   write the large campaign's Frames through pandas and close the writer
  finish  write the same Frames, then finishExcel (which closes the workbook)
  standin finishExcel against a writer and workbook whose calls do nothing
  read    the reader against pandas.read_excel (openpyxl) alone and the installed peers,
          on a finished workbook (ARGS: path)
  peak    one read of the training sheet, for its peak memory (ARGS: path, READER: ours,
          pandas or a peer)
  search  searchExcelFile in a folder of result workbooks, and the peers' equivalent
          (ARGS: folder, model file)
  range   get_dataframe over a range of 10,000 rows, and gettitles of a small range beside
          far cells, natively and through the toolkit's Excel reader

The peers are the other readers a user can pick, each asked for what ours gives:
fastexcel and python-calamine (each read, then indexed by its first column as
ours is), and pandas.read_excel with its calamine engine.  Those not installed
are left out (`pip install .[bench]` installs them).
"""
import contextlib
import io
import json
import os
import resource
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)


def peak_rss_mib():
    # ru_maxrss is in KiB on Linux.
    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024.0


def current_rss_mib():
    with open("/proc/self/statm") as f:
        pages = int(f.read().split()[1])
    return pages * os.sysconf("SC_PAGE_SIZE") / (1024.0 * 1024.0)


def write_scenario(folder, finishing):
    import campaign

    frames = campaign.frames(campaign.LARGE)
    opts = campaign.options(folder, campaign.LARGE)
    tempres = os.path.join(folder, ".bench.tmp.xlsx")
    base_rss = current_rss_mib()
    start = time.perf_counter()
    writer = campaign.open_writer(tempres)
    campaign.write_frames(writer, frames)
    written = time.perf_counter()
    closing = []
    book_close = writer.book.close

    def timed_close():
        # The workbook's own close (XML and zip of every sheet), apart from the rest.
        start = time.perf_counter()
        try:
            return book_close()
        finally:
            closing.append(time.perf_counter() - start)

    writer.book.close = timed_close
    with contextlib.redirect_stdout(io.StringIO()):
        if finishing:
            path = campaign.finish(writer, opts, frames, tempres)
        else:
            writer.close()
            path = tempres
    end = time.perf_counter()
    return dict(write_s=written - start, end_s=end - written, total_s=end - start,
                book_close_s=sum(closing),
                peak_rss_mib=peak_rss_mib(), base_rss_mib=base_rss,
                cells=campaign.cell_count(frames), path=path, size_bytes=os.path.getsize(path))


def standin_scenario(folder, repeats=5):
    import campaign
    import standin
    from vireo.trellis import demo

    frames = campaign.frames(campaign.LARGE)
    # The cells as pandas leaves them (the real writer is never closed).
    real = campaign.open_writer(os.path.join(folder, ".cells.xlsx"))
    campaign.write_frames(real, frames)
    tables = {name: real.sheets[name].table for name in demo.SHEETS}
    times = []
    for i in range(repeats):
        opts = campaign.options(folder, campaign.LARGE)
        tempres = os.path.join(folder, ".standin-%d.tmp.xlsx" % i)
        writer = standin.NullWriter(tempres, demo.SHEETS, tables)
        start = time.perf_counter()
        with contextlib.redirect_stdout(io.StringIO()):
            path = campaign.finish(writer, opts, frames, tempres)
        times.append(time.perf_counter() - start)
        os.remove(path)
    return dict(finish_s=min(times), times_s=times)


def best_of(repeats, *calls):
    """Interleaved runs of each call; the least time of each (the least disturbed run)."""
    best = [float("inf")] * len(calls)
    for _ in range(repeats):
        for i, call in enumerate(calls):
            start = time.perf_counter()
            call()
            best[i] = min(best[i], time.perf_counter() - start)
    return best


def first_column_index(frame):
    return frame.set_index(frame.columns[0])


def properties_of(names, values):
    """The property table as ours gives it: rows named by a text (python-calamine gives
    an empty cell as "")."""
    return {k: v for k, v in zip(names, values) if isinstance(k, str) and k}


def fastexcel_frame(path, sheet):
    import fastexcel
    return first_column_index(fastexcel.read_excel(path).load_sheet_by_name(sheet).to_pandas())


def fastexcel_properties(path):
    import fastexcel
    # The table's titles stand in the second row; fastexcel starts at the
    # first row that holds a cell.
    frame = fastexcel.read_excel(path).load_sheet_by_name("Utilities").to_pandas()
    return properties_of(frame["property"], frame["value"])


def calamine_rows(path, sheet):
    from python_calamine import CalamineWorkbook
    return CalamineWorkbook.from_path(path).get_sheet_by_name(sheet).to_python()


def calamine_frame(path, sheet):
    import pandas as pd
    rows = calamine_rows(path, sheet)
    return first_column_index(pd.DataFrame(rows[1:], columns=rows[0]))


def calamine_properties(path):
    rows = calamine_rows(path, "Utilities")  # from the first row that holds a cell
    name, value = rows[0].index("property"), rows[0].index("value")
    return properties_of([r[name] for r in rows[1:]], [r[value] for r in rows[1:]])


def pandas_calamine_frame(path, sheet):
    import pandas as pd
    return pd.read_excel(path, sheet, index_col=0, engine="calamine")


def pandas_calamine_properties(path):
    import pandas as pd
    frame = pd.read_excel(path, "Utilities", skiprows=[0], engine="calamine")
    return properties_of(frame["property"], frame["value"])


def peers():
    """{name: (read a sheet indexed by its first column, read the property table)} of
    the peers installed."""
    found = {}
    try:
        import fastexcel  # noqa: F401
        import pyarrow  # noqa: F401  (fastexcel's Frames for pandas)
        found["fastexcel"] = (fastexcel_frame, fastexcel_properties)
    except ImportError:
        pass
    try:
        import python_calamine  # noqa: F401
        found["python-calamine"] = (calamine_frame, calamine_properties)
        import pandas as pd
        if tuple(int(p) for p in pd.__version__.split(".")[:2]) >= (2, 2):
            found["pandas+calamine"] = (pandas_calamine_frame, pandas_calamine_properties)
    except ImportError:
        pass
    return found


def read_scenario(path):
    """The reader against pandas.read_excel with openpyxl, the engine it replaces."""
    import pandas as pd
    from vireo.trellis.datareader import tablemine

    others = peers()
    reads = [
        # name, ours, pandas alone, the peer's, runs (the least time is kept), target speed-up
        ("getcustomproperties Utilities", lambda: tablemine.getcustomproperties(path, "Utilities"),
         lambda: pd.read_excel(path, "Utilities", skiprows=[0], engine="openpyxl"),
         lambda peer: lambda: peer[1](path), 5, 100),
        ("getFrameFromExcel Results", lambda: tablemine.getFrameFromExcel(path, "Results", reduce=True),
         lambda: pd.read_excel(path, "Results", index_col=0, engine="openpyxl"),
         lambda peer: lambda: peer[0](path, "Results"), 5, None),
        ("getFrameFromExcel Training", lambda: tablemine.getFrameFromExcel(path, "Training"),
         lambda: pd.read_excel(path, "Training", index_col=0, engine="openpyxl"),
         lambda peer: lambda: peer[0](path, "Training"), 2, 25),
    ]
    out = {}
    for name, ours, theirs, peer_call, runs, target in reads:
        calls = [ours, theirs, theirs] + [peer_call(peer) for peer in others.values()]
        # One unmeasured read of each first: the file is then in the page cache for all.
        for call in calls[1:]:
            call()
        # pandas a second time: the difference of the two pandas figures is the
        # measurement's noise on this machine.
        times = best_of(runs, *calls)
        out[name] = dict(ours_s=times[0], pandas_s=times[1], pandas_again_s=times[2], target=target,
                         peers=dict(zip(others, times[3:])))
    return dict(reads=out)


def peak_scenario(path, who):
    """Peak memory of one read of the training sheet, by us or by pandas alone."""
    import pandas as pd
    from vireo.trellis.datareader import tablemine

    # Each reader's modules are imported before the base figure is taken.
    peer_read = peers()[who][0] if who not in ("ours", "pandas") else None
    base = peak_rss_mib()
    if who == "ours":
        frame = tablemine.getFrameFromExcel(path, "Training")
    elif who == "pandas":
        frame = pd.read_excel(path, "Training", index_col=0, engine="openpyxl")
    else:
        frame = peer_read(path, "Training")
    return dict(who=who, shape=list(frame.shape), base_rss_mib=base)


def search_scenario(folder, model_file, repeats=2):
    import pandas as pd
    from vireo.trellis.datareader import tablemine

    books = sorted(os.path.join(folder, f) for f in os.listdir(folder) if f.endswith(".xlsx"))

    def pandas_alone():
        for book in books:
            frame = pd.read_excel(book, "Utilities", skiprows=[0], engine="openpyxl")
            names, values = list(frame["property"]), list(frame["value"])
            values[names.index("Model file")] == model_file

    def peer_search(properties):
        # What searchExcelFile does: the workbooks whose names start with the
        # model file's stem, the first that names it.
        stem = os.path.splitext(os.path.basename(model_file))[0].split("(")[0]
        return lambda: next((book for book in books if os.path.basename(book).startswith(stem)
                             and properties(book).get("Model file") == model_file), "")

    others = peers()
    found = tablemine.searchExcelFile(model_file)
    times = best_of(repeats, lambda: tablemine.searchExcelFile(model_file), pandas_alone,
                    pandas_alone, *[peer_search(peer[1]) for peer in others.values()])
    return dict(workbooks=len(books), found=found, ours_s=times[0], pandas_s=times[1],
                pandas_again_s=times[2], peers=dict(zip(others, times[3:])))


def range_scenario(folder, rows=10000):
    import xlsxwriter
    from vireo.trellis.datareader import tablemine

    path = os.path.join(folder, "range.xlsx")
    book = xlsxwriter.Workbook(path)
    sheet = book.add_worksheet("Data")
    sheet.write_row(0, 0, ["ID", "x1", "x2", "count", "logP"])
    for r in range(1, rows + 1):
        sheet.write_row(r, 0, ["m%d" % r, r * 1e-10, (r % 97) / 7, r, 0.5 * r])
    book.close()
    where = "Data!A1:E%d" % (rows + 1)
    # A few kilobytes: the range's sheet is small, the others hold one far cell each.
    far = os.path.join(folder, "far.xlsx")
    book = xlsxwriter.Workbook(far)
    book.add_worksheet("S").write_row(0, 0, ["a", "b"])
    book.add_worksheet("Tall").write(999999, 0, 1)
    book.add_worksheet("Wide").write(0, 16383, 1)
    book.close()

    own, choose = tablemine.Excel, tablemine.getExcelType
    frame = tablemine.get_dataframe(path, where)
    ours_s, titles_s = best_of(3, lambda: tablemine.get_dataframe(path, where),
                               lambda: tablemine.gettitles(far, "xlsx", "S!A1:B2"))
    # The toolkit's reader, which the module calls when a class is rebound in
    # its place: openpyxl's full reading of every sheet.
    reader = type("Excel", (own,), {})
    tablemine.getExcelType = lambda ft: reader
    try:
        reader_s, reader_titles_s = best_of(1, lambda: tablemine.get_dataframe(path, where),
                                            lambda: tablemine.gettitles(far, "xlsx", "S!A1:B2"))
    finally:
        tablemine.getExcelType = choose
    return dict(rows=rows, shape=list(frame.shape), small_kept=bool(frame["x1"].iloc[0] == 1e-10),
                ours_s=ours_s, reader_s=reader_s, far_bytes=os.path.getsize(far),
                titles_s=titles_s, reader_titles_s=reader_titles_s)


def main(argv):
    scenario, folder = argv[0], argv[1]
    if scenario == "floor":
        result = write_scenario(folder, False)
    elif scenario == "finish":
        result = write_scenario(folder, True)
    elif scenario == "standin":
        result = standin_scenario(folder)
    elif scenario == "read":
        result = read_scenario(argv[2])
    elif scenario == "peak":
        result = peak_scenario(argv[2], argv[3])
    elif scenario == "search":
        result = search_scenario(folder, argv[2])
    elif scenario == "range":
        result = range_scenario(folder)
    else:
        raise SystemExit(__doc__)
    result["scenario"] = scenario
    result["peak_rss_mib"] = result.get("peak_rss_mib", peak_rss_mib())
    print(json.dumps(result))


if __name__ == "__main__":
    main(sys.argv[1:])
