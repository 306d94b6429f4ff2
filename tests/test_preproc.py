"""The pre-processing workbook: zoom and window size, with and without a VBA project."""
import zipfile

import pandas as pd
import pytest

from helpers.readback import book
from helpers.writer_input import open_writer
from vireo.trellis import reportbook as rb

DATA = pd.DataFrame({"a": [1.0, 2.0]})


def workbook_xml(path):
    return zipfile.ZipFile(str(path)).read("xl/workbook.xml").decode()


def test_without_vba_only_the_zoom_changes_and_the_book_stays_open(tmp_path):
    writer = open_writer(tmp_path / "p.xlsx", {"Data": DATA, "Other": DATA})
    assert rb.enrichExcelPreproc(writer, "Data", "ignored") is None
    assert not writer.book.fileclosed
    writer.close()
    assert [ws.sheet_view.zoomScale for ws in book(tmp_path / "p.xlsx").worksheets] == [150, None]
    assert 'windowWidth="16095"' in workbook_xml(tmp_path / "p.xlsx")
    with pytest.raises(AttributeError, match="set_zoom"):
        rb.enrichExcelPreproc(writer, "Missing", "", True)


@pytest.mark.parametrize("with_project", [False, True])
def test_with_vba_the_book_is_sized_and_closed(tmp_path, monkeypatch, capsys, with_project):
    monkeypatch.setattr(rb, "home", str(tmp_path))
    if with_project:
        (tmp_path / "vbaProject.bin").write_bytes(b"\xd0\xcf\x11\xe0 project")
    path = tmp_path / "p.xlsx"  # pandas refuses an .xlsm name
    writer = open_writer(path, {"Data": DATA})
    rb.enrichExcelPreproc(writer, "Data", str(path), do_vba=1)
    assert writer.book.fileclosed
    assert ("xl/vbaProject.bin" in zipfile.ZipFile(str(path)).namelist()) == with_project
    assert 'windowWidth="22350" windowHeight="19500"' in workbook_xml(path)
    assert ('codeName="ThisWorkbook"' in workbook_xml(path)) == with_project
    assert ("cannot find 'vbaProject.bin'" in capsys.readouterr().out) != with_project
