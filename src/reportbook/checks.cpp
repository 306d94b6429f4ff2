#include "reportbook/checks.hpp"

#include "reportbook/a1.hpp"
#include "reportbook/sheetcells.hpp"

#include <cerrno>
#include <cmath>

namespace rb::checks {
namespace {

// Longer reprs are cut: the message names the value, it does not dump it.
constexpr size_t kReprChars = 60;

std::string type_of(handle value) { return Py_TYPE(value.ptr())->tp_name; }

bool is_text(handle value) {
    return PyUnicode_Check(value.ptr()) || PyBytes_Check(value.ptr()) ||
           PyByteArray_Check(value.ptr());
}

}  // namespace

std::string short_repr(handle value) {
    std::string repr;
    PyObject *r = PyObject_Repr(value.ptr());
    if (r) {
        repr = pyutil::utf8(pyutil::steal(r));
    } else {
        // A repr that fails must not hide the refusal being made.
        PyErr_Clear();
        repr = "<?>";
    }
    if (repr.size() > kReprChars) {
        // Cut between characters: the message must stay UTF-8.
        size_t cut = kReprChars - 3;
        while (cut > 0 && (static_cast<unsigned char>(repr[cut]) & 0xC0) == 0x80) --cut;
        repr = repr.substr(0, cut) + "...";
    }
    return repr;
}

std::string describe(handle value) { return type_of(value) + " " + short_repr(value); }

void wrong_type(const std::string &name, handle value, const std::string &expected) {
    pyutil::raise(PyExc_TypeError, "%s must be %s, not %s", name.c_str(), expected.c_str(),
                  describe(value).c_str());
}

void impossible(const std::string &message) {
    pyutil::raise(PyExc_ValueError, "%s", message.c_str());
}

void warn(const std::string &message) {
    if (PyErr_WarnEx(PyExc_UserWarning, message.c_str(), 1) < 0) pyutil::raise_pending();
}

bool is_real(handle value) {
    if (PyBool_Check(value.ptr()) || PyLong_Check(value.ptr()) || PyFloat_Check(value.ptr()))
        return true;
    if (is_text(value)) return false;
    // numpy's bool is no numbers.Real, but compares and is stored as one.
    return pyutil::is_instance(value, "numbers", "Real") ||
           pyutil::is_instance(value, "numpy", "bool_");
}

void real(handle value, const std::string &name, const std::string &expected) {
    if (!is_real(value)) wrong_type(name, value, expected);
}

long long index(handle value, const std::string &name, const std::string &expected) {
    PyObject *i = PyNumber_Index(value.ptr());
    if (!i) {
        if (!PyErr_ExceptionMatches(PyExc_TypeError)) pyutil::raise_pending();
        PyErr_Clear();
        wrong_type(name, value, expected);
    }
    object held = pyutil::steal(i);
    long long v = PyLong_AsLongLong(held.ptr());
    if (v == -1 && PyErr_Occurred()) {
        if (!PyErr_ExceptionMatches(PyExc_OverflowError)) pyutil::raise_pending();
        PyErr_Clear();
        pyutil::raise(PyExc_ValueError, "%s is %s, far beyond any row or column of a sheet",
                      name.c_str(), describe(value).c_str());
    }
    return v;
}

bool is_sequence(handle value) {
    return !is_text(value) && PySequence_Check(value.ptr()) && !PyDict_Check(value.ptr());
}

void sequence(handle value, const std::string &name, const std::string &expected) {
    if (!is_sequence(value)) wrong_type(name, value, expected);
}

bool is_mapping(handle value) {
    if (PyDict_Check(value.ptr())) return true;
    if (is_text(value) || PySequence_Check(value.ptr())) {
        // A list or a tuple has item access too, by position only.
        if (!pyutil::is_instance(value, "collections.abc", "Mapping")) return false;
    }
    return pyutil::has_attr(value, "keys") && pyutil::has_attr(value, "__getitem__");
}

void mapping(handle value, const std::string &name, const std::string &expected) {
    if (!is_mapping(value)) wrong_type(name, value, expected);
}

std::pair<long long, long long> frame_shape(handle frame, const std::string &name) {
    const char *expected = "a pandas DataFrame (rows and columns) or None";
    object shape = pyutil::attr_or_none(frame, "shape");
    if (!shape.is_valid() || !is_sequence(shape) || nb::len(shape) != 2)
        wrong_type(name, frame, expected);
    return {index(shape[nb::int_(0)], name + ".shape[0]"),
            index(shape[nb::int_(1)], name + ".shape[1]")};
}

std::vector<object> unpack(handle list, size_t n, const std::string &name) {
    try {
        return pyutil::unpack(list, n);
    } catch (nb::python_error &e) {
        if (!e.matches(PyExc_TypeError) && !e.matches(PyExc_ValueError)) throw;
        const bool type = e.matches(PyExc_TypeError);
        std::string what = pyutil::utf8(e.value());
        pyutil::raise(type ? PyExc_TypeError : PyExc_ValueError, "%s: %s", name.c_str(),
                      what.c_str());
    }
}

void property_pair(handle key, handle pair, const std::string &mapping_name, bool numbers) {
    std::string name = mapping_name + "[" + short_repr(key) + "]";
    const char *expected = "a (value, tag) pair such as (3, 'number') or ('text', 'text')";
    if (!is_sequence(pair)) wrong_type(name, pair, expected);
    Py_ssize_t size = PySequence_Size(pair.ptr());
    if (size < 0) pyutil::raise_pending();
    if (size != 2)
        pyutil::raise(PyExc_ValueError, "%s must be %s, not a sequence of %zd: %s", name.c_str(),
                      expected, size, describe(pair).c_str());
    // XlsxWriter encodes the name of a document property: only a text has one.
    if (numbers && !nb::isinstance<nb::str>(key))
        wrong_type(mapping_name + " key " + short_repr(key), key,
                   "a text (the name of a property)");
    object value = pair[nb::int_(0)], tag = pair[nb::int_(1)];
    if (numbers && tag.equal(nb::str("number")) && !value.is_none() && !is_real(value))
        wrong_type(name + "[0]", value, "a number (its tag is 'number'), or None");
}

void text_stream(handle stream, const std::string &name) {
    object write = pyutil::attr_or_none(stream, "write");
    if (!write.is_valid() || !PyCallable_Check(write.ptr()))
        wrong_type(name, stream,
                   "a text stream with a write(text) method, such as sys.stdout or io.StringIO()");
    object closed = pyutil::attr_or_none(stream, "closed");
    if (closed.is_valid() && pyutil::truthy(closed))
        impossible(name + " is closed (" + describe(stream) +
                   "): the messages of the run are written to it; give an open stream");
}

void existing_folder(handle folder, const std::string &name) {
    object os = nb::module_::import_("os");
    object path;
    try {
        path = os.attr("fspath")(folder);
    } catch (nb::python_error &e) {
        if (!e.matches(PyExc_TypeError)) throw;
        wrong_type(name, folder, "a folder (a text or path-like object)");
    }
    if (pyutil::truthy(os.attr("path").attr("isdir")(path))) return;
    const bool exists = pyutil::truthy(os.attr("path").attr("exists")(path));
    const std::string message = name + (exists ? " is no folder" : " names no existing folder") +
                                ": the results are written there, and it is not created for you";
    pyutil::raise(pyutil::steal(
        PyObject_CallFunction(exists ? PyExc_NotADirectoryError : PyExc_FileNotFoundError, "isO",
                              exists ? ENOTDIR : ENOENT, message.c_str(), path.ptr())));
}

void folder_of_path_exists(handle path, const std::string &name) {
    object os = nb::module_::import_("os");
    object text;
    try {
        text = os.attr("fspath")(path);
    } catch (nb::python_error &e) {
        if (!e.matches(PyExc_TypeError)) throw;
        wrong_type(name, path, "a file path (a text or path-like object)");
    }
    object folder = os.attr("path").attr("dirname")(text);
    existing_folder(pyutil::truthy(folder) ? folder : os.attr("curdir"), "the folder of " + name);
}

long long levels(handle frame, const char *axis) {
    object a = pyutil::attr_or_none(frame, axis);
    object n = a.is_valid() ? pyutil::attr_or_none(a, "nlevels") : object();
    if (!n.is_valid()) return 1;
    PyObject *i = PyNumber_Index(n.ptr());
    if (!i) {
        PyErr_Clear();
        return 1;
    }
    long long v = PyLong_AsLongLong(i);
    Py_DECREF(i);
    if (v == -1 && PyErr_Occurred()) PyErr_Clear();
    return v;
}

std::pair<object, long long> first_text(handle column) {
    object dtype = pyutil::attr_or_none(column, "dtype");
    object kind = dtype.is_valid() ? pyutil::attr_or_none(dtype, "kind") : object();
    // Booleans, integers, floats and complex numbers hold no text.
    if (kind.is_valid() && nb::isinstance<nb::str>(kind) &&
        std::string("biufc").find(pyutil::utf8(kind)) != std::string::npos)
        return {object(), -1};
    long long row = 0;
    for (handle value : column.attr("tolist")()) {
        if (is_text(value)) return {nb::borrow(value), row};
        ++row;
    }
    return {object(), -1};
}

bool is_chartsheet(handle sheet) {
    object flag = pyutil::attr_or_none(sheet, "is_chartsheet");
    return flag.is_valid() && pyutil::truthy(flag);
}

object worksheet(handle book, handle name) { return book.attr("get_worksheet_by_name")(name); }

std::string column_label(long long col) {
    if (col < 0) return std::to_string(col);
    return a1::col_name(col) + " (" + std::to_string(col) + ")";
}

void open_workbook(handle book, const std::string &name) {
    object closed = pyutil::attr_or_none(book, "fileclosed");
    if (closed.is_valid() && pyutil::truthy(closed))
        impossible(name + " holds a workbook that is already closed and saved (finishExcel "
                          "closes the writer it finishes): open a new pandas ExcelWriter");
}

// The columns a chart plots must hold the data of its sheet: a column past
// it gives a chart without points.  Only a sheet the workbook holds under
// that very name can be looked at; `datacount` counts its data rows.
void plotted_columns(handle Book, handle sheetname, handle datacount,
                     const std::vector<std::pair<handle, std::string>> &columns) {
    // A whole float counts too: XlsxWriter takes 10.0 for row 10.
    long long rows;
    if (PyFloat_Check(datacount.ptr()) && std::isfinite(PyFloat_AS_DOUBLE(datacount.ptr())) &&
        std::floor(PyFloat_AS_DOUBLE(datacount.ptr())) == PyFloat_AS_DOUBLE(datacount.ptr()) &&
        std::fabs(PyFloat_AS_DOUBLE(datacount.ptr())) < 1e15)
        rows = static_cast<long long>(PyFloat_AS_DOUBLE(datacount.ptr()));
    else
        rows = index(datacount, "datacount", "an integer (the count of data rows)");
    std::vector<long long> cols;
    for (const auto &c : columns)
        cols.push_back(index(c.first, c.second, "an integer (a column counted from 0)"));
    if (!nb::isinstance<nb::str>(sheetname)) return;
    object sheet = worksheet(Book, sheetname);
    if (sheet.is_none() || is_chartsheet(sheet)) return;
    for (size_t i = 0; i < cols.size(); ++i) {
        if (cols[i] >= 0 && sheetcells::column_holds_cells(sheet, cols[i], 0, rows)) continue;
        impossible(columns[i].second + " " + std::to_string(cols[i]) + ": the sheet " +
                   short_repr(sheetname) + " has no data in column " + column_label(cols[i]) +
                   " (rows 1 to " + std::to_string(rows) +
                   "), so the chart would show no points; columns are counted from 0");
    }
}

}  // namespace rb::checks
