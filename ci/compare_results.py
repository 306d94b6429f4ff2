"""Compares the cells of the workbooks two demo runs wrote, folder against
folder: every number and every stored formula result must be the same text,
digit for digit.  Used to show that armhf and x86-64 store the same results.

    python3 ci/compare_results.py FOLDER_A FOLDER_B
"""
import os
import re
import sys
import zipfile

CELL = re.compile(r'<c r="([A-Z]+[0-9]+)"[^>]*?(?:/>|>(.*?)</c>)', re.S)
FORMULA = re.compile(r"<f>(.*?)</f>", re.S)
VALUE = re.compile(r"<v>(.*?)</v>", re.S)


def cells(path):
    """{(sheet part, cell): (formula, stored value)} of the cells holding a value."""
    out = {}
    with zipfile.ZipFile(path) as book:
        for part in sorted(n for n in book.namelist() if n.startswith("xl/worksheets/sheet")):
            xml = book.read(part).decode("utf-8")
            for ref, body in CELL.findall(xml):
                value = VALUE.search(body or "")
                formula = FORMULA.search(body or "")
                if value:
                    out[(part, ref)] = (formula.group(1) if formula else None, value.group(1))
    return out


def compare(a, b):
    ca, cb = cells(a), cells(b)
    problems = []
    for key in sorted(set(ca) | set(cb)):
        if ca.get(key) != cb.get(key):
            problems.append("%s %s: %r against %r" % (key[0], key[1], ca.get(key), cb.get(key)))
    formulas = sum(1 for f, _ in ca.values() if f is not None)
    return problems, len(ca), formulas


def main(folder_a, folder_b):
    books = sorted(n for n in os.listdir(folder_a) if n.endswith((".xlsx", ".xlsm")))
    if not books:
        print("no workbook in %s" % folder_a)
        return 1
    failed = False
    for name in books:
        problems, count, formulas = compare(os.path.join(folder_a, name), os.path.join(folder_b, name))
        print("%s: %d cells with a value, %d formula results: %s"
              % (name, count, formulas, "the same" if not problems else "%d differ" % len(problems)))
        for line in problems[:20]:
            print("    " + line)
        failed = failed or bool(problems)
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main(*sys.argv[1:3]))
