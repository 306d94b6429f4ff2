"""Read result workbooks back from the command line (trellis-read).

    trellis-read props BOOK                         the custom properties of the "Utilities" sheet
    trellis-read sheet BOOK SHEET [--reduce] [--csv]  one sheet, indexed by its first column
    trellis-read search MODEL_FILE                  the result workbook that names a model file

Exit status: 0 when something was found, 1 when nothing was (no property, an
empty sheet, no workbook), 2 on bad arguments (a file that cannot be read
included).  The reading is done by the tablemine module.
"""
import argparse
import sys

from vireo.trellis.datareader import tablemine


def table(rows):
    """Rows of texts as aligned columns."""
    widths = [max(len(r[i]) for r in rows) for i in range(len(rows[0]))]
    return "\n".join("  ".join(c.ljust(w) for c, w in zip(r, widths)).rstrip() for r in rows)


def props(args):
    found = tablemine.getcustomproperties(args.book, "Utilities")
    if found:
        print(table([("property", "value")] + [(str(k), str(v)) for k, v in found.items()]))
    return bool(found)


def sheet(args):
    frame = tablemine.getFrameFromExcel(args.book, args.sheet, reduce=args.reduce)
    if frame is None or frame.empty:
        return False
    if args.csv:
        frame.to_csv(sys.stdout)
    else:
        print(frame.to_string())
    return True


def search(args):
    found = tablemine.searchExcelFile(args.model_file)
    if found:
        print(found)
    return bool(found)


def parse_args(argv):
    parser = argparse.ArgumentParser(prog="trellis-read", description=__doc__.splitlines()[0])
    commands = parser.add_subparsers(dest="command", required=True)
    p = commands.add_parser("props", help="the custom properties of a result workbook")
    p.add_argument("book")
    p.set_defaults(run=props)
    p = commands.add_parser("sheet", help="one sheet of a workbook, indexed by its first column")
    p.add_argument("book")
    p.add_argument("sheet")
    p.add_argument("--reduce", action="store_true", help="drop the summary rows below the data")
    p.add_argument("--csv", action="store_true", help="comma-separated values instead of a table")
    p.set_defaults(run=sheet)
    p = commands.add_parser("search", help="the result workbook that names a model file")
    p.add_argument("model_file")
    p.set_defaults(run=search)
    return parser, parser.parse_args(argv)


def main(argv=None):
    parser, args = parse_args(argv)
    try:
        found = args.run(args)
    except Exception as exc:  # the file could not be read: a bad argument
        parser.exit(2, "trellis-read: error: %s\n" % (exc or type(exc).__name__))
    return 0 if found else 1


if __name__ == "__main__":
    sys.exit(main())
