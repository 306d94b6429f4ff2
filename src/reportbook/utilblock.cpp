// The min/max block of the "Utilities" sheet: chart bounds of one evaluation
// sheet kept as live formulas, so that a changed padding or a corrected
// measured value moves the bisector and the axes with it.
#include "reportbook/a1.hpp"
#include "reportbook/sheetcells.hpp"
#include "reportbook/reportbook.hpp"

#include <cmath>
#include <string>

namespace rb {
namespace {

// Last zero-based row of a worksheet.
constexpr a1::Index kLastRow = 1048575;

// A real number that a chart axis can hold.  Texts, None, pandas' NA and
// other non-numbers are not measured values; NaN and infinities are dropped
// because they make min()/max() depend on where they stand in the column.
bool is_finite_real(handle v, handle real_type) {
    if (PyBool_Check(v.ptr()) || PyLong_Check(v.ptr())) return true;
    if (PyFloat_Check(v.ptr())) return std::isfinite(PyFloat_AS_DOUBLE(v.ptr()));
    int r = PyObject_IsInstance(v.ptr(), real_type.ptr());
    if (r < 0) py::raise_pending();
    if (r == 0) return false;
    double d = PyFloat_AsDouble(v.ptr());
    if (d == -1.0 && PyErr_Occurred()) py::raise_pending();
    return std::isfinite(d);
}

// The finite values of the measured column, in sheet order.
object measured_values(handle Frame, handle expectedCol) {
    object name = py::item(py::getattr(Frame, "columns"), expectedCol);
    object values = py::item(Frame, name).attr("tolist")();
    object real_type = nb::module_::import_("numbers").attr("Real");
    nb::list kept;
    for (handle v : values)
        if (is_finite_real(v, real_type)) kept.append(v);
    return std::move(kept);
}

// A sheet name as a formula prefix: single-quoted, inner quotes doubled so
// that a name such as O'Neil still gives a formula the spreadsheet accepts.
object quoted_name(handle sheet) {
    object name = py::str(py::getattr(sheet, "name"));
    return py::format("'{}'", name.attr("replace")("'", "''"));
}

// The label of the block; "LOO test" shares the label of the LOO CV sheet.
const char *block_label(handle sheet) {
    object name = py::getattr(sheet, "name");
    static const char *const prefixes[][2] = {
        {"Training", "Training"}, {"Test", "Test"}, {"LOO CV", "LOO CV"}, {"LOO test", "LOO CV"}};
    for (auto &p : prefixes)
        if (py::truthy(name.attr("startswith")(p[0]))) return p[1];
    return nullptr;
}

}  // namespace

object setMinMaxOnSheet(handle UtilSheet, handle Sheet, handle Frame, handle expectedCol,
                        handle deltaRow, handle infolen) {
    (void)deltaRow;
    // Everything that can fail on the caller's data is settled before the
    // first write, so a bad column leaves the utility sheet untouched.
    // The column position first: anything but an integer would be handed to
    // pandas as a label, and some objects (an endless sequence) never come back.
    a1::Index col = py::as_index(expectedCol);
    object values = measured_values(Frame, expectedCol);
    object builtins = nb::module_::import_("builtins");
    object minExpect = builtins.attr("min")(values);
    object maxExpect = builtins.attr("max")(values);

    std::vector<object> shape = py::unpack(py::getattr(Frame, "shape"), 2);
    object datacount = shape[0], trainsize = shape[1];
    a1::Index rows = py::as_index(datacount);
    a1::Index row = py::as_index(infolen);
    // A negative position selects a Frame column from the end, but has no
    // cell on the sheet: the formulas would lose their references (the file
    // then opens as damaged) and the block would land over the property table.
    if (col < 0) {
        PyErr_Format(PyExc_IndexError, "column %lld of the measured values lies outside the sheet",
                     col);
        py::raise_pending();
    }
    if (row < 0 || row + 2 > kLastRow) {
        PyErr_Format(PyExc_ValueError,
                     "infolen %lld is not a free row of the Utilities sheet", row);
        py::raise_pending();
    }

    object utilsheetname = quoted_name(UtilSheet);
    object write_string = UtilSheet.attr("write_string");
    object write_formula = UtilSheet.attr("write_formula");

    if (const char *label = block_label(Sheet)) write_string(row, 1, label);
    write_string(row, 2, "Padding");
    write_string(row + 1, 2, "Chart min");
    write_string(row + 2, 2, "Chart max");

    object sheetname = quoted_name(Sheet);
    object expectedrange = py::format("{0}!{1}", sheetname, a1::text(a1::range_abs(1, col, rows, col)));
    object paddingstr = py::format("(MAX({0})-MIN({0}))", expectedrange);
    object cellrange = a1::text(a1::cell(row, 3));

    // The bounds as the formulas compute them, from the measured cells as
    // the evaluation sheet holds them, so that readers that do not
    // recalculate see the chart's real bounds.
    namespace cv = formula;
    sheetcells::Cells cells(nb::none(), UtilSheet);
    cells.know(Sheet);
    const cv::Range &measured = cells.range(py::utf8(expectedrange));
    const cv::Result padding = cv::Result::number(0.05);
    const cv::Result lowest = cv::MIN(measured), highest = cv::MAX(measured);
    const cv::Result spread = highest - lowest;

    nb::none no_format;
    write_formula(cellrange, "0.05", no_format, sheetcells::to_python(padding));
    write_formula(a1::text(a1::cell(row + 1, 3)),
                  py::format("=MIN({0})-{1}*{2}", expectedrange, cellrange, paddingstr), no_format,
                  sheetcells::to_python(lowest - padding * spread));
    write_formula(a1::text(a1::cell(row + 2, 3)),
                  py::format("=MAX({0})+{1}*{2}", expectedrange, cellrange, paddingstr), no_format,
                  sheetcells::to_python(highest + padding * spread));

    object diagvalues =
        py::format("{0}!{1}", utilsheetname, a1::text(a1::range_abs(row + 1, 3, row + 2, 3)));
    return nb::make_tuple(datacount, trainsize, minExpect, maxExpect, expectedrange,
                          py::add(infolen, py::num(3)), diagvalues);
}

void bind_minmax_block(nb::module_ &m) {
    m.def("setMinMaxOnSheet", &setMinMaxOnSheet, py::arg("UtilSheet"), py::arg("Sheet"),
          py::arg("Frame"), py::arg("expectedCol"), py::arg("deltaRow"), py::arg("infolen"));
}

}  // namespace rb
