"""The property table of a result workbook read back."""
import pytest

from helpers.reader_files import property_table_rows, write_xlsx
from vireo.trellis.datareader import tablemine as tm

PROPS = [
    ["Model file", "/d/net.nnx"],
    ["seed", 42],
    [None, "orphan"],  # a row without a name
    [2016, "year"],  # a name that is no text
    ["Mark", "first"],
    ["Mark", "second"],
]


@pytest.fixture
def book(tmp_path):
    # the min/max block the writer stacks below the table: a sheet label with
    # its padding, then rows with an empty name cell
    block = [[None, "Training", "Padding"], [None, None, 0.1], [None, None, 0.9]]
    return write_xlsx(tmp_path / "r.xlsx", {"Utilities": property_table_rows(PROPS) + block})


def test_all_properties(book):
    assert tm.getcustomproperties(book, "Utilities") == {
        "Model file": "/d/net.nnx", "seed": 42, "Mark": "second", "Training": "Padding"}
    # keys is accepted and selects nothing
    assert tm.getcustomproperties(book, "Utilities", keys=["seed"]) == tm.getcustomproperties(book, "Utilities")


@pytest.mark.parametrize("name, value", [("seed", 42), ("Model file", "/d/net.nnx"), (2016, "year"),
                                          ("Mark", "first"), ("missing", None)])
def test_one_property(book, name, value):
    expected = book if value is None else value
    assert tm.getcustomproperty(book, "Utilities", name) == expected


def test_file_types(tmp_path):
    upper = write_xlsx(tmp_path / "results.XLSM", {"Utilities": property_table_rows(PROPS)})
    assert tm.getcustomproperties(upper, "Utilities") == {}
    assert tm.getcustomproperty(upper, "Utilities", "seed") is upper
    assert tm.getcustomproperty(upper, "Utilities", "seed", filetype="xlsx") == 42


def test_titles_in_the_first_row_are_not_found(tmp_path):
    flat = write_xlsx(tmp_path / "f.xlsx", {"Utilities": [["property", "value"], ["seed", 1]]})
    with pytest.raises(KeyError):
        tm.getcustomproperties(flat, "Utilities")
    with pytest.raises(KeyError):
        tm.getcustomproperty(flat, "Utilities", "seed")
    with pytest.raises(ValueError):  # the reading library's error for a missing sheet
        tm.getcustomproperties(flat, "Missing")
