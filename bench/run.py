"""Benchmarks of finishing and reading a large campaign's result workbook.

    python bench/run.py [--repeats N] [--out bench/results]

Each measurement runs in a process of its own (so that each peak memory
figure belongs to one scenario). Prints a table and writes the figures as
JSON to bench/results/bench-<time>.json and bench/results/latest.json.

Targets: finishExcel's own share under 2 % of its time; peak memory of
finishing at most 1.2 times that of writing the Frames and closing without
finishing; against pandas.read_excel with openpyxl alone, the reader at least
100 times faster on the property table and on the search, at least 25 times on
the training sheet, with a peak memory no higher; get_dataframe over a range of
10,000 rows under a second.

Beside the other readers a user can pick, when they are installed (the `bench`
extra: fastexcel, python-calamine; pandas' calamine engine comes with the
latter): each operation's time as a ratio to the fastest of them (below 1:
ours is faster), and the peak memory of each reading the training sheet, each
in a process of its own.
"""
import argparse
import json
import os
import platform
import shutil
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
import worker  # noqa: E402  (the sheet's member, found without a worker of its own)

WORKER = os.path.join(HERE, "worker.py")
SEARCH_BOOKS = 20


def run_worker(*args, timeout=1800, env=None):
    proc = subprocess.run([sys.executable, WORKER] + [str(a) for a in args],
                          stdout=subprocess.PIPE, stderr=subprocess.PIPE, timeout=timeout,
                          env=dict(os.environ, **env) if env else None)
    if proc.returncode != 0:
        raise SystemExit("benchmark %s failed:\n%s" % (args[0], proc.stderr.decode(errors="replace")))
    return json.loads(proc.stdout.decode().strip().splitlines()[-1])


def as_written_figures(root):
    """bench/as_written.cpp built against the formula core and run: the writer's
    number as the file holds it, computed against printed and parsed back; None
    where there is no compiler."""
    source = os.path.dirname(HERE)
    program = os.path.join(root, "as_written")
    build = [os.environ.get("CXX", "c++"), "-O2", "-std=c++17", "-I" + os.path.join(source, "src"),
             os.path.join(HERE, "as_written.cpp"), os.path.join(source, "src", "formula", "formula.cpp"),
             "-o", program]
    try:
        subprocess.run(build, check=True, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
    except (OSError, subprocess.CalledProcessError):
        return None
    return json.loads(subprocess.run([program], check=True, stdout=subprocess.PIPE).stdout.decode())


def inflate_figures(root, workbook, member):
    """bench/inflate.cpp built against the reader's inflater and the system's
    zlib (optimised as the modules are) and run on the member's packed bytes:
    the CPU of each inflating it, side by side in one process; None where there
    is no compiler or no zlib to link."""
    source = os.path.dirname(HERE)
    packed = os.path.join(root, "member.deflate")
    with open(packed, "wb") as f:
        f.write(worker.packed_member(workbook, member))
    program = os.path.join(root, "inflate")
    native = os.path.join(source, "src", "datareader", "tablemine", "native")
    build = [os.environ.get("CXX", "c++"), "-O3", "-DNDEBUG", "-std=c++17", "-I" + os.path.join(source, "src"),
             os.path.join(HERE, "inflate.cpp"), os.path.join(native, "inflate.cpp"), "-lz", "-o", program]
    try:
        subprocess.run(build, check=True, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
    except (OSError, subprocess.CalledProcessError):
        return None
    return json.loads(subprocess.run([program, packed], check=True, stdout=subprocess.PIPE).stdout.decode())


def search_folder(root, workbook):
    """A folder of result workbooks of the large campaign whose names all start
    with the searched stem (links to one file: the search reads each anew)."""
    folder = os.path.join(root, "search")
    os.makedirs(folder)
    for i in range(SEARCH_BOOKS):
        target = os.path.join(folder, "net_%03d.xlsx" % i)
        try:
            os.link(workbook, target)
        except OSError:
            shutil.copy(workbook, target)
    # No workbook names this model file: the search reads every candidate.
    return folder, os.path.join(folder, "net(1).nnx")


def ratio(a, b):
    return a / b if b else float("nan")


def noise(r):
    """How far two runs of the same pandas call differ: the resolution of the comparison."""
    return "%.1f %%" % (100 * abs(r["pandas_again_s"] - r["pandas_s"]) / r["pandas_s"])


def verdict(ok):
    return "met" if ok else "MISSED"


def beside_peers(ours, peers, unit):
    """The row that sets one figure of ours beside the peers': ours as a ratio to the
    best of them, then each of theirs."""
    if not peers:
        return None
    best = min(peers, key=peers.get)
    return ("  beside the peers", "%.2f x the best" % ratio(ours, peers[best]),
            "%s %s" % (best, unit % peers[best]),
            ", ".join("%s %s" % (name, unit % value) for name, value in peers.items() if name != best))


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--out", default=os.path.join(HERE, "results"), help="folder of the JSON files")
    parser.add_argument("--repeats", type=int, default=2,
                        help="runs of each large write (the least time is kept)")
    parser.add_argument("--no-million", action="store_true",
                        help="leave out the 1,000,000 x 11 sheet (minutes of writing)")
    args = parser.parse_args(argv)

    root = tempfile.mkdtemp(prefix="trellis-bench-")
    figures = {"when": time.strftime("%Y-%m-%dT%H:%M:%SZ", time.gmtime()),
               "python": platform.python_version(), "machine": platform.machine()}
    try:
        import numpy, pandas, xlsxwriter, openpyxl  # noqa: E401
        figures["versions"] = {m.__name__: m.__version__ for m in (numpy, pandas, xlsxwriter, openpyxl)}

        runs = {"floor": [], "finish": []}
        for i in range(args.repeats):
            for scenario in ("floor", "finish"):
                folder = os.path.join(root, "%s-%d" % (scenario, i))
                os.makedirs(folder)
                print("... %s (run %d)" % (scenario, i + 1), flush=True)
                runs[scenario].append(run_worker(scenario, folder))
        floor = min(runs["floor"], key=lambda r: r["total_s"])
        finish = min(runs["finish"], key=lambda r: r["total_s"])
        floor["peak_rss_mib"] = max(r["peak_rss_mib"] for r in runs["floor"])
        finish["peak_rss_mib"] = max(r["peak_rss_mib"] for r in runs["finish"])
        print("... stand-in workbook", flush=True)
        standin = run_worker("standin", root)
        print("... reader", flush=True)
        reader = run_worker("read", root, finish["path"])
        print("... peak memory of reading the training sheet", flush=True)
        others = list(reader["reads"]["getFrameFromExcel Training"]["peers"])
        peaks = {who: run_worker("peak", root, finish["path"], who)
                 for who in ["ours", "pandas"] + others}
        print("... search in %d workbooks" % SEARCH_BOOKS, flush=True)
        folder, model = search_folder(root, finish["path"])
        search = run_worker("search", folder, model)
        print("... a range of 10,000 rows, and a small range beside far cells", flush=True)
        ranged = run_worker("range", root)
        print("... reads in 2 threads, CPU against inflating alone", flush=True)
        threads = run_worker("threads", root, finish["path"])
        member = worker.sheet_member(finish["path"], "Training")
        inflate = run_worker("inflate", root, finish["path"], "Training", member)
        expat = run_worker("inflate", root, finish["path"], "Training", member, env={"TRELLIS_SCANNER": "0"})
        print("... the inflater against zlib, as_written against the text", flush=True)
        inflaters = inflate_figures(root, finish["path"], member)
        written = as_written_figures(root)
        print("... sheets of numbers: memory, Ctrl-C, the narrow sheet", flush=True)
        books = {name: path for name, path in run_worker("books", root, "0" if args.no_million else "1").items()
                 if name.startswith(("wide", "narrow"))}
        interrupt = run_worker("interrupt", root, books["wide-1m" if "wide-1m" in books else "wide-100k"],
                               "Data")
        growth = {name: run_worker("growth", root, book, "ours", "plain" if name.startswith("narrow") else "indexed")
                  for name, book in books.items()}
        narrow = {}
        if "narrow-1m" in books:
            narrow = {who: run_worker("growth", root, books["narrow-1m"], who, "plain")
                      for who in ["fastexcel", "python-calamine"] if who in others}
    finally:
        shutil.rmtree(root, ignore_errors=True)

    own_share = ratio(standin["finish_s"], finish["end_s"])
    memory = ratio(finish["peak_rss_mib"], floor["peak_rss_mib"])
    rows = [
        ("write Frames + close (floor)", "%.2f s" % floor["total_s"],
         "%.0f MiB peak" % floor["peak_rss_mib"], "%d cells, close %.2f s (workbook's %.2f s)"
         % (floor["cells"], floor["end_s"], floor["book_close_s"])),
        ("write Frames + finishExcel", "%.2f s" % finish["total_s"],
         "%.0f MiB peak" % finish["peak_rss_mib"],
         "finishExcel %.2f s, of which the workbook's close %.2f s"
         % (finish["end_s"], finish["book_close_s"])),
        ("finishExcel, stand-in workbook", "%.3f s" % standin["finish_s"], "",
         "own share %.2f %% (target < 2 %%): %s" % (100 * own_share, verdict(own_share < 0.02))),
        ("peak memory finish / floor", "", "%.3f x" % memory,
         "target <= 1.2 x: %s" % verdict(memory <= 1.2)),
    ]
    for name, r in reader["reads"].items():
        speed = ratio(r["pandas_s"], r["ours_s"])
        target = r["target"]
        rows.append((name, "%.4f s" % r["ours_s"], "pandas %.3f s" % r["pandas_s"],
                     "%.0f x faster (%snoise %s)%s"
                     % (speed, "target >= %d x; " % target if target else "", noise(r),
                        ": " + verdict(speed >= target) if target else "")))
        rows.append(beside_peers(r["ours_s"], r["peers"], "%.4f s"))
    speed = ratio(search["pandas_s"], search["ours_s"])
    rows.append(("searchExcelFile, %d workbooks" % search["workbooks"], "%.4f s" % search["ours_s"],
                 "pandas %.3f s" % search["pandas_s"],
                 "%.0f x faster (%.1f ms per workbook; target >= 100 x; noise %s): %s"
                 % (speed, 1000 * search["ours_s"] / search["workbooks"], noise(search),
                    verdict(speed >= 100))))
    rows.append(beside_peers(search["ours_s"], search["peers"], "%.4f s"))
    rows.append(("get_dataframe, %d-row range" % ranged["rows"], "%.3f s" % ranged["ours_s"],
                 "toolkit's reader %.2f s" % ranged["reader_s"],
                 "1e-10 kept: %s; target < 1 s: %s" % (ranged["small_kept"], verdict(ranged["ours_s"] < 1))))
    rows.append(("gettitles beside far cells (%d bytes)" % ranged["far_bytes"], "%.4f s" % ranged["titles_s"],
                 "toolkit's reader %.2f s" % ranged["reader_titles_s"], ""))
    peak = ratio(peaks["ours"]["peak_rss_mib"], peaks["pandas"]["peak_rss_mib"])
    rows.append(("peak memory, training sheet", "%.0f MiB" % peaks["ours"]["peak_rss_mib"],
                 "pandas %.0f MiB" % peaks["pandas"]["peak_rss_mib"],
                 "%.2f x pandas' (target <= 1 x): %s" % (peak, verdict(peak <= 1))))
    rows.append(beside_peers(peaks["ours"]["peak_rss_mib"],
                             {who: peaks[who]["peak_rss_mib"] for who in others}, "%.0f MiB"))
    if not others:
        rows.append(("peers", "none installed", "", "pip install '.[bench]': fastexcel, python-calamine"))
    for name, label in (("calibration", "hashes of 32 MiB (nothing shared)"),
                        ("training", "Training sheets"),
                        ("training-one-core", "Training sheets, in turn on one core (no thread ahead)"),
                        ("calibration-short", "hashes as long as a property table"),
                        ("properties", "property tables"),
                        ("no-ahead", "9,000 x 11 sheets (no inflate-ahead thread)")):
        t = threads[name]
        target = name in ("training", "properties")
        rows.append(("%d %s, 2 threads / in turn" % (t["reads"], label), "%.2f x" % t["ratio"],
                     "%.3f s / %.3f s" % (t["threaded_s"], t["sequential_s"]),
                     "median of %d; CPU a read %.1f ms in turn, %.1f ms in threads%s"
                     % (t["repeats"], 1000 * t["sequential_cpu_per_read_s"], 1000 * t["threaded_cpu_per_read_s"],
                        "; target <= 0.6 x: %s" % verdict(t["ratio"] <= 0.6) if target else "")))
    b = threads["beside-python"]
    rows.append(("9,000 x 11 sheet beside a Python thread", "%.2f x" % b["ratio"],
                 "%.1f ms / %.1f ms" % (1000 * b["wall_per_read_s"], 1000 * b["cpu_per_read_s"]),
                 "the read's time on the clock / its thread's CPU, a thread running Python meanwhile"))
    b = threads["main-beside-python"]
    rows.append(("Training sheet on the main thread beside a Python thread", "%.2f x" % b["ratio"],
                 "%.1f ms / %.1f ms" % (1000 * b["wall_per_read_s"], 1000 * b["cpu_per_read_s"]),
                 "the same, read on the main thread (which polls for Ctrl-C)"))
    rows.append(("Ctrl-C during a read (%.1f s)" % interrupt["read_s"], "%.3f s" % interrupt["worst_s"],
                 "worst of %d" % len(interrupt["latencies_s"]),
                 "target <= 0.2 s: %s" % verdict(interrupt["worst_s"] <= 0.2)))
    rows.append(("Training sheet CPU / inflate alone", "%.2f x" % inflate["ratio"],
                 "%.3f s / %.3f s" % (inflate["read_cpu_s"], inflate["inflate_cpu_s"]),
                 "target <= 1.5 x: %s" % verdict(inflate["ratio"] <= 1.5)))
    rows.append(("Training sheet CPU, expat / scanner", "%.2f x" % ratio(expat["read_cpu_s"], inflate["read_cpu_s"]),
                 "%.3f s / %.3f s" % (expat["read_cpu_s"], inflate["read_cpu_s"]), "TRELLIS_SCANNER=0 against the default"))
    if inflaters:
        rows.append(("inflate, ours / zlib", "%.2f x" % ratio(inflaters["ours_cpu_s"], inflaters["zlib_cpu_s"]),
                     "%.3f s / %.3f s" % (inflaters["ours_cpu_s"], inflaters["zlib_cpu_s"]),
                     "the Training member, %.0f MB; zlib %.2f x as slow" % (inflaters["size"] / 1e6,
                                                                          ratio(inflaters["zlib_cpu_s"], inflaters["ours_cpu_s"]))))
    if written:
        rows.append(("as_written, without / through the text", "%.2f x" % ratio(written["as_written_ns"], written["by_text_ns"]),
                     "%.1f ns / %.1f ns" % (written["as_written_ns"], written["by_text_ns"]),
                     "%d numbers, %d differ" % (written["values"], written["differ"])))
    for name, g in growth.items():
        rows.append(("peak growth / Frame, %s (%d x %d)" % (name, g["shape"][0], g["shape"][1]),
                     "%.2f x" % g["ratio"], "%.0f MiB / %.0f MiB" % (g["growth_mib"], g["frame_mib"]),
                     "CPU %.2f s; target <= 2 x: %s" % (g["cpu_s"], verdict(g["ratio"] <= 2))))
    if narrow:
        ours = growth["narrow-1m"]
        rows.append(beside_peers(ours["cpu_s"], {w: n["cpu_s"] for w, n in narrow.items()}, "%.2f s CPU"))
        rows.append(beside_peers(ours["growth_mib"], {w: n["growth_mib"] for w, n in narrow.items()}, "%.0f MiB"))
    rows = [r for r in rows if r is not None]
    figures.update(floor=floor, finish=finish, standin=standin, reader=reader, search=search, peaks=peaks,
                   ranged=ranged, threads=threads, inflate=inflate, expat=expat, inflaters=inflaters, as_written=written, interrupt=interrupt, growth=growth,
                   narrow=narrow,
                   own_share=own_share, memory_ratio=memory)

    widths = [max(len(r[i]) for r in rows) for i in range(4)]
    for r in rows:
        print("  ".join(c.ljust(w) for c, w in zip(r, widths)).rstrip())

    os.makedirs(args.out, exist_ok=True)
    stamp = time.strftime("%Y%m%d-%H%M%S", time.gmtime())
    for name in ("bench-%s.json" % stamp, "latest.json"):
        with open(os.path.join(args.out, name), "w") as f:
            json.dump(figures, f, indent=2, default=str)
    print("figures written to %s" % os.path.join(args.out, "bench-%s.json" % stamp))
    return 0


if __name__ == "__main__":
    sys.exit(main())
