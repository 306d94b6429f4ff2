#include "reportbook/reportbook.hpp"

namespace rb {

// Placeholder until implemented: not bound.
object new_rows_line_chart(handle Book, handle sheetname, handle datarow, handle datacol, handle width, handle stddevvalues, handle serienames, handle title, handle x_axis, handle y_axis) {
    PyErr_SetString(PyExc_NotImplementedError, "new_rows_line_chart");
    py::raise_pending();
}

// Placeholder until implemented: not bound.
object new_line_chart(handle Book, handle sheetname, handle datacount, handle IDcol, handle RMSEcol, handle VLOOcol, handle title, handle x_axis, handle y_axis, handle x_format, handle y_format) {
    PyErr_SetString(PyExc_NotImplementedError, "new_line_chart");
    py::raise_pending();
}

void bind_line_charts(nb::module_ &m) { (void)m; }

}  // namespace rb
