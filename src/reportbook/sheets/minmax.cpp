// The min/max block of the "Utilities" sheet: chart bounds of one evaluation
// sheet kept as live formulas, so that a changed padding or a corrected
// measured value moves the bisector and the axes with it.
#include "reportbook/a1.hpp"
#include "reportbook/reportbook.hpp"
#include "reportbook/sheetcells.hpp"

#include <cmath>
#include <string>

namespace rb {
namespace {

// Last zero-based row of a worksheet.
constexpr a1::Index kLastRow = 1048575;

// The measured values of the column, in sheet order: its finite real
// numbers.  NaN and infinities are dropped because they make min()/max()
// depend on where they stand in the column.
object measured_values(handle Frame, handle expectedCol) {
    object name = nb::getattr(Frame, "columns")[expectedCol];
    object values = Frame[name].attr("tolist")();
    nb::list kept;
    for (handle v : values)
        if (is_finite_real(v)) kept.append(v);
    return kept;
}

// A range of the sheet as its formulas name it.
object qualified(handle sheet, const std::string &range) {
    return a1::text(a1::qualified(pyutil::utf8(nb::getattr(sheet, "name")), range));
}

// The label of the block; "LOO test" shares the label of the LOO CV sheet.
const char *block_label(handle sheet) {
    object name = nb::getattr(sheet, "name");
    static const char *const prefixes[][2] = {
        {"Training", "Training"}, {"Test", "Test"}, {"LOO CV", "LOO CV"}, {"LOO test", "LOO CV"}};
    for (auto &p : prefixes)
        if (pyutil::truthy(name.attr("startswith")(p[0]))) return p[1];
    return nullptr;
}

}  // namespace

MinMaxFigures write_minmax_block(handle UtilSheet, handle Sheet, handle Frame, handle expectedCol,
                                 handle infolen) {
    // Everything that can fail on the caller's data is settled before the
    // first write, so a bad column leaves the utility sheet untouched.
    // The column position first: anything but an integer would be handed to
    // pandas as a label, and some objects (an endless sequence) never come back.
    a1::Index col = pyutil::as_index(expectedCol);
    object values = measured_values(Frame, expectedCol);
    object minExpect = pyutil::builtin("min")(values);
    object maxExpect = pyutil::builtin("max")(values);

    std::vector<object> shape = pyutil::unpack(nb::getattr(Frame, "shape"), 2);
    object datacount = shape[0], trainsize = shape[1];
    a1::Index rows = pyutil::as_index(datacount);
    a1::Index row = pyutil::as_index(infolen);
    // A negative position selects a Frame column from the end, but has no
    // cell on the sheet: the formulas would lose their references (the file
    // then opens as damaged) and the block would land over the property table.
    if (col < 0) {
        pyutil::raise(PyExc_IndexError, "column %lld of the measured values lies outside the sheet",
                      col);
    }
    if (row < 0 || row + 2 > kLastRow) {
        pyutil::raise(PyExc_ValueError, "infolen %lld is not a free row of the Utilities sheet",
                      row);
    }

    object diagvalues = qualified(UtilSheet, a1::range_abs(row + 1, 3, row + 2, 3));
    object write_string = UtilSheet.attr("write_string");

    if (const char *label = block_label(Sheet)) write_string(row, 1, label);
    write_string(row, 2, "Padding");
    write_string(row + 1, 2, "Chart min");
    write_string(row + 2, 2, "Chart max");

    object expectedrange = qualified(Sheet, a1::range_abs(1, col, rows, col));

    // The bounds as the formulas compute them, from the measured cells as
    // the evaluation sheet holds them, so that readers that do not
    // recalculate see the chart's real bounds.
    sheetcells::Cells cells(nb::none(), UtilSheet);
    cells.know(Sheet);
    const formula::Ref measured = cells.ref(pyutil::utf8(expectedrange));
    const formula::Formula spread = MAX(measured) - MIN(measured);

    using sheetcells::write_formula;
    const formula::Formula padding = write_formula(
        UtilSheet, a1::cell(row, 3), formula::Formula::number("0.05"), sheetcells::Sign::Bare);
    write_formula(UtilSheet, a1::cell(row + 1, 3), MIN(measured) - padding * spread);
    write_formula(UtilSheet, a1::cell(row + 2, 3), MAX(measured) + padding * spread);

    return {{datacount, minExpect, maxExpect, infolen + nb::int_(3), diagvalues},
            trainsize,
            expectedrange};
}

MinMaxTuple setMinMaxOnSheet(Worksheet UtilSheet, Worksheet Sheet, DataFrame Frame, Int expectedCol,
                             handle /* deltaRow */, Int infolen) {
    // deltaRow: kept for the toolkit's calls; the block does not move by it.
    const MinMaxFigures f = write_minmax_block(UtilSheet, Sheet, Frame, expectedCol, infolen);
    return nb::make_tuple(f.datacount, f.trainsize, f.minExpect, f.maxExpect, f.expectedrange,
                          f.nextrow, f.diagvalues);
}

void bind_minmax_block(nb::module_ &m) {
    m.def("setMinMaxOnSheet", &setMinMaxOnSheet, pyutil::arg("UtilSheet"), pyutil::arg("Sheet"),
          pyutil::arg("Frame"), pyutil::arg("expectedCol"), pyutil::arg("deltaRow"),
          pyutil::arg("infolen"));
}

}  // namespace rb
