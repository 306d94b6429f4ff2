#include "reportbook/reportbook.hpp"

namespace rb {

// Placeholder until implemented: not bound.
object enrichExcelFile(handle excelwriter, handle pptyname, handle besttrainindex, handle sheetList, handle frameList, handle paramcount, handle resultcount, handle leveragethreshold, handle maxreclist, handle infolen, handle trainresultColumn, handle testresultColumn, handle LOOResultTrainColumn, handle loowidth, handle LOOlen, handle LOOmaxrec, handle pptyunit, handle decorindex, handle decorindexLOO, handle traintype, handle verbosexls) {
    PyErr_SetString(PyExc_NotImplementedError, "enrichExcelFile");
    py::raise_pending();
}

// Placeholder until implemented: not bound.
object enrichExcelPreproc(handle excelwriter, handle sheetName, handle filename, handle do_vba) {
    PyErr_SetString(PyExc_NotImplementedError, "enrichExcelPreproc");
    py::raise_pending();
}

void bind_sheetset(nb::module_ &m) { (void)m; }

}  // namespace rb
