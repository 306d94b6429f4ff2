// The property table of a result workbook ("property" and "value" columns
// under a first sheet row that is never read) read back.
#include "datareader/tablemine/tablemine.hpp"

#include <algorithm>

namespace mine {
namespace {

// The sheet read with its second row as titles; invalid when the file type
// is not a workbook type.
object read_property_sheet(handle filename, handle sheetname, handle filetype) {
    object ft = nb::borrow(filetype);
    if (!py::truthy(ft)) ft = extension_of(filename);
    if (!is_workbook_type(ft)) return object();
    return read_sheet(filename, sheetname, SheetLayout::PropertyTable);
}

}  // namespace

object getcustomproperties(handle filename, handle sheetname, handle keys, handle filetype) {
    (void)keys;  // accepted for the toolkit's callers; every property is returned
    nb::dict result;
    object frame = read_property_sheet(filename, sheetname, filetype);
    if (!frame.is_valid()) return result;
    object names = py::to_list(py::item(frame, "property"));
    object values = py::to_list(py::item(frame, "value"));
    object text_type = py::module_attr("text_type");
    Py_ssize_t n = std::min(py::length(names), py::length(values));
    for (Py_ssize_t i = 0; i < n; ++i) {
        object name = py::item(names, i);
        int text = PyObject_IsInstance(name.ptr(), text_type.ptr());
        if (text < 0) py::raise_pending();
        if (text) result[name] = py::item(values, i);
    }
    return result;
}

object getcustomproperty(handle filename, handle sheetname, handle property, handle filetype) {
    object frame = read_property_sheet(filename, sheetname, filetype);
    if (!frame.is_valid()) return nb::borrow(filename);
    object names = py::to_list(py::item(frame, "property"));
    object values = py::to_list(py::item(frame, "value"));
    Py_ssize_t n = py::length(names);
    for (Py_ssize_t i = 0; i < n; ++i)
        if (py::eq(py::item(names, i), property)) return py::item(values, i);
    return nb::borrow(filename);
}

}  // namespace mine
