#!/usr/bin/env python3
"""Compare two workbooks, or two folders of them, part by part.

    scripts/compare_workbooks.py A B

A and B are two workbooks (.xlsx, .xlsm) or two folders, whose workbooks are
paired by their path below the folder; other files of the folders are
compared byte for byte.  The creation and modification times of the core
properties (docProps/core.xml) are the only difference allowed: the time a
workbook was made at is not part of what it holds.  Prints each difference
and exits 1 when there is one, 0 otherwise.
"""

import pathlib
import re
import sys
import zipfile

WORKBOOK_SUFFIXES = {".xlsx", ".xlsm"}
# <dcterms:created xsi:type="dcterms:W3CDTF">2026-12-09T12:00:00Z</dcterms:created>
TIMESTAMP = re.compile(rb"(<dcterms:(created|modified)\b[^>]*>)[^<]*(</dcterms:\2>)")


def normalised(name, data):
    if name == "docProps/core.xml":
        return TIMESTAMP.sub(rb"\1\3", data)
    return data


def parts(path):
    with zipfile.ZipFile(path) as book:
        return {info.filename: normalised(info.filename, book.read(info)) for info in book.infolist()}, [
            info.filename for info in book.infolist()
        ]


def compare_workbooks(a, b, label):
    (pa, order_a), (pb, order_b) = parts(a), parts(b)
    differences = []
    for name in sorted(set(pa) | set(pb)):
        if name not in pa or name not in pb:
            differences.append(f"{label}: part {name} only in {'B' if name not in pa else 'A'}")
        elif pa[name] != pb[name]:
            differences.append(f"{label}: part {name} differs ({len(pa[name])} and {len(pb[name])} bytes)")
    if not differences and order_a != order_b:
        differences.append(f"{label}: the parts are stored in another order")
    return differences


def compare_files(a, b, label):
    if a.suffix.lower() in WORKBOOK_SUFFIXES:
        return compare_workbooks(a, b, label)
    return [] if a.read_bytes() == b.read_bytes() else [f"{label}: the files differ"]


def compare_folders(a, b):
    files_a = {p.relative_to(a) for p in a.rglob("*") if p.is_file()}
    files_b = {p.relative_to(b) for p in b.rglob("*") if p.is_file()}
    differences = [f"{p}: only in {a if p in files_a else b}" for p in sorted(files_a ^ files_b)]
    for p in sorted(files_a & files_b):
        differences += compare_files(a / p, b / p, str(p))
    return differences


def main(argv):
    if len(argv) != 3:
        print(__doc__.strip(), file=sys.stderr)
        return 2
    a, b = pathlib.Path(argv[1]), pathlib.Path(argv[2])
    for path in (a, b):
        if not path.exists():
            print(f"{path}: no such file or folder", file=sys.stderr)
            return 2
    if a.is_dir() and b.is_dir():
        differences = compare_folders(a, b)
    else:
        differences = compare_files(a, b, a.name)
    for line in differences:
        print(line)
    if not differences:
        print("same")
    return 1 if differences else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
