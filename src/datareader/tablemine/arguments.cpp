// Checks of the values the reader's public functions take, made before the
// file is touched.
#include "datareader/tablemine/tablemine.hpp"

namespace mine {
namespace {

[[noreturn]] void wrong_kind(const char *func, const char *name, const char *expected, handle got) {
    pyutil::raise(PyExc_TypeError, "%s() argument '%s' must be %s, not %.200s", func, name,
                  expected, Py_TYPE(got.ptr())->tp_name);
}

bool type_has(handle value, const char *method) {
    return PyObject_HasAttrString(reinterpret_cast<PyObject *>(Py_TYPE(value.ptr())), method) == 1;
}

bool iterable(handle value) {
    return Py_TYPE(value.ptr())->tp_iter != nullptr || PySequence_Check(value.ptr());
}

bool text_or_false(handle value) { return PyUnicode_Check(value.ptr()) || !pyutil::truthy(value); }

}  // namespace

void check_file_argument(const char *func, const char *name, handle value, bool file_object) {
    if (PyUnicode_Check(value.ptr()) || PyBytes_Check(value.ptr()) || type_has(value, "__fspath__"))
        return;
    if (file_object && pyutil::has_attr(value, "read")) return;
    wrong_kind(func, name,
               file_object ? "a path (str, bytes or os.PathLike) or a binary file object"
                           : "a path (str, bytes or os.PathLike)",
               value);
}

void check_sheet_argument(const char *func, handle sheet) {
    if (sheet.is_none() || PyUnicode_Check(sheet.ptr()) || PyList_Check(sheet.ptr()) ||
        PyIndex_Check(sheet.ptr()))
        return;
    wrong_kind(func, "sheetname",
               "a sheet name (str), a sheet position (int), a list of them or None", sheet);
}

void check_range_arguments(const char *func, handle filename, handle datarange, handle datafmt,
                           handle skipline) {
    check_file_argument(func, "filename", filename);
    if (!text_or_false(datarange))
        wrong_kind(func, "datarange",
                   "a range name or address (str), or empty for the default range", datarange);
    if (!datafmt.is_none() && !iterable(datafmt))
        wrong_kind(func, "datafmt", "None or a sequence of column positions or titles", datafmt);
    if (skipline.is_valid() && pyutil::truthy(skipline) && !PyIndex_Check(skipline.ptr()))
        wrong_kind(func, "skipline", "a count of rows (int)", skipline);
}

void check_frame_arguments(const char *func, handle filename, handle datarange, handle datafields,
                           handle sheetname, handle filetype, handle indexfield) {
    if (!datafields.is_none() && !type_has(datafields, "__getitem__"))
        wrong_kind(func, "datafields",
                   "None, a list of column positions or titles, or a list of such lists",
                   datafields);
    try {
        object zero = nb::int_(0);
        (void)(zero > indexfield);
        (void)(indexfield >= zero);
    } catch (nb::python_error &e) {
        if (!e.matches(PyExc_TypeError)) throw;
        wrong_kind(func, "indexfield", "a column position (int)", indexfield);
    }
    if (same_text(filetype, "csv") || same_text(filetype, "txt")) {
        check_file_argument(func, "filename", filename);
    } else if (pyutil::truthy(datarange)) {
        // a file type without a reader reads nothing
        if (is_workbook_type(filetype))
            check_range_arguments(func, filename, datarange, nb::none());
    } else {
        check_file_argument(func, "filename", filename);
        check_sheet_argument(func, sheetname);
    }
}

}  // namespace mine
