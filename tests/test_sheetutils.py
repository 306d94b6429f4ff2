import types

import pandas as pd
import pytest

from conftest import open_writer
from vireo.trellis import reportbook as rb
from sheets_book import book

FRAME = pd.DataFrame({"a": [1.0, 2.0]})


@pytest.fixture
def writer(tmp_path):
    w = open_writer(tmp_path / "s.xlsx", {"Training": FRAME, "Test": FRAME})
    yield w
    if not w.book.fileclosed:
        w.close()


@pytest.mark.parametrize("name, found", [("Test", "Test"), ("Utilities", None),
                                         ("test", None), ("Test ", None)])
def test_get_sheet_finds_exact_names_only(writer, name, found):
    sheet = rb.getSheet(writer, name)
    assert (sheet.name if sheet is not None else None) == found


def test_get_sheet_needs_a_sheets_mapping():
    with pytest.raises(AttributeError):
        rb.getSheet(object(), "Test")


def zooms(tmp_path, writer):
    writer.close()
    wb = book(tmp_path / "s.xlsx")
    return {ws.title: ws.sheet_view.zoomScale for ws in wb.worksheets}


@pytest.mark.parametrize("call, zoomed", [
    (lambda w: rb.enrichSimpleSheet(w.book, "Test", FRAME, writer=w), {"Test"}),
    (lambda w: rb.enrichSimpleSheet(None, w.sheets["Training"], None, object()), {"Training"}),
    (lambda w: rb.enrichSimpleSheet(w.book, "Missing", FRAME, w), set()),
    (lambda w: rb.enrichRecapSheet(w.book, w.sheets["Test"], FRAME), {"Test"}),
])
def test_simple_and_recap_sheets_open_at_150(tmp_path, writer, call, zoomed):
    assert call(writer) is None
    assert zooms(tmp_path, writer) == {n: (150 if n in zoomed else None) for n in ("Training", "Test")}


@pytest.mark.parametrize("call", [lambda: rb.enrichSimpleSheet(None, "Test", None),
                                  lambda: rb.enrichRecapSheet(None, None, None)])
def test_a_sheet_that_cannot_be_resolved_fails_on_the_zoom(call):
    with pytest.raises(AttributeError, match="set_zoom"):
        call()


def test_simple_sheet_reads_the_sheets_mapping_of_its_writer():
    seen = []
    class Sheets(dict):
        def __contains__(self, key):
            seen.append(key)
            return False
    assert rb.enrichSimpleSheet(None, "X", None, types.SimpleNamespace(sheets=Sheets())) is None
    assert seen == ["X"]
