"""Document properties, custom properties and the hidden "Utilities" table."""
import math
from fractions import Fraction
import zipfile
from collections import OrderedDict

import numpy as np
import openpyxl
import pandas as pd
import pytest

from helpers.readback import custom_properties, read_property_table
from helpers.writer_input import open_writer
from vireo.trellis import reportbook as rb
from vireo.trellis.datareader import tablemine as tm


@pytest.fixture
def writer(tmp_path):
    path = tmp_path / "book.xlsx"
    w = open_writer(path, {"data": pd.DataFrame({"a": [1.0, 2.0]})})
    yield w, path
    if not w.book.fileclosed:
        w.close()


MODEL = {"hidden": 4, "paramCount": 21, "mark": "run-7", "config": "4N-lin"}


def test_properties_and_table_as_a_user_sees_them(writer):
    w, path = writer
    props = OrderedDict([("Source file", ("data.csv", "text")), ("Unused", (None, "number")),
                         ("Epochs", (100, "number")), ("Bound", (-math.inf, "number")),
                         ("Spread", (math.nan, "number")), ("Ceiling", (np.float64(np.inf), "number")),
                         ("Quarter", (Fraction(1, 4), "number")), ("Checked", (True, "number")),
                         ("Flag", (True, "other"))])
    result = rb.initiateExcelWriter(w, MODEL, props, origin="/runs/a")
    assert result == (w, 15)  # nine entries given, four model entries appended
    assert list(props)[-4:] == ["Hidden neurons", "Parameter count", "Configuration string", "Mark"]
    w.close()

    book = openpyxl.load_workbook(path)
    assert book.sheetnames == ["data", "Utilities"]
    assert book.properties.title == "Graph machine demo results"
    assert book.properties.creator == "Orrin Vale, Tamsin Hale"
    with zipfile.ZipFile(path) as z:
        assert b"<Company>Halvard</Company>" in z.read("docProps/app.xml")

    rows, sheet = read_property_table(path)
    assert sheet.sheet_state == "hidden"
    assert sheet.sheet_view.zoomScale == 150
    assert rows == [("property", "value"), ("Source file", "data.csv"), (None, None),
                    ("Epochs", 100), ("Bound", "inf"), ("Spread", "nan"), ("Ceiling", "inf"),
                    ("Quarter", 0.25), ("Checked", 1), ("Flag", True),
                    ("Hidden neurons", 4), ("Parameter count", 21),
                    ("Configuration string", "4N-lin"), ("Mark", "run-7")]

    custom = custom_properties(path)
    assert custom["IsZezidovoraroResult"] == ("bool", "true")
    assert custom["Source file"] == ("lpwstr", "data.csv")
    assert custom["Epochs"] == ("r8", "100")
    # No number property holds infinity or NaN: Excel would repair the file
    # and drop every property.  Their text is kept, as a text property.
    assert [custom[k] for k in ("Bound", "Spread", "Ceiling", "Quarter", "Checked")] == [
        ("lpwstr", "-inf"), ("lpwstr", "nan"), ("lpwstr", "inf"), ("r8", "0.25"), ("r8", "1")]
    assert "Unused" not in custom
    read = tm.getcustomproperties(str(path), "Utilities")
    assert [read[k] for k in ("Epochs", "Bound", "Ceiling")] == [100, "inf", "inf"]
    assert math.isnan(read["Spread"])  # pandas reads the text "nan" as NaN


@pytest.mark.parametrize("origin, props, infolen, sheets", [
    ("", OrderedDict([("Target folder", ("/x", "text"))]), 3, ["data"]),
    ("o", OrderedDict([("field groups", (["a", "b"], "text"))]), 3, ["data", "Utilities"]),
    ("o", OrderedDict(), 2, ["data", "Utilities"]),  # the row below the header
])
def test_table_sizes_and_text_forms(writer, origin, props, infolen, sheets):
    w, path = writer
    assert rb.initiateExcelWriter(w, None, props, origin)[1] == infolen
    w.close()
    assert openpyxl.load_workbook(path).sheetnames == sheets
    custom = custom_properties(path)
    for name, (value, _) in props.items():  # stored as text, never failing on the value
        assert custom[name] == ("lpwstr", str(value))
        assert not origin or (name, str(value)) in read_property_table(path)[0]


def test_recap_mode_replaces_the_single_model_entries(writer):
    w, _ = writer
    props = OrderedDict((k, (1, "number")) for k in
                        ["Hidden neurons", "Parameter count", "Best trainings",
                         "Test selection threshold", "Model count", "Seed"])
    model = {"hiddenlist": "2,4", "paramCount": "9,17", "mark": "m", "configmem": "cfg",
             "config": "ignored", "modelCount": 0}
    rb.initiateExcelWriter(w, model, props, recap=True)
    assert list(props.items()) == [
        ("Seed", (1, "number")), ("Hidden neuron list", ("2,4", "text")),
        ("Parameter count list", ("9,17", "text")), ("Configuration string", ("cfg", "text")),
        ("Mark", ("m", "text"))]


@pytest.mark.parametrize("count, expected", [(3, [("Model count", (3, "number"))]), (0, [])])
def test_model_count_added_or_dropped(writer, count, expected):
    w, _ = writer
    props = OrderedDict([("Model count", (8, "number"))])
    rb.initiateExcelWriter(w, dict(MODEL, modelCount=count), props)
    assert [(k, v) for k, v in props.items() if k == "Model count"] == expected


class Unprintable:
    def __str__(self):
        raise RuntimeError("no text of this value")

    def __format__(self, how):
        return str(self)


@pytest.mark.parametrize("model, props, origin, error, match", [
    (None, [("Bad", ("v", "text", "extra"))], "o", ValueError, r"gmCustomProperties\['Bad'\].*pair"),
    # XlsxWriter would format them as text when saving the workbook
    (None, [("Note", (Unprintable(), "text"))], "o", RuntimeError, "no text of this value"),
    (None, [("Note", (Unprintable(), "remark"))], "o", RuntimeError, "no text of this value"),
    (None, [("Model file", "m.nnx")], "o", TypeError, r"gmCustomProperties\['Model file'\].*str"),
    (None, [("Epochs", 3)], "", TypeError, r"gmCustomProperties\['Epochs'\].*\(value, tag\).*int 3"),
    (None, [("Epochs", ("100", "number"))], "", TypeError, r"gmCustomProperties\['Epochs'\]\[0\].*number"),
    (dict(MODEL, hidden="4"), [], "o", TypeError, r"modeldic\['hidden'\].*str '4'"),
    ([("hidden", 4)], [], "o", TypeError, "modeldic must be a mapping"),
    (None, None, "o", TypeError, "gmCustomProperties must be a mapping"),
])
def test_bad_entries_are_refused_before_anything_is_written(writer, model, props, origin, error,
                                                            match):
    w, path = writer
    props = None if props is None else OrderedDict([("Good", ("yes", "text"))] + props)
    with pytest.raises(error, match=match):
        rb.initiateExcelWriter(w, model, props, origin=origin)
    assert props is None or list(props) == ["Good"] + list(props)[1:]  # no model entry added
    w.close()
    assert openpyxl.load_workbook(path).sheetnames == ["data"]
    with zipfile.ZipFile(path) as z:
        assert "docProps/custom.xml" not in z.namelist()


def test_missing_model_keys_fail_after_the_properties_are_set(writer):
    w, path = writer
    with pytest.raises(KeyError, match="paramCount"):
        rb.initiateExcelWriter(w, {"hidden": 2}, OrderedDict())
    w.close()
    assert custom_properties(path)["IsZezidovoraroResult"] == ("bool", "true")


def test_a_writer_opened_twice_is_refused(writer):
    w, path = writer
    rb.initiateExcelWriter(w, None, OrderedDict([("Run", ("a", "text"))]), origin="o")
    with pytest.raises(ValueError, match="excelwriter already has a sheet 'Utilities'"):
        rb.initiateExcelWriter(w, None, OrderedDict([("Run", ("b", "text"))]), origin="o")
    w.close()
    assert read_property_table(path)[0] == [("property", "value"), ("Run", "a")]


def test_a_name_set_twice_keeps_its_place_and_the_later_value(writer):
    w, path = writer
    rb.initiateExcelWriter(w, None, OrderedDict([("Epochs", (10, "number")), ("Run", ("a", "text"))]))
    rb.initiateExcelWriter(w, None, OrderedDict([("IsZezidovoraroResult", ("no", "text")),
                                                 ("Epochs", (20, "number"))]))
    w.close()
    assert list(custom_properties(path).items()) == [
        ("IsZezidovoraroResult", ("lpwstr", "no")), ("Epochs", ("r8", "20")), ("Run", ("lpwstr", "a"))]
    assert openpyxl.load_workbook(path).sheetnames == ["data"]


class _BookWithoutPropertyList:
    """A book that keeps its custom properties its own way: the list is read
    through a property whose getter fails with `error`."""
    fileclosed = False

    def __init__(self, error):
        self.error = error
        self.stored = []

    def set_properties(self, properties):
        pass

    def set_custom_property(self, name, value, vtype):
        self.stored.append((name, value, vtype))

    @property
    def custom_properties(self):
        raise self.error("no list here")


@pytest.mark.parametrize("error", [AttributeError, RuntimeError])
def test_a_book_without_a_property_list_keeps_its_own_and_its_getter_errors_reach_the_caller(error):
    # Only a missing list leaves the book to itself: a getter that fails
    # otherwise is the caller's to know of.
    book = _BookWithoutPropertyList(error)
    writer = type("Writer", (), {"book": book})()
    props = OrderedDict([("Run", ("a", "text"))])
    if error is AttributeError:
        assert rb.initiateExcelWriter(writer, None, props) == (writer, 3)
        assert [name for name, _, _ in book.stored] == ["IsZezidovoraroResult", "Run"]
    else:
        with pytest.raises(RuntimeError, match="no list here"):
            rb.initiateExcelWriter(writer, None, props)


@pytest.mark.parametrize("indirect, expected", [(False, "<container>out"), (0, "<container>out"),
                                                (True, "out"), ("yes", "out")])
def test_outputmarker(indirect, expected):
    assert rb.outputmarker("out", indirect) == expected
    assert rb.outputmarker(filename="out") == "<container>out"
