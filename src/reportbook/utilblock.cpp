#include "reportbook/reportbook.hpp"

namespace rb {

// Placeholder until implemented: not bound.
object setMinMaxOnSheet(handle UtilSheet, handle Sheet, handle Frame, handle expectedCol, handle deltaRow, handle infolen) {
    PyErr_SetString(PyExc_NotImplementedError, "setMinMaxOnSheet");
    py::raise_pending();
}

void bind_minmax_block(nb::module_ &m) { (void)m; }

}  // namespace rb
