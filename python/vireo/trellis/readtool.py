"""Read result workbooks back from the command line (trellis-read).

    trellis-read props BOOK                         the custom properties of the "Utilities" sheet
    trellis-read sheet BOOK SHEET [--reduce] [--csv]  one sheet, indexed by its first column
    trellis-read search MODEL_FILE                  the result workbook that names a model file

Exit status: 0 when something was found; 1 when nothing was (no property, an
empty sheet, no workbook); 2 on bad arguments (a missing file, a folder, a
file that is no workbook or cannot be read).  Every status but 0 comes with
its reason on standard error; an error names its type and the file.  A
reader that stops early (`| head`) ends it quietly, with status 0: it asked
for no more.  The reading is done by the tablemine module.
"""
import argparse
import csv
import math
import os
import sys

from vireo.trellis import __version__
from vireo.trellis.datareader import tablemine

WORKBOOK_TYPES = ("xlsx", "xlsm", "xls")
# The writer stacks a block of chart bounds under the property table for each
# of these sheets: the sheet's label, then "Padding", then two rows of
# formulas without a label.  They are no properties of the run.
BOUND_BLOCK_LABELS = ("Training", "Test", "LOO CV")


class Failure(Exception):
    """A reason to stop, with the exit status that goes with it; a bad argument
    (status 2) is reported as an error of type `kind`, as the reader would have
    raised it."""

    def __init__(self, message, status, kind=None):
        super().__init__(message)
        self.status = status
        self.kind = kind


def workbook_type(path):
    """The type the reader is given for `path`: its extension, in any case, as long as
    it names a workbook.  Anything else is refused with the reason (the reader would
    only find nothing in it)."""
    existing_file(path, "workbook")
    extension = os.path.splitext(path)[1][1:].lower()
    if extension not in WORKBOOK_TYPES:
        raise Failure("%s: not a workbook (the reader takes .xlsx, .xlsm and .xls files)" % path, 2,
                      "ValueError")
    return extension


def existing_file(path, what):
    if not os.path.exists(path):
        raise Failure("%s: no such file" % path, 2, "FileNotFoundError")
    if os.path.isdir(path):
        raise Failure("%s: a folder, not a %s" % (path, what), 2, "IsADirectoryError")


def table(rows):
    """Rows of texts as aligned columns."""
    widths = [max(len(r[i]) for r in rows) for i in range(len(rows[0]))]
    return "\n".join("  ".join(c.ljust(w) for c, w in zip(r, widths)).rstrip() for r in rows)


def shown(value):
    """A property value as text: an empty cell (an empty text property) reads back as
    NaN and is shown empty."""
    if isinstance(value, float) and math.isnan(value):
        return ""
    return str(value)


def props(args):
    found = tablemine.getcustomproperties(args.book, "Utilities", filetype=workbook_type(args.book))
    rows = [(str(k), shown(v)) for k, v in found.items()
            if not (k in BOUND_BLOCK_LABELS and v == "Padding")]
    if not rows:
        raise Failure("%s: no custom property on its \"Utilities\" sheet" % args.book, 1)
    if args.csv:
        csv.writer(sys.stdout, lineterminator="\n").writerows([("property", "value")] + rows)
    else:
        print(table([("property", "value")] + rows))


def sheet(args):
    frame = tablemine.getFrameFromExcel(args.book, args.sheet, filetype=workbook_type(args.book),
                                        reduce=args.reduce)
    if frame is None or frame.empty:
        raise Failure("%s: sheet %r holds no data" % (args.book, args.sheet), 1)
    if args.csv:
        frame.to_csv(sys.stdout)
    else:
        print(frame.to_string())


def search(args):
    # The toolkit stores the model file's absolute path: a relative one is made
    # absolute first, and tried as given only when that finds nothing.
    model_file = os.path.abspath(args.model_file)
    folder = os.path.dirname(model_file)
    if not os.path.isdir(folder):
        raise Failure("%s: no such folder" % folder, 2, "FileNotFoundError")
    existing_file(args.model_file, "model file")
    found = tablemine.searchExcelFile(model_file)
    if not found and model_file != args.model_file:
        found = tablemine.searchExcelFile(args.model_file)
    if not found:
        raise Failure("no workbook in %s names %s as its model file" % (folder, model_file), 1)
    print(found)


def build_parser():
    parser = argparse.ArgumentParser(prog="trellis-read", description=__doc__.splitlines()[0],
                                     epilog="Exit status: 0 found, 1 nothing found, 2 bad "
                                            "arguments; every status but 0 says why on stderr.")
    parser.add_argument("--version", action="version", version="%(prog)s " + __version__)
    commands = parser.add_subparsers(dest="command", required=True)
    p = commands.add_parser("props", help="the custom properties of a result workbook "
                                          "(without the chart bound blocks stacked below them)")
    p.add_argument("book")
    p.add_argument("--csv", action="store_true", help="comma-separated values instead of a table")
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
    return parser


def described(kind, message, path):
    """The error's type, the file it concerns (unless the message names it) and
    the message: a MemoryError, for one, has none."""
    parts = [kind] + ([path] if path and path not in message else []) + ([message] if message else [])
    return ": ".join(parts)


def silence_stdout():
    """After a closed pipe: later writes (the interpreter's last flush included) go
    nowhere instead of raising again."""
    try:
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, sys.stdout.fileno())
        os.close(devnull)
    except (OSError, ValueError, AttributeError):
        pass  # a stdout without a descriptor of its own (a test's capture)


def main(argv=None):
    parser = build_parser()
    args = parser.parse_args(argv)
    try:
        args.run(args)
        sys.stdout.flush()
    except BrokenPipeError:
        # The reader of the pipe has what it wanted (`| head`): no error, so
        # that a `set -o pipefail` script goes on.
        silence_stdout()
        return 0
    except Failure as failure:
        if failure.kind:
            print("trellis-read: error: %s: %s" % (failure.kind, failure), file=sys.stderr)
        else:
            print("trellis-read: %s" % failure, file=sys.stderr)
        return failure.status
    except KeyboardInterrupt:
        print("trellis-read: interrupted", file=sys.stderr)
        return 128 + 2
    except Exception as exc:  # the file could not be read: a bad argument
        path = getattr(args, "book", None) or getattr(args, "model_file", None)
        parser.exit(2, "trellis-read: error: %s\n" % described(type(exc).__name__, str(exc), path))
    return 0


if __name__ == "__main__":
    sys.exit(main())
