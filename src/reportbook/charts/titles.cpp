// What every chart of the workbook shares: its title's font, and the values
// an axis bound can take.
#include "reportbook/reportbook.hpp"

#include <cmath>

namespace rb {

bool is_finite_real(handle v) {
    if (PyBool_Check(v.ptr()) || PyLong_Check(v.ptr())) return true;
    if (PyFloat_Check(v.ptr())) return std::isfinite(PyFloat_AS_DOUBLE(v.ptr()));
    int real = PyObject_IsInstance(v.ptr(), nb::module_::import_("numbers").attr("Real").ptr());
    if (real < 0) pyutil::raise_pending();
    if (real == 0) return false;
    double d = PyFloat_AsDouble(v.ptr());
    if (d == -1.0 && PyErr_Occurred()) pyutil::raise_pending();
    return std::isfinite(d);
}

nb::dict chart_title(handle title) {
    nb::dict font, options;
    font["name"] = "Arial";
    font["bold"] = true;
    options["name"] = title;
    options["name_font"] = font;
    return options;
}

}  // namespace rb
