#include "reportbook/reportbook.hpp"

namespace rb {

// Placeholder until implemented: not bound.
object enrichTrainSheet(handle Book, handle Sheet, handle Frame, handle resultcount, handle besttrain, handle resultColumn, handle pptyname, handle paramcount, handle infolen) {
    PyErr_SetString(PyExc_NotImplementedError, "enrichTrainSheet");
    py::raise_pending();
}

// Placeholder until implemented: not bound.
object enrichTestSheet(handle Book, handle Sheet, handle Frame, handle resultColumn, handle maxreclist, handle leveragethreshold, handle verbose, handle infolen) {
    PyErr_SetString(PyExc_NotImplementedError, "enrichTestSheet");
    py::raise_pending();
}

// Placeholder until implemented: not bound.
object enrichLOOTrainSheet(handle Book, handle Sheet, handle Frame, handle resultColumn, handle LOOlen, handle resultCount, handle verbose, handle LOOmaxrec, handle infolen) {
    PyErr_SetString(PyExc_NotImplementedError, "enrichLOOTrainSheet");
    py::raise_pending();
}

// Placeholder until implemented: not bound.
object enrichLOOTestSheet(handle Book, handle Sheet, handle Frame, handle resultColumn) {
    PyErr_SetString(PyExc_NotImplementedError, "enrichLOOTestSheet");
    py::raise_pending();
}

// Placeholder until implemented: not bound.
object enrichBSTrainSheet(handle Book, handle Sheet, handle Frame, handle resultColumn, handle infolen) {
    PyErr_SetString(PyExc_NotImplementedError, "enrichBSTrainSheet");
    py::raise_pending();
}

// Placeholder until implemented: not bound.
object enrichBSTestSheet(handle Book, handle Sheet, handle Frame) {
    PyErr_SetString(PyExc_NotImplementedError, "enrichBSTestSheet");
    py::raise_pending();
}

void bind_evaluation_sheets(nb::module_ &m) { (void)m; }

}  // namespace rb
