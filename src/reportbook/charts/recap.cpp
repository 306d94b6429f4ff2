// The recap workbook of a multi-architecture campaign: the recap sheet, one
// result sheet per architecture, and one average-score chart per best count.
#include "reportbook/a1.hpp"
#include "reportbook/reportbook.hpp"

namespace rb {
namespace {

object builtin(const char *name) {
    return py::steal(PyImport_ImportModule("builtins")).attr(name);
}

// Rows between the anchors of two successive charts.
constexpr a1::Index kChartRows = 15;

}  // namespace

object enrichRecapExcelFile(handle excelwriter, handle options, handle recapname,
                            handle recapframe, handle nametemplate, handle sumaryframelist) {
    std::vector<object> shape = py::unpack(py::getattr(recapframe, "shape"), 2);
    const object &ncol = shape[1];

    object workbook = py::getattr(excelwriter, "book");
    object recapsheet = getSheet(excelwriter, recapname);
    enrichRecapSheet(workbook, recapsheet, recapframe);

    const Py_ssize_t width = py::length(py::getattr(options, "multihidden"));

    for (handle entry : sumaryframelist) {
        std::vector<object> triple = py::unpack(entry, 3);
        object name = py::steal(PyNumber_Remainder(nametemplate.ptr(), triple[0].ptr()));
        object resultSheet = getSheet(excelwriter, name);
        enrichResultSheet(workbook, resultSheet, triple[1]);
    }

    // The recap layout keeps three rows per best count m: VLOO averages on
    // sheet row 3m-2, their deviations below, RMSE averages on row 3m.
    object three = py::num(3), two = py::num(2);
    a1::Index ind = 0;
    for (handle maxrec : builtin("reversed")(py::getattr(options, "multimaxrec"))) {
        object title = py::percent("Averages(%d)", maxrec);
        object rmserow = py::mul(three, maxrec);
        object vlooerow = py::sub(rmserow, two);

        object row = py::getattr(recapframe, "iloc")[vlooerow];
        object stddevvalues = row.attr("values")[nb::slice(py::num(1), nb::none(), nb::none())];
        stddevvalues = stddevvalues.attr("tolist")();

        nb::list rows, errors, names;
        rows.append(rmserow);
        rows.append(vlooerow);
        errors.append(nb::list());
        errors.append(stddevvalues);
        names.append("RMSE");
        names.append("VLOO");

        object chart = new_rows_line_chart(workbook, recapname, rows, py::num(2),
                                           py::num(width - 1), errors, names, title,
                                           nb::str("hidden neurons"), nb::str("Average scores"));
        const a1::Index col = py::as_index(py::add(ncol, two));
        object anchor = a1::text(a1::cell(kChartRows * ind, col, true, true));
        recapsheet.attr("insert_chart")(anchor, chart);
        ++ind;
    }
    return nb::none();
}

void bind_recap(nb::module_ &m) {
    nb::list no_frames;
    m.def("enrichRecapExcelFile", &enrichRecapExcelFile, py::arg("excelwriter"),
          py::arg("options"), py::arg("recapname") = "", py::arg("recapframe") = nb::none(),
          py::arg("nametemplate") = "", py::arg("sumaryframelist") = no_frames);
}

}  // namespace rb
