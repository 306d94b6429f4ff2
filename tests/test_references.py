"""The finished workbooks, part by part, against the reference files in
tests/reference/ (their parts unzipped, as canonical XML one element a line).

TRELLIS_UPDATE_REFERENCES=1 (`make references`) writes the references anew
from the workbooks made, so that a change of the XML shows as a diff in git.
A reference holds what the writer decides: the creation time, how the
XlsxWriter release writes the same calls (empty elements, spans of columns)
and pandas' own header style are normalised or left out (see
helpers.reference_books and the fixture below).  XlsxWriter 3.0 gives cells
the first format set on their column even once a later set_column() gave the
column none (the leverage columns of the training sheet); the parts that
differ on it are kept in a folder of their own, on top of the others."""
import difflib
import os
import pathlib
import shutil

import pytest
import xlsxwriter.worksheet
from pandas.io.formats import excel as pandas_excel

from helpers.reference_books import BOOKS, parts

REFERENCE = pathlib.Path(__file__).parent / "reference"
# XlsxWriter up to 3.0 keeps column formats in a table of their own, which a
# later set_column() without a format leaves as it was.
STALE_COLUMN_FORMATS = "col_formats" in vars(xlsxwriter.worksheet.Worksheet())
FAMILY = REFERENCE / "xlsxwriter-3.0" if STALE_COLUMN_FORMATS else None
UPDATE = os.environ.get("TRELLIS_UPDATE_REFERENCES") == "1"

pytestmark = pytest.mark.usefixtures("no_vba_project")


@pytest.fixture(autouse=True)
def unstyled_pandas_headers(monkeypatch):
    """Header cells as pandas 3 writes them: pandas 1.5 and 2 give them a bold,
    bordered style of their own, which would renumber every style of the
    workbook without the writer having a say."""
    if hasattr(pandas_excel.ExcelFormatter, "header_style"):
        monkeypatch.setattr(pandas_excel.ExcelFormatter, "header_style", None)


def stored(folder):
    """{part name: text} of a reference folder."""
    if not folder.is_dir():
        return {}
    return {p.relative_to(folder).as_posix(): p.read_text(encoding="utf-8")
            for p in sorted(folder.rglob("*")) if p.is_file()}


def store(folder, texts):
    shutil.rmtree(folder, ignore_errors=True)
    for name, text in texts.items():
        path = folder / name
        path.parent.mkdir(parents=True, exist_ok=True)
        path.write_text(text, encoding="utf-8")


def update(name, produced):
    if FAMILY is None:
        store(REFERENCE / name, produced)
    else:
        base = stored(REFERENCE / name)
        store(FAMILY / name, {n: t for n, t in produced.items() if base.get(n) != t})


@pytest.mark.parametrize("name", sorted(BOOKS))
def test_workbook_matches_its_reference(tmp_path, name):
    produced = parts(BOOKS[name](tmp_path))
    if UPDATE:
        update(name, produced)
    expected = stored(REFERENCE / name)
    if FAMILY is not None:
        expected.update(stored(FAMILY / name))
    assert sorted(produced) == sorted(expected), "the workbook's parts differ from the reference's"
    for part in sorted(expected):
        if produced[part] != expected[part]:
            diff = difflib.unified_diff(expected[part].splitlines(), produced[part].splitlines(),
                                        "reference/" + part, "produced/" + part, lineterm="")
            pytest.fail("%s differs from tests/reference/%s (TRELLIS_UPDATE_REFERENCES=1 writes "
                        "it anew):\n%s" % (part, name, "\n".join(list(diff)[:200])), pytrace=False)
