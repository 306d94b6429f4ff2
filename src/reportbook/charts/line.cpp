// Line charts: scores of a result sheet per model, and rows of a recap
// sheet (one series per row, optionally with error bars).
#include "reportbook/a1.hpp"
#include "reportbook/checks.hpp"
#include "reportbook/reportbook.hpp"
#include "toolkit/toolkit.hpp"

namespace rb {
namespace {

nb::dict axis_options(handle name, handle num_format, bool named) {
    nb::dict options;
    if (named) options["name"] = name;
    options["num_format"] = num_format;
    return options;
}

nb::dict chart_type(const char *type) {
    nb::dict options;
    options["type"] = type;
    return options;
}

// A series range in XlsxWriter's list form: [sheet, row1, col1, row2, col2].
template <typename A, typename B, typename C, typename D>
nb::list series_range(handle sheetname, A row1, B col1, C row2, D col2) {
    nb::list l;
    l.append(sheetname);
    l.append(row1);
    l.append(col1);
    l.append(row2);
    l.append(col2);
    return l;
}

// One score column of the result sheet, named by its header cell; sheetname
// is the toolkit's quoted form of the sheet's name.
void add_score_series(handle chart, const LineChart &plan, handle sheetname, handle col,
                      const char *color) {
    handle datacount = plan.datacount, IDcol = plan.IDcol;
    nb::dict line;
    line["width"] = 1;
    line["color"] = color;
    nb::dict marker;
    marker["type"] = "square";
    marker["size"] = 2;
    nb::dict options;
    options["name"] = nb::str("={}!{}").format(
        sheetname, a1::text(a1::cell(0, pyutil::as_index(col), true, true)));
    options["values"] = series_range(sheetname, 1, col, datacount, col);
    options["categories"] = series_range(sheetname, 1, IDcol, datacount, IDcol);
    options["line"] = line;
    options["marker"] = marker;
    chart.attr("add_series")(options);
}

// The series builder of new_rows_line_chart: one sheet row, its categories
// being the header cells of the same columns.
struct RowSeries {
    object chart;
    handle sheetname;

    void operator()(handle name, handle datrr, handle datacol, handle width, handle stderr_) const {
        object lastcol = datacol + width;
        const a1::Index row = pyutil::as_index(datrr);
        std::string datarange =
            a1::range(row, pyutil::as_index(datacol), row, pyutil::as_index(lastcol));

        nb::dict line;
        line["width"] = 1;
        nb::dict marker;
        marker["type"] = "circle";
        marker["size"] = 6;
        nb::dict options;
        options["name"] = name;
        options["values"] = a1::text("=" + pyutil::utf8(sheetname) + "!" + datarange);
        options["categories"] = series_range(sheetname, 0, datacol, 0, lastcol);
        options["line"] = line;
        options["marker"] = marker;
        if (nb::len(stderr_) != 0) {
            nb::dict bars;
            bars["type"] = "custom";
            bars["plus_values"] = stderr_;
            bars["minus_values"] = stderr_;
            options["y_error_bars"] = bars;
        }
        chart.attr("add_series")(options);
    }
};

}  // namespace

Chart new_line_chart(Workbook Book, Str sheetname, Int datacount, Int IDcol, Int RMSEcol,
                     Int VLOOcol, Str title, Str x_axis, Str y_axis, Str x_format, Str y_format) {
    checks::plotted_columns(Book, sheetname, datacount,
                            {{IDcol, "IDcol"}, {RMSEcol, "RMSEcol"}, {VLOOcol, "VLOOcol"}});
    return line_chart(Book, {sheetname, datacount, IDcol, RMSEcol, VLOOcol, title, x_axis, y_axis,
                             x_format, y_format});
}

object line_chart(handle Book, const LineChart &plan) {
    object quoted = toolkit::quote(plan.sheetname);
    object chart = Book.attr("add_chart")(chart_type("line"));
    add_score_series(chart, plan, quoted, plan.RMSEcol, "blue");
    add_score_series(chart, plan, quoted, plan.VLOOcol, "red");
    chart.attr("set_title")(chart_title(plan.title));
    chart.attr("set_x_axis")(axis_options(plan.x_axis, plan.x_format, pyutil::truthy(plan.x_axis)));
    chart.attr("set_y_axis")(axis_options(plan.y_axis, plan.y_format, pyutil::truthy(plan.y_axis)));
    return chart;
}

Chart new_rows_line_chart(Workbook Book, Str sheetname, Rows datarow, Int datacol, Int width,
                          Deviations stddevvalues, StrOrStrs serienames, Str title, Str x_axis,
                          Str y_axis) {
    object quoted = toolkit::quote(sheetname);
    object chart = Book.attr("add_chart")(chart_type("line"));
    {
        nb::dict legend;
        legend["none"] = true;
        chart.attr("set_legend")(legend);
    }

    RowSeries newserie{chart, quoted};
    if (nb::isinstance<nb::list>(datarow)) {
        // Parallel walk that stops with the shortest of the three.
        object zip = pyutil::builtin("zip");
        for (handle triple : zip(datarow, stddevvalues, serienames)) {
            std::vector<object> t = pyutil::unpack(triple, 3);
            newserie(t[2], t[0], datacol, width, t[1]);
        }
    } else {
        newserie(serienames, datarow, datacol, width, stddevvalues);
    }

    object num_format = nb::str("#,##0.00");
    if (nb::len(title) != 0) chart.attr("set_title")(chart_title(title));
    if (nb::len(x_axis) != 0) chart.attr("set_x_axis")(axis_options(x_axis, num_format, true));
    if (nb::len(y_axis) != 0) chart.attr("set_y_axis")(axis_options(y_axis, num_format, true));
    {
        nb::dict legend;
        legend["position"] = "top";
        chart.attr("set_legend")(legend);
    }
    return chart;
}

void bind_line_charts(nb::module_ &m) {
    // The list defaults are created once and shared by every call omitting them.
    nb::list no_stddev, no_names;
    // One row, its error bars and its name make one series; lists of them
    // (parallel to a list of rows) one series each.
    m.def("new_rows_line_chart", &new_rows_line_chart, pyutil::arg("Book"),
          pyutil::arg("sheetname"), pyutil::arg("datarow"), pyutil::arg("datacol"),
          pyutil::arg("width"), pyutil::arg("stddevvalues") = no_stddev,
          pyutil::arg("serienames") = no_names, pyutil::arg("title") = "",
          pyutil::arg("x_axis") = "", pyutil::arg("y_axis") = "");
    m.def("new_line_chart", &new_line_chart, pyutil::arg("Book"), pyutil::arg("sheetname"),
          pyutil::arg("datacount"), pyutil::arg("IDcol"), pyutil::arg("RMSEcol"),
          pyutil::arg("VLOOcol"), pyutil::arg("title"), pyutil::arg("x_axis") = "",
          pyutil::arg("y_axis") = "", pyutil::arg("x_format") = "0.000",
          pyutil::arg("y_format") = "0.000");
}

}  // namespace rb
