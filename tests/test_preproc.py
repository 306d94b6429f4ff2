import zipfile

import pandas as pd
import pytest

from conftest import open_writer
from vireo.trellis import reportbook as rb
from sheets_book import book

DATA = pd.DataFrame({"a": [1.0, 2.0], "b": [3.0, 4.0]})


@pytest.fixture
def home(tmp_path, monkeypatch):
    folder = tmp_path / "home"
    folder.mkdir()
    monkeypatch.setattr(rb, "home", str(folder))
    return folder


def test_without_vba_only_the_zoom_changes_and_the_book_stays_open(tmp_path):
    writer = open_writer(tmp_path / "p.xlsx", {"Data": DATA, "Other": DATA})
    assert rb.enrichExcelPreproc(writer, "Data", "ignored") is None
    assert not writer.book.fileclosed
    writer.close()
    wb = book(tmp_path / "p.xlsx")
    assert [ws.sheet_view.zoomScale for ws in wb.worksheets] == [150, None]
    assert "windowWidth=\"16095\"" in zipfile.ZipFile(tmp_path / "p.xlsx").read("xl/workbook.xml").decode()


@pytest.mark.parametrize("with_project", [False, True])
def test_with_vba_the_book_is_sized_and_closed(tmp_path, home, capsys, with_project):
    if with_project:
        (home / "vbaProject.bin").write_bytes(b"\xd0\xcf\x11\xe0 project")
    path = tmp_path / "p.xlsx"  # pandas refuses an .xlsm name
    writer = open_writer(path, {"Data": DATA})
    rb.enrichExcelPreproc(writer, "Data", str(path), do_vba=1)
    assert writer.book.fileclosed
    with zipfile.ZipFile(path) as z:
        workbook_xml = z.read("xl/workbook.xml").decode()
        assert ("xl/vbaProject.bin" in z.namelist()) == with_project
    assert 'windowWidth="22350" windowHeight="19500"' in workbook_xml
    assert ('codeName="ThisWorkbook"' in workbook_xml) == with_project
    assert ("cannot find 'vbaProject.bin'" in capsys.readouterr().out) != with_project


def test_a_sheet_the_writer_lacks_fails_on_the_zoom(tmp_path):
    writer = open_writer(tmp_path / "p.xlsx", {"Data": DATA})
    with pytest.raises(AttributeError, match="set_zoom"):
        rb.enrichExcelPreproc(writer, "Missing", "", True)
    assert not writer.book.fileclosed
    writer.close()
