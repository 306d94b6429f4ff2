#include "reportbook/reportbook.hpp"

namespace rb {

// Placeholder until implemented: not bound.
object enrichResultSheet(handle Book, handle Sheet, handle Frame) {
    PyErr_SetString(PyExc_NotImplementedError, "enrichResultSheet");
    py::raise_pending();
}

void bind_result_sheet(nb::module_ &m) { (void)m; }

}  // namespace rb
