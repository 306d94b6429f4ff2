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
  books   the sheets of numbers of the memory rows (ARGS: 1 to write the 1,000,000-row ones)
  threads reads from 2 threads against the same reads in turn (ARGS: path)
  inflate with TRELLIS_SCANNER=0 in its environment: the same read by expat alone
  interrupt how soon SIGINT ends a long read (ARGS: path, sheet)
  inflate CPU of a sheet's read against inflating its member alone (ARGS: path, sheet, member)
  growth  one read's CPU and peak memory growth against its Frame (ARGS: path, READER: ours,
          fastexcel or python-calamine, LAYOUT: indexed or plain)

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


CONTENT_TYPES = (
    '<?xml version="1.0" encoding="UTF-8" standalone="yes"?>\n'
    '<Types xmlns="http://schemas.openxmlformats.org/package/2006/content-types">'
    '<Default Extension="rels" ContentType="application/vnd.openxmlformats-package.relationships+xml"/>'
    '<Default Extension="xml" ContentType="application/xml"/>'
    '<Override PartName="/xl/workbook.xml" '
    'ContentType="application/vnd.openxmlformats-officedocument.spreadsheetml.sheet.main+xml"/>'
    '<Override PartName="/xl/worksheets/sheet1.xml" '
    'ContentType="application/vnd.openxmlformats-officedocument.spreadsheetml.worksheet+xml"/>'
    '<Override PartName="/xl/sharedStrings.xml" '
    'ContentType="application/vnd.openxmlformats-officedocument.spreadsheetml.sharedStrings+xml"/>'
    '</Types>')
ROOT_RELS = (
    '<?xml version="1.0" encoding="UTF-8" standalone="yes"?>\n'
    '<Relationships xmlns="http://schemas.openxmlformats.org/package/2006/relationships">'
    '<Relationship Id="rId1" Type="http://schemas.openxmlformats.org/officeDocument/2006/relationships/'
    'officeDocument" Target="xl/workbook.xml"/></Relationships>')
WORKBOOK = (
    '<?xml version="1.0" encoding="UTF-8" standalone="yes"?>\n'
    '<workbook xmlns="http://schemas.openxmlformats.org/spreadsheetml/2006/main" '
    'xmlns:r="http://schemas.openxmlformats.org/officeDocument/2006/relationships">'
    '<sheets><sheet name="Data" sheetId="1" r:id="rId1"/></sheets></workbook>')
WORKBOOK_RELS = (
    '<?xml version="1.0" encoding="UTF-8" standalone="yes"?>\n'
    '<Relationships xmlns="http://schemas.openxmlformats.org/package/2006/relationships">'
    '<Relationship Id="rId1" Type="http://schemas.openxmlformats.org/officeDocument/2006/relationships/'
    'worksheet" Target="worksheets/sheet1.xml"/>'
    '<Relationship Id="rId2" Type="http://schemas.openxmlformats.org/officeDocument/2006/relationships/'
    'sharedStrings" Target="sharedStrings.xml"/></Relationships>')


def column_letters(n):
    name = ""
    while n:
        n, r = divmod(n - 1, 26)
        name = chr(65 + r) + name
    return name


def numbers_book(path, rows, columns):
    """A workbook of one sheet "Data" as XlsxWriter lays it out: a title row, then
    `rows` rows of `columns` numbers (the first column the row's number, then int and
    float columns in turn).  Written part by part, much faster than a writer would."""
    import random
    import zipfile
    rng = random.Random(rows)
    letters = [column_letters(c + 1) for c in range(columns)]
    titles = ["row"] + ["n%d" % c if c % 2 else "x%d" % c for c in range(1, columns)]
    strings = ('<?xml version="1.0" encoding="UTF-8" standalone="yes"?>\n'
               '<sst xmlns="http://schemas.openxmlformats.org/spreadsheetml/2006/main" count="%d" '
               'uniqueCount="%d">%s</sst>' % (columns, columns, "".join("<si><t>%s</t></si>" % t for t in titles)))
    head = ('<?xml version="1.0" encoding="UTF-8" standalone="yes"?>\n'
            '<worksheet xmlns="http://schemas.openxmlformats.org/spreadsheetml/2006/main" '
            'xmlns:r="http://schemas.openxmlformats.org/officeDocument/2006/relationships">'
            '<dimension ref="A1:%s%d"/><sheetData>' % (letters[-1], rows + 1))
    spans = "1:%d" % columns
    with zipfile.ZipFile(path, "w", zipfile.ZIP_DEFLATED) as z:
        z.writestr("[Content_Types].xml", CONTENT_TYPES)
        z.writestr("_rels/.rels", ROOT_RELS)
        z.writestr("xl/workbook.xml", WORKBOOK)
        z.writestr("xl/_rels/workbook.xml.rels", WORKBOOK_RELS)
        z.writestr("xl/sharedStrings.xml", strings)
        with z.open("xl/worksheets/sheet1.xml", "w", force_zip64=False) as out:
            out.write(head.encode())
            out.write(('<row r="1" spans="%s">%s</row>' % (spans, "".join(
                '<c r="%s1" t="s"><v>%d</v></c>' % (letters[c], c) for c in range(columns)))).encode())
            batch = []
            for r in range(2, rows + 2):
                cells = ['<c r="A%d"><v>%d</v></c>' % (r, r - 2)]
                for c in range(1, columns):
                    value = rng.randint(-10**6, 10**6) if c % 2 else rng.gauss(0, 1)
                    cells.append('<c r="%s%d"><v>%r</v></c>' % (letters[c], r, value))
                batch.append('<row r="%d" spans="%s">%s</row>' % (r, spans, "".join(cells)))
                if len(batch) == 10000:
                    out.write("".join(batch).encode())
                    batch = []
            out.write(("".join(batch) + "</sheetData></worksheet>").encode())
    return path


def cpu_s():
    r = resource.getrusage(resource.RUSAGE_SELF)
    return r.ru_utime + r.ru_stime


def packed_member(path, member):
    """The member's packed bytes (a raw deflate stream), as the archive holds them."""
    import zipfile
    with zipfile.ZipFile(path) as z:
        info = z.getinfo(member)
    with open(path, "rb") as f:
        f.seek(info.header_offset)
        local = f.read(30)
        f.seek(info.header_offset + 30 + int.from_bytes(local[26:28], "little")
               + int.from_bytes(local[28:30], "little"))
        return f.read(info.compress_size)


def inflate_member(path, member):
    """The member inflated alone by zlib, in chunks as a streaming reader would; its size."""
    import zlib
    packed = packed_member(path, member)
    inflater = zlib.decompressobj(-15)
    size = 0
    for at in range(0, len(packed), 65536):
        size += len(inflater.decompress(packed[at:at + 65536]))
    return size


def sheet_member(path, sheet):
    """The zip member holding a sheet, by the workbook's part and its relationships."""
    import posixpath
    import xml.etree.ElementTree as ET
    import zipfile
    main = "{http://schemas.openxmlformats.org/spreadsheetml/2006/main}"
    rel = "{http://schemas.openxmlformats.org/officeDocument/2006/relationships}id"
    with zipfile.ZipFile(path) as z:
        book = ET.fromstring(z.read("xl/workbook.xml"))
        rels = ET.fromstring(z.read("xl/_rels/workbook.xml.rels"))
    rid = next(s.get(rel) for s in book.iter(main + "sheet") if s.get("name") == sheet)
    target = next(r.get("Target") for r in rels if r.get("Id") == rid)
    return target.lstrip("/") if target.startswith("/") else posixpath.normpath("xl/" + target)


def threads_scenario(path, folder, repeats=5):
    """Reads from 2 threads against the same reads one after the other: 8 Training
    sheets, 40 property tables, and 8 sheets of numbers below the size from which a
    member is inflated by a thread of its own (so that the ratio shows the reads
    running side by side alone, each on one core).  The Training sheets once more
    with the reads in turn confined to one core (no thread ahead then), which
    tells how far 2 threads take reads that each fit one core.  The runs
    interleaved, which goes first alternating; the ratio is the median of each
    pair's (a pair's two runs are close in time, so a load that comes and goes on
    a shared machine spoils a pair, not the figure).  The CPU each read used, in
    turn and in threads: where the machine is loaded, the time on the clock
    exceeds it; and the same ratio for hashing in 2 threads, which nothing
    serialises, of a large block and of one that takes as long as a property
    table: on a loaded machine, or for jobs as short as those, it is above 0.5
    too."""
    from concurrent.futures import ThreadPoolExecutor
    from statistics import median
    from vireo.trellis.datareader import tablemine

    import hashlib

    small = numbers_book(os.path.join(folder, ".below-ahead.xlsx"), 9000, 11)
    block = bytes(32 << 20)
    properties = lambda: tablemine.getcustomproperties(path, "Utilities")
    training = lambda: tablemine.getFrameFromExcel(path, "Training")
    # A block hashed in the time of one property table.
    hashlib.sha256(block).digest()
    start = time.perf_counter()
    hashlib.sha256(block).digest()
    per_byte = (time.perf_counter() - start) / len(block)
    properties()
    start = time.perf_counter()
    for _ in range(20):
        properties()
    short_block = bytes(max(1, int((time.perf_counter() - start) / 20 / per_byte)))
    one_core = {min(os.sched_getaffinity(0))}
    # What the machine gives 2 threads meanwhile: hashing releases the GIL
    # and shares nothing, so its ratio is the best any read could show.
    # name: (reads, the read, the reads in turn on one core, pairs)
    jobs = {"calibration": (8, lambda: hashlib.sha256(block).digest(), False, repeats),
            "training": (8, training, False, repeats),
            "training-one-core": (8, training, True, repeats),
            "calibration-short": (40, lambda: hashlib.sha256(short_block).digest(), False, 3 * repeats),
            "properties": (40, properties, False, 3 * repeats),
            "no-ahead": (8, lambda: tablemine.getFrameFromExcel(small, "Data"), False, repeats)}
    out = {}
    with ThreadPoolExecutor(2) as pool:
        for name, (count, call, confined, pairs) in jobs.items():
            call()

            def sequential():
                allowed = os.sched_getaffinity(0)
                if confined:
                    os.sched_setaffinity(0, one_core)  # this thread's alone
                try:
                    for _ in range(count):
                        call()
                finally:
                    os.sched_setaffinity(0, allowed)

            def threaded():
                for f in [pool.submit(call) for _ in range(count)]:
                    f.result()

            runs = {"sequential": [], "threaded": []}
            cpu = {"sequential": [], "threaded": []}
            for i in range(pairs):
                order = ("sequential", "threaded") if i % 2 == 0 else ("threaded", "sequential")
                for kind in order:
                    c, start = cpu_s(), time.perf_counter()
                    (sequential if kind == "sequential" else threaded)()
                    runs[kind].append(time.perf_counter() - start)
                    cpu[kind].append((cpu_s() - c) / count)
            ratios = [t / s for t, s in zip(runs["threaded"], runs["sequential"])]
            out[name] = dict(reads=count, repeats=pairs, ratio=median(ratios), ratios=ratios,
                             sequential_s=median(runs["sequential"]), threaded_s=median(runs["threaded"]),
                             sequential_cpu_per_read_s=median(cpu["sequential"]),
                             threaded_cpu_per_read_s=median(cpu["threaded"]),
                             runs_s=runs)
    out["beside-python"] = beside_python(lambda: tablemine.getFrameFromExcel(small, "Data"), 8)
    out["main-beside-python"] = beside_python(lambda: tablemine.getFrameFromExcel(path, "Training"), 2,
                                              on_main=True)
    return out


def beside_python(call, count, on_main=False):
    """Reads while another thread runs Python without a pause: the time on the
    clock against the reading thread's CPU, median of a few.  On a thread of its
    own, a read that took the GIL back while native would wait for it each time;
    on the main thread (which alone runs signal handlers) it takes the GIL back
    now and then to poll for Ctrl-C, and each time waits for the other thread."""
    import threading
    from statistics import median

    walls, cpus = [], []
    for _ in range(3):
        stop = []

        def spin():
            while not stop:
                pass

        def reads():
            c, start = time.thread_time(), time.perf_counter()
            for _ in range(count):
                call()
            walls.append((time.perf_counter() - start) / count)
            cpus.append((time.thread_time() - c) / count)

        spinner = threading.Thread(target=spin)
        spinner.start()
        if on_main:
            reads()
        else:
            reader = threading.Thread(target=reads)
            reader.start()
            reader.join()
        stop.append(True)
        spinner.join()
    return dict(reads=count, wall_per_read_s=median(walls), cpu_per_read_s=median(cpus),
                ratio=median(w / c for w, c in zip(walls, cpus)))


def interrupt_scenario(path, sheet, repeats=3):
    """How long a read goes on after SIGINT: the signal sent 0.1 s into the read."""
    import signal
    import threading
    from vireo.trellis.datareader import tablemine

    start = time.perf_counter()
    tablemine.getFrameFromExcel(path, sheet)
    whole = time.perf_counter() - start
    latencies = []
    for _ in range(repeats):
        sent = []

        def send():
            sent.append(time.perf_counter())
            os.kill(os.getpid(), signal.SIGINT)

        timer = threading.Timer(min(0.1, whole / 4), send)
        timer.start()
        try:
            tablemine.getFrameFromExcel(path, sheet)
            latencies.append(float("nan"))  # the read ended before the signal
        except KeyboardInterrupt:
            latencies.append(time.perf_counter() - sent[0])
        timer.join()
    return dict(read_s=whole, latencies_s=latencies, worst_s=max(latencies))


def inflate_scenario(path, sheet, member, repeats=3):
    """CPU of reading a sheet against CPU of inflating its member alone with zlib."""
    from vireo.trellis.datareader import tablemine

    inflate, read = float("inf"), float("inf")
    for _ in range(repeats):
        c = cpu_s()
        inflate_member(path, member)
        inflate = min(inflate, cpu_s() - c)
        c = cpu_s()
        tablemine.getFrameFromExcel(path, sheet)
        read = min(read, cpu_s() - c)
    return dict(inflate_cpu_s=inflate, read_cpu_s=read, ratio=read / inflate)


def rss_kib(field):
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith(field + ":"):
                return int(line.split()[1])
    return 0


def growth_scenario(path, who, layout):
    """One read's CPU, and its peak memory growth against the Frame it gives (the peak
    reset once every module is imported)."""
    import pandas as pd
    from vireo.trellis.datareader import tablemine

    readers = {
        "ours": lambda p: (tablemine.getFrameFromExcel(p, "Data") if layout == "indexed"
                           else tablemine.get_dataframe(p, sheetname="Data")),
        "fastexcel": lambda p: __import__("fastexcel").read_excel(p).load_sheet_by_name("Data").to_pandas(),
        "python-calamine": calamine_plain,
    }
    read = readers[who]
    # Each reader warmed up by a read of a small sheet of the same kind (its modules
    # imported, its first-use costs paid), as in a process that reads many sheets.
    read(numbers_book(os.path.join(os.path.dirname(path), ".warm-%s.xlsx" % who), 10, 11))
    with open("/proc/self/clear_refs", "w") as f:
        f.write("5")  # VmHWM back to the current RSS
    base = rss_kib("VmRSS")
    c = cpu_s()
    frame = read(path)
    cpu = cpu_s() - c
    growth = (rss_kib("VmHWM") - base) / 1024.0
    size = frame.memory_usage(index=True, deep=True).sum() / (1024.0 * 1024.0)
    return dict(who=who, shape=list(frame.shape), cpu_s=cpu, growth_mib=growth, frame_mib=size,
                ratio=growth / size if size else float("nan"))


def calamine_plain(path):
    import pandas as pd
    rows = calamine_rows(path, "Data")
    return pd.DataFrame(rows[1:], columns=rows[0])


def make_books_scenario(folder, million):
    sizes = [("wide-100k", 100000, 11), ("narrow-1m", 1000000, 1)]
    if million:
        sizes.append(("wide-1m", 1000000, 11))
    return {name: numbers_book(os.path.join(folder, name + ".xlsx"), rows, columns)
            for name, rows, columns in sizes}


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
    elif scenario == "books":
        result = make_books_scenario(folder, argv[2] == "1")
    elif scenario == "threads":
        result = threads_scenario(argv[2], folder)
    elif scenario == "interrupt":
        result = interrupt_scenario(argv[2], argv[3])
    elif scenario == "inflate":
        result = inflate_scenario(argv[2], argv[3], argv[4])
    elif scenario == "growth":
        result = growth_scenario(argv[2], argv[3], argv[4])
    else:
        raise SystemExit(__doc__)
    result["scenario"] = scenario
    result["peak_rss_mib"] = result.get("peak_rss_mib", peak_rss_mib())
    print(json.dumps(result))


if __name__ == "__main__":
    main(sys.argv[1:])
