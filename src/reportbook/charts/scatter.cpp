#include "reportbook/reportbook.hpp"

namespace rb {

// Placeholder until implemented: not bound.
object new_scatter_chart(handle Book, handle names, handle sheetname, handle datacount, handle minVal, handle maxVal, handle expectedcol, handle computedcol, handle labelcol, handle title, handle x_axis, handle y_axis, handle colors, handle shapes, handle bisectorcolor, handle diagValues, handle padding) {
    PyErr_SetString(PyExc_NotImplementedError, "new_scatter_chart");
    py::raise_pending();
}

// Placeholder until implemented: not bound.
object getBestTrainChart(handle Book, handle expectedcol, handle computedcol, handle datacount, handle minExpect, handle maxExpect, handle pptyname, handle besttrain, handle pptyunit, handle mastersheetname, handle decorator, handle titleprefix, handle chartname, handle diagvalues) {
    PyErr_SetString(PyExc_NotImplementedError, "getBestTrainChart");
    py::raise_pending();
}

// Placeholder until implemented: not bound.
object getTestChart(handle Book, handle expectedcols, handle computedcol, handle names, handle colors, handle shapes, handle pptyname, handle pptyunit, handle testsheetname, handle datacount, handle minExpect, handle maxExpect, handle decorator, handle diagvalues) {
    PyErr_SetString(PyExc_NotImplementedError, "getTestChart");
    py::raise_pending();
}

void bind_scatter_charts(nb::module_ &m) { (void)m; }

}  // namespace rb
