#include "reportbook/reportbook.hpp"

namespace rb {

// Placeholder until implemented: not bound.
object getSheet(handle writer, handle sheetname) {
    PyErr_SetString(PyExc_NotImplementedError, "getSheet");
    py::raise_pending();
}

// Placeholder until implemented: not bound.
object enrichSimpleSheet(handle Book, handle Sheet, handle Frame, handle writer) {
    PyErr_SetString(PyExc_NotImplementedError, "enrichSimpleSheet");
    py::raise_pending();
}

// Placeholder until implemented: not bound.
object enrichRecapSheet(handle Book, handle Sheet, handle Frame) {
    PyErr_SetString(PyExc_NotImplementedError, "enrichRecapSheet");
    py::raise_pending();
}

void bind_sheetutils(nb::module_ &m) { (void)m; }

}  // namespace rb
