// What every chart of the workbook shares: its title's font, and the values
// an axis bound can take.
#include "reportbook/reportbook.hpp"

#include <cmath>

namespace rb {

bool is_finite_real(handle v) {
    if (PyBool_Check(v.ptr()) || PyLong_Check(v.ptr())) return true;
    if (PyFloat_Check(v.ptr())) return std::isfinite(PyFloat_AS_DOUBLE(v.ptr()));
    return pyutil::is_instance(v, "numbers", "Real") && std::isfinite(pyutil::as_double(v));
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
