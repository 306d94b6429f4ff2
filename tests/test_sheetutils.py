"""Looking up a sheet by name, and the simple and recap sheets opened at 150 %."""
import pandas as pd
import pytest

from helpers.readback import book
from helpers.writer_input import open_writer
from vireo.trellis import reportbook as rb

FRAME = pd.DataFrame({"a": [1.0, 2.0]})


@pytest.fixture
def writer(tmp_path):
    return open_writer(tmp_path / "s.xlsx", {"Training": FRAME, "Test": FRAME})


@pytest.mark.parametrize("name, found", [("Test", "Test"), ("Utilities", None), ("test", None),
                                         ("Test ", None)])
def test_get_sheet_finds_exact_names_only(writer, name, found):
    sheet = rb.getSheet(writer, name)
    assert (sheet.name if sheet is not None else None) == found
    writer.close()


@pytest.mark.parametrize("call, zoomed", [
    (lambda w: rb.enrichSimpleSheet(w.book, "Test", FRAME, writer=w), "Test"),
    (lambda w: rb.enrichSimpleSheet(None, w.sheets["Training"], None, object()), "Training"),
    (lambda w: rb.enrichSimpleSheet(w.book, "Missing", FRAME, w), None),
    (lambda w: rb.enrichRecapSheet(w.book, w.sheets["Test"], FRAME), "Test"),
])
def test_simple_and_recap_sheets_open_at_150(tmp_path, writer, call, zoomed):
    assert call(writer) is None
    writer.close()
    zooms = {ws.title: ws.sheet_view.zoomScale for ws in book(tmp_path / "s.xlsx").worksheets}
    assert zooms == {n: (150 if n == zoomed else None) for n in ("Training", "Test")}


@pytest.mark.parametrize("call", [lambda: rb.enrichSimpleSheet(None, "Test", None),
                                  lambda: rb.enrichRecapSheet(None, None, None),
                                  lambda: rb.getSheet(object(), "Test")])
def test_what_cannot_be_resolved_gives_the_attribute_error(call):
    with pytest.raises(AttributeError):
        call()
