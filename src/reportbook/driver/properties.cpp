// The document and custom properties of a result workbook, and the hidden
// "Utilities" table that shows the custom ones: how each value is stored,
// and the checks made before the first is.
#include "reportbook/driver/properties.hpp"

#include "reportbook/checks.hpp"

#include <cmath>

namespace rb {

const char *const kPropertiesExpected =
    "a mapping of property names to (value, tag) pairs, such as an OrderedDict";
const char *const kModelExpected =
    "a mapping that describes the model (keys 'hidden', 'paramCount', 'mark'...)";

namespace {

void remove_if_present(handle mapping, const char *name) {
    object key = nb::str(name);
    if (pyutil::contains(mapping, key) && PyObject_DelItem(mapping.ptr(), key.ptr()) < 0)
        pyutil::raise_pending();
}

bool is_tag(handle vtype, const char *tag) { return vtype.equal(nb::str(tag)); }

// A tag XlsxWriter writes as text (every tag but its typed ones).
bool written_as_text(handle vtype) {
    for (const char *typed : {"number", "number_int", "date", "bool"})
        if (is_tag(vtype, typed)) return false;
    return true;
}

// numpy's isinf for the values it takes; a fraction or another real number
// numpy has no type for is tested as the double it stands for.
bool is_infinite(handle value) {
    if (checks::is_real(value) && !PyFloat_Check(value.ptr()) && !PyLong_Check(value.ptr()))
        return std::isinf(pyutil::as_double(value, 0.0));
    return pyutil::truthy(pyutil::module_attr("np").attr("isinf")(value));
}

// A real number that is infinite or NaN.  An int too large for a double
// counts as finite: its digits are a valid number property.
bool is_non_finite(handle value) {
    return checks::is_real(value) && !std::isfinite(pyutil::as_double(value, 0.0));
}

// A finite real number as XlsxWriter writes it into a number property, its
// str() form: an xs:double for ints, floats and numpy's numbers, but "True"
// for a bool and "1/3" for a fraction, which take their int or float form.
object number_property(handle value) {
    if (PyBool_Check(value.ptr()) || pyutil::is_instance(value, "numpy", "bool_"))
        return nb::int_(pyutil::truthy(value) ? 1 : 0);
    if (PyLong_Check(value.ptr()) || PyFloat_Check(value.ptr()) ||
        pyutil::is_instance(value, "numpy", "number"))
        return nb::borrow(value);
    if (pyutil::is_instance(value, "numbers", "Integral"))
        return pyutil::steal(PyNumber_Long(value.ptr()));
    return pyutil::steal(PyNumber_Float(value.ptr()));
}

// The value and tag a property is stored with.  XlsxWriter only stores text
// properties that are text; anything else the caller tagged "text" (a list
// of fields, a number) is stored in its str() form, the same form the
// "Utilities" cell shows.  A number that is infinite or NaN has no form in a
// number property that applications accept (XlsxWriter would write "inf",
// which is no xs:double, and Excel repairs the file by dropping every
// property); it is stored as the text "inf", "-inf" or "nan".  A value
// of any tag XlsxWriter has no type for is formatted as text by XlsxWriter
// when the workbook is saved: it is formatted here, so that a value that
// cannot be fails this call with its own error, not the save.
std::pair<object, object> stored_property(handle value, handle vtype) {
    if (is_tag(vtype, "text") && !nb::isinstance<nb::str>(value))
        return {nb::str(value), nb::borrow(vtype)};
    if (is_tag(vtype, "number") && is_non_finite(value))
        return {nb::str(nb::float_(value)), nb::str("text")};
    if (is_tag(vtype, "number") && checks::is_real(value))
        return {number_property(value), nb::borrow(vtype)};
    if (!vtype.is_none() && !nb::isinstance<nb::str>(value) && written_as_text(vtype))
        return {pyutil::steal(PyObject_Format(value.ptr(), nullptr)), nb::borrow(vtype)};
    return {nb::borrow(value), nb::borrow(vtype)};
}

// Book.set_custom_property, keeping one property per name: XlsxWriter
// appends every call to its list, and a name saved twice makes openpyxl
// (3.1 and later) refuse the whole workbook.  The later value takes the
// place of the earlier one.  A book that keeps its properties otherwise is
// left as it is.
void set_custom_property(handle book, handle name, handle value, handle vtype) {
    book.attr("set_custom_property")(name, value, vtype);
    object props = pyutil::attr_or_none(book, "custom_properties");
    if (!props.is_valid() || !PyList_CheckExact(props.ptr())) return;
    // Free-threaded, the list's items are read under its critical section, as
    // Python code's props[i] would (nothing with a GIL).
    nb::ft_object_guard guard(props);
    const Py_ssize_t last = PyList_GET_SIZE(props.ptr()) - 1;
    if (last < 1) return;
    object added = nb::borrow(PyList_GET_ITEM(props.ptr(), last));
    if (!PyTuple_Check(added.ptr()) || PyTuple_GET_SIZE(added.ptr()) < 1) return;
    handle added_name = PyTuple_GET_ITEM(added.ptr(), 0);
    for (Py_ssize_t i = 0; i < last; ++i) {
        object earlier = nb::borrow(PyList_GET_ITEM(props.ptr(), i));
        if (!PyTuple_Check(earlier.ptr()) || PyTuple_GET_SIZE(earlier.ptr()) < 1) continue;
        if (!handle(PyTuple_GET_ITEM(earlier.ptr(), 0)).equal(added_name)) continue;
        if (PyList_SetSlice(props.ptr(), last, last + 1, nullptr) < 0 ||
            PyList_SetItem(props.ptr(), i, added.release().ptr()) < 0)
            pyutil::raise_pending();
        return;
    }
}

void write_value_cell(handle sheet, long long row, handle value, handle vtype) {
    if (is_tag(vtype, "text")) {
        sheet.attr("write_string")(row, 2, nb::str(value));
    } else if (is_tag(vtype, "number")) {
        // A number cell holds neither infinity nor NaN: their text instead.
        if (is_infinite(value))
            sheet.attr("write_string")(row, 2, "inf");
        else if (is_non_finite(value))
            sheet.attr("write_string")(row, 2, "nan");
        else
            sheet.attr("write_number")(row, 2, value);
    } else {
        sheet.attr("write")(row, 2, value);
    }
}

// modeldic[key] when present, for a check; an invalid object otherwise (the
// step that needs the key raises its KeyError at its own time).
object model_value(handle modeldic, const char *key) {
    object k = nb::str(key);
    if (!pyutil::contains(modeldic, k)) return object();
    return modeldic[k];
}

void model_number(handle modeldic, const char *key) {
    object v = model_value(modeldic, key);
    if (v.is_valid() && !v.is_none())
        checks::real(v, std::string("modeldic['") + key + "']",
                     "a number (it becomes a number property)");
}

}  // namespace

void add_model_entries(handle d, handle modeldic, bool recap) {
    if (!recap) {
        store(d, "Hidden neurons", modeldic["hidden"], "number");
        store(d, "Parameter count", modeldic["paramCount"], "number");
        if (pyutil::contains(modeldic, nb::str("config")))
            store(d, "Configuration string", modeldic["config"], "text");
    } else {
        store(d, "Hidden neuron list", modeldic["hiddenlist"], "text");
        store(d, "Parameter count list", modeldic["paramCount"], "text");
        for (const char *name :
             {"Hidden neurons", "Parameter count", "Best trainings", "Test selection threshold"})
            remove_if_present(d, name);
        if (pyutil::contains(modeldic, nb::str("configmem")))
            store(d, "Configuration string", modeldic["configmem"], "text");
    }
    store(d, "Mark", modeldic["mark"], "text");
    if (pyutil::contains(modeldic, nb::str("modelCount")) && (modeldic["modelCount"] > nb::int_(0)))
        store(d, "Model count", modeldic["modelCount"], "number");
    else
        remove_if_present(d, "Model count");
}

void check_properties(handle d, handle modeldic, bool recap) {
    checks::mapping(d, "gmCustomProperties", kPropertiesExpected);
    if (!modeldic.is_none()) {
        checks::mapping(modeldic, "modeldic", kModelExpected);
        if (!recap) {
            model_number(modeldic, "hidden");
            model_number(modeldic, "paramCount");
        }
        model_number(modeldic, "modelCount");
    }
    for (handle entry : d.attr("items")()) {
        std::vector<object> kv = pyutil::unpack(entry, 2);
        checks::property_pair(kv[0], kv[1], "gmCustomProperties");
        // a value that cannot be stored fails here, before anything is written
        std::vector<object> pair = pyutil::unpack(kv[1], 2);
        if (!pair[0].is_none()) stored_property(pair[0], pair[1]);
    }
}

void check_workbook(handle book, bool with_sheet) {
    checks::open_workbook(book, "excelwriter");
    if (with_sheet && !checks::worksheet(book, nb::str("Utilities")).is_none())
        checks::impossible(
            "excelwriter already has a sheet 'Utilities': its workbook was opened by an earlier "
            "call (finishExcel or initiateExcelWriter on the same writer); open a new pandas "
            "ExcelWriter, or name no sheet of yours 'Utilities'");
}

WriterTuple initiateExcelWriter(ExcelWriter excelwriter, Optional<Properties> modeldic,
                                CustomProperties gmCustomProperties, Str origin, Bool recap) {
    handle d = gmCustomProperties;
    object book = nb::getattr(excelwriter, "book");
    bool with_sheet = pyutil::truthy(origin);
    check_workbook(book, with_sheet);
    check_properties(d, modeldic, pyutil::truthy(recap));

    book.attr("set_properties")(gmProperties());
    set_custom_property(book, nb::str("IsZezidovoraroResult"), nb::bool_(true), nb::str("bool"));

    if (!modeldic.is_none()) add_model_entries(d, modeldic, pyutil::truthy(recap));

    object sheet;
    if (with_sheet) {
        sheet = book.attr("add_worksheet")("Utilities");
        sheet.attr("set_zoom")(150);
        sheet.attr("write_string")(1, 1, "property");
        sheet.attr("write_string")(1, 2, "value");
    }

    // An empty mapping leaves the table empty: the first free row is then the
    // one below the header.
    long long i = -1;
    for (handle entry : d.attr("items")()) {
        ++i;
        std::vector<object> kv = pyutil::unpack(entry, 2);
        std::vector<object> pair = pyutil::unpack(kv[1], 2);
        handle key = kv[0], value = pair[0], vtype = pair[1];
        if (value.is_none()) continue;
        std::pair<object, object> stored = stored_property(value, vtype);
        set_custom_property(book, key, stored.first, stored.second);
        if (with_sheet) {
            sheet.attr("write_string")(2 + i, 1, nb::str(key));
            write_value_cell(sheet, 2 + i, value, vtype);
        }
    }
    if (with_sheet) sheet.attr("hide")();
    return nb::make_tuple(nb::borrow(excelwriter), i + 3);
}

}  // namespace rb
