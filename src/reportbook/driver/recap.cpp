// The recap workbook of a multi-architecture campaign: the recap sheet, one
// result sheet per architecture, and one average-score chart per best count.
#include "reportbook/a1.hpp"
#include "reportbook/reportbook.hpp"

namespace rb {
namespace {

// Rows between the anchors of two successive charts.
constexpr a1::Index kChartRows = 15;

}  // namespace

NoneType enrichRecapExcelFile(ExcelWriter excelwriter, Any options, Str recapname,
                              DataFrame recapframe, Str nametemplate,
                              SummaryFrames sumaryframelist) {
    std::vector<object> shape = pyutil::unpack(nb::getattr(recapframe, "shape"), 2);
    const object &ncol = shape[1];

    object workbook = nb::getattr(excelwriter, "book");
    object recapsheet = getSheet(excelwriter, recapname);
    enrichRecapSheet(workbook, recapsheet, recapframe);

    const Py_ssize_t width = nb::len(nb::getattr(options, "multihidden"));

    for (handle entry : sumaryframelist) {
        std::vector<object> triple = pyutil::unpack(entry, 3);
        object name = pyutil::steal(PyNumber_Remainder(nametemplate.ptr(), triple[0].ptr()));
        object resultSheet = getSheet(excelwriter, name);
        enrichResultSheet(workbook, resultSheet, triple[1]);
    }

    // The recap layout keeps three rows per best count m: VLOO averages on
    // sheet row 3m-2, their deviations below, RMSE averages on row 3m.
    object three = nb::int_(3), two = nb::int_(2);
    a1::Index ind = 0;
    for (handle maxrec : pyutil::builtin("reversed")(nb::getattr(options, "multimaxrec"))) {
        object title = nb::str("Averages(%d)") % maxrec;
        object rmserow = three * maxrec;
        object vlooerow = rmserow - two;

        object row = nb::getattr(recapframe, "iloc")[vlooerow];
        object stddevvalues = row.attr("values")[nb::slice(nb::int_(1), nb::none(), nb::none())];
        stddevvalues = stddevvalues.attr("tolist")();

        nb::list rows, errors, names;
        rows.append(rmserow);
        rows.append(vlooerow);
        errors.append(nb::list());
        errors.append(stddevvalues);
        names.append("RMSE");
        names.append("VLOO");

        object chart =
            new_rows_line_chart(workbook, recapname, rows, nb::int_(2), nb::int_(width - 1), errors,
                                names, title, nb::str("hidden neurons"), nb::str("Average scores"));
        const a1::Index col = pyutil::as_index(ncol + two);
        object anchor = a1::text(a1::cell(kChartRows * ind, col, true, true));
        recapsheet.attr("insert_chart")(anchor, chart);
        ++ind;
    }
    return nb::none();
}

void bind_recap(nb::module_ &m) {
    nb::list no_frames;
    // sumaryframelist: (hidden neurons, result Frame, unused) per architecture.
    m.def("enrichRecapExcelFile", &enrichRecapExcelFile, pyutil::arg("excelwriter"),
          pyutil::arg("options"), pyutil::arg("recapname") = "",
          pyutil::arg("recapframe") = nb::none(), pyutil::arg("nametemplate") = "",
          pyutil::arg("sumaryframelist") = no_frames);
}

}  // namespace rb
