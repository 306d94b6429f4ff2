"""Workbooks and text files made for the reader's tests."""
import csv

import xlsxwriter
import xlwt


def write_xlsx(path, sheets, names=None):
    """An .xlsx (or .xlsm-named) workbook: {sheet: rows}, rows from A1 on.

    ``names`` maps defined names to their references ("=Data!$A$1:$C$4").
    """
    book = xlsxwriter.Workbook(str(path))
    for sheet, rows in sheets.items():
        ws = book.add_worksheet(sheet)
        for r, row in enumerate(rows):
            for c, value in enumerate(row):
                if value is not None:
                    ws.write(r, c, value)
    for name, ref in (names or {}).items():
        book.define_name(name, ref)
    book.close()
    return str(path)


def write_xls(path, sheets):
    book = xlwt.Workbook()
    for sheet, rows in sheets.items():
        ws = book.add_sheet(sheet)
        for r, row in enumerate(rows):
            for c, value in enumerate(row):
                if value is not None:
                    ws.write(r, c, value)
    book.save(str(path))
    return str(path)


def write_csv(path, rows):
    with open(str(path), "w", newline="") as handle:
        csv.writer(handle).writerows(rows)
    return str(path)


def utilities_rows(props):
    """The property table as the writer lays it out: row 0 empty, titles in
    B2/C2, one (name, value) pair a row below them."""
    return [[], [None, "property", "value"]] + [[None, name, value] for name, value in props]


def write_result(path, props, extra=None):
    """A result workbook: a data sheet and the "Utilities" property table."""
    sheets = {"Results": [["name", "value"], ["m1", 1.0]]}
    sheets.update(extra or {})
    sheets["Utilities"] = utilities_rows(props)
    return write_xlsx(path, sheets)
