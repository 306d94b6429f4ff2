#include "reportbook/reportbook.hpp"

namespace rb {

// Placeholder until implemented: not bound.
object getExcelFileName(handle options, handle forcename, handle ext) {
    PyErr_SetString(PyExc_NotImplementedError, "getExcelFileName");
    py::raise_pending();
}

// Placeholder until implemented: not bound.
object getVbaProjectBin(handle targetfolder) {
    PyErr_SetString(PyExc_NotImplementedError, "getVbaProjectBin");
    py::raise_pending();
}

// Placeholder until implemented: not bound.
object getCustomDict(handle options, handle versionDict) {
    PyErr_SetString(PyExc_NotImplementedError, "getCustomDict");
    py::raise_pending();
}

// Placeholder until implemented: not bound.
object createFileInfo(handle filename, handle gmProperties, handle gmCustomProperties) {
    PyErr_SetString(PyExc_NotImplementedError, "createFileInfo");
    py::raise_pending();
}

void bind_resources(nb::module_ &m) { (void)m; }

}  // namespace rb
