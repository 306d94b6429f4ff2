"""The chart bounds block on the "Utilities" sheet: its formulas, labels, stacking and refusals."""
import numpy as np
import pandas as pd
import pytest

from helpers.readback import cells
from helpers.writer_input import Book
from vireo.trellis import reportbook as rb


def frame(measured):
    return pd.DataFrame({"x0": 0.0, "x1": 0.0, "m": measured, "x3": 0.0}, index=range(len(measured)))


def block(tmp_path, name, measured, col=2, infolen=0, utilities=True):
    wb = Book(tmp_path, {name: frame(measured)}, utilities=utilities)
    return wb, rb.setMinMaxOnSheet(wb.util, wb[name], frame(measured), col, 9, infolen)


def test_block_of_the_worked_example(tmp_path):
    wb, result = block(tmp_path, "Training", np.linspace(1.0, 5.0, 100), infolen=4)
    rng = "'Training'!$C$2:$C$101"
    spread = "(MAX({0})-MIN({0}))".format(rng)
    assert tuple(result) == (100, 4, 1.0, 5.0, rng, 7, "'Utilities'!$D$6:$D$7")
    assert cells(wb.close()["Utilities"]) == {
        "B5": "Training", "C5": "Padding", "D5": "=0.05", "C6": "Chart min", "D6": "=MIN(%s)-D5*%s" % (rng, spread),
        "C7": "Chart max", "D7": "=MAX(%s)+D5*%s" % (rng, spread)}


@pytest.mark.parametrize("name, label", [("Training Test", "Training"), ("Test set", "Test"),
                                         ("LOO test results", "LOO CV"), ("Validation", None), ("training", None)])
def test_blocks_stack_and_carry_the_sheet_label(tmp_path, name, label):
    wb, first = block(tmp_path, name, [1.0, 2.0])
    second = rb.setMinMaxOnSheet(wb.util, wb[name], frame([1.0, 2.0]), 2, 9, first[5])
    assert (first[5], second[5], first[6]) == (3, 6, "'Utilities'!$D$2:$D$3")
    got = cells(wb.close()["Utilities"])
    assert (got.get("B1"), got.get("B4"), got["C6"], got["D4"]) == (label, label, "Chart max", "=0.05")


@pytest.mark.parametrize("measured, bounds", [
    ([np.nan, 3.0, 1.0, 2.0], (1.0, 3.0)), ([3.0, 1.0, np.inf, 2.0, np.nan], (1.0, 3.0)),
    (pd.Series([None, "n/a", 4, 2.5, pd.NA, -np.inf], dtype=object), (2.5, 4))])
def test_bounds_come_from_the_finite_numbers_wherever_a_nan_stands(tmp_path, measured, bounds):
    wb, result = block(tmp_path, "Test", measured)
    assert result[2:4] == bounds
    wb.close()


@pytest.mark.parametrize("measured, col, infolen, utilities, error", [
    ([], 2, 0, True, ValueError), ([np.nan, np.inf], 2, 0, True, ValueError), ([1.0], 9, 0, True, IndexError),
    ([1.0], -1, 0, True, IndexError), ([1.0], 2, -1, True, ValueError), ([1.0], 2, 0, False, AttributeError),
    # A label instead of a position never reaches pandas.
    ([1.0], ("m", 2), 0, True, TypeError)])
def test_bad_input_fails_before_anything_is_written(tmp_path, measured, col, infolen, utilities, error):
    wb = Book(tmp_path, {"Test": frame(measured)}, utilities=utilities)
    with pytest.raises(error) as info:
        rb.setMinMaxOnSheet(wb.util, wb["Test"], frame(measured), col, 9, infolen)
    if len(measured) != 1:
        # Python's own error for the min of nothing, in this interpreter's
        # wording (3.13 changed it).
        with pytest.raises(ValueError) as builtin:
            min([])
        assert str(info.value) == str(builtin.value)
    book = wb.close()
    assert not utilities or cells(book["Utilities"]) == {}


def test_sheet_names_with_quotes_and_blanks_stay_valid_references(tmp_path):
    wb, result = block(tmp_path, "O'Neil set", [1.0, 2.0])
    assert result[4] == "'O''Neil set'!$C$2:$C$3"
    assert cells(wb.close()["Utilities"])["D2"].startswith("=MIN('O''Neil set'!$C$2:$C$3)-D1*")
