#include "reportbook/reportbook.hpp"

namespace rb {

// Placeholder until implemented: not bound.
object enrichRecapExcelFile(handle excelwriter, handle options, handle recapname, handle recapframe, handle nametemplate, handle sumaryframelist) {
    PyErr_SetString(PyExc_NotImplementedError, "enrichRecapExcelFile");
    py::raise_pending();
}

void bind_recap(nb::module_ &m) { (void)m; }

}  // namespace rb
