"""Fixtures shared by several test modules (the shared code itself is in helpers/)."""
import warnings

import pytest


@pytest.fixture
def no_vba_project(monkeypatch, tmp_path):
    """No VBA project of the machine is picked up: the writer's home holds none."""
    from vireo.trellis import reportbook as rb

    empty = tmp_path / "no-vba-here"
    empty.mkdir()
    monkeypatch.setattr(rb, "home", str(empty))


@pytest.fixture
def restore_warning_filters():
    """The warning filters as they were: getranges silences warnings for the whole process."""
    with warnings.catch_warnings():
        yield


@pytest.fixture(params=["native", "library"])
def range_reader(request, monkeypatch):
    """The range functions on both their paths: read natively (where the
    native reader is unsure, an error instead of the library), or through the
    toolkit's Excel reader (a subclass rebound in the module, which the module
    always calls)."""
    from vireo.trellis.datareader import tablemine as tm

    if request.param == "native":
        monkeypatch.setenv("TRELLIS_NATIVE_ONLY", "1")
    else:
        own, choose = tm.Excel, tm.getExcelType
        reader = type("Excel", (own,), {})
        monkeypatch.setattr(tm, "Excel", reader)
        monkeypatch.setattr(tm, "getExcelType", lambda ft: reader if choose(ft) is own else choose(ft))
    return request.param
