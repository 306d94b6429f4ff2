#include "reportbook/reportbook.hpp"

namespace rb {

// Placeholder until implemented: not bound.
object outputmarker(handle filename, handle indirect) {
    PyErr_SetString(PyExc_NotImplementedError, "outputmarker");
    py::raise_pending();
}

// Placeholder until implemented: not bound.
object initiateExcelWriter(handle excelwriter, handle modeldic, handle gmCustomProperties, handle origin, handle recap) {
    PyErr_SetString(PyExc_NotImplementedError, "initiateExcelWriter");
    py::raise_pending();
}

// Placeholder until implemented: not bound.
object finishExcel(handle excelwriter, handle options, handle gmCustomProperties, handle sheetList, handle frameList, handle modeldic, handle libfilename, handle IDlist, handle trainresultColumn, handle testresultColumn, handle LOOResultTrainColumn, handle loowidth, handle traintype, handle tempres) {
    PyErr_SetString(PyExc_NotImplementedError, "finishExcel");
    py::raise_pending();
}

void bind_workbook_open(nb::module_ &m) { (void)m; }

}  // namespace rb
