// Scatter charts of estimated against measured values, and the chartsheets
// of the best training, its leave-one-out variants and the test results.
#include "reportbook/checks.hpp"
#include "reportbook/reportbook.hpp"
#include "reportbook/sheetcells.hpp"
#include "toolkit/toolkit.hpp"

#include <algorithm>
#include <cmath>

namespace rb {
namespace {

// A text, or anything that is neither list nor tuple, stands for itself; a
// list or tuple stands for its first member.
object checkinlist(handle values) {
    if (!nb::isinstance<nb::list>(values) && !nb::isinstance<nb::tuple>(values))
        return nb::borrow(values);
    return values[nb::int_(0)];
}

// An axis bound as the chart XML may hold it, or None to leave the bound to
// the spreadsheet: NaN, infinities, texts and other non-numbers written as
// <c:min val=...> make spreadsheet applications report the file as damaged.
object finite_bound(handle v) {
    if (PyBool_Check(v.ptr()) || !is_finite_real(v)) return nb::none();
    if (PyLong_Check(v.ptr()) || PyFloat_Check(v.ptr())) return nb::borrow(v);
    // numpy scalars, fractions and the like: written as the float they stand
    // for, since their text form is not always a number ("3/2").
    return nb::float_(v);
}

nb::dict axis_options(handle name, handle minChart, handle maxChart) {
    nb::dict axis;
    axis["name"] = name;
    axis["num_format"] = "# ##0.00";
    object low = finite_bound(minChart), high = finite_bound(maxChart);
    if (!low.is_none()) axis["min"] = low;
    if (!high.is_none()) axis["max"] = high;
    return axis;
}

// The points a chart caches for readers that do not recalculate: the
// numbers of the cells, a gap (None) for any other cell.  Left to itself,
// XlsxWriter caches a text as it is, and one text among the x values (an
// "inf", a formula stored without result) makes it write them all as text
// categories, plotted at 1, 2, 3...; a text y value it caches as 0.
// Invalid when the cells cannot be read: XlsxWriter then reads them itself.
object numeric_points(const formula::Range &cells) {
    if (!cells.readable) return object();
    nb::list points;
    for (size_t i = 0; i < cells.size(); ++i) {
        if (cells.kinds[i] == formula::Range::kNumber)
            points.append(nb::float_(cells.values[i]));
        else
            points.append(nb::none());
    }
    return points;
}

// Reading the cells is an extra for the cache: a caller's sheet name or
// count that is no such thing is for XlsxWriter to judge, as before.
template <typename Read>
object points_or_nothing(Read read) {
    return pyutil::unless_exception([&] { return numeric_points(read()); },
                                    [](nb::python_error &) { return object(); });
}

// The points of a series range in XlsxWriter's list form.
object points_of(sheetcells::Cells &cells, handle sheetname, handle row1, handle col1, handle row2,
                 handle col2) {
    return points_or_nothing([&]() -> const formula::Range & {
        return cells.range(pyutil::utf8(sheetname), pyutil::as_index(row1), pyutil::as_index(col1),
                           pyutil::as_index(row2), pyutil::as_index(col2));
    });
}

// The points of a series range given as text ("'Utilities'!$D$2:$D$3").
object points_of(sheetcells::Cells &cells, handle ref) {
    if (!nb::isinstance<nb::str>(ref)) return object();
    return points_or_nothing(
        [&]() -> const formula::Range & { return cells.range(pyutil::utf8(ref)); });
}

void set_points(nb::dict &series, const char *key, const object &points) {
    if (points.is_valid()) series[key] = points;
}

// One series of the chart: the estimates of `computedcol` against the
// measured values.
void add_data_series(handle chart, sheetcells::Cells &cells, const ScatterData &data,
                     handle computedcol, handle name, handle color, handle shape) {
    handle sheetname = data.sheetname, datacount = data.datacount, expectedcol = data.expectedcol;
    nb::dict border, fill, marker, series;
    border["none"] = true;
    fill["color"] = color;
    marker["type"] = shape;
    marker["size"] = 4;
    marker["border"] = border;
    marker["fill"] = fill;
    series["name"] = name;
    object first = nb::int_(1);
    series["categories"] =
        nb::list(nb::make_tuple(sheetname, first, expectedcol, datacount, expectedcol));
    series["values"] =
        nb::list(nb::make_tuple(sheetname, first, computedcol, datacount, computedcol));
    set_points(series, "categories_data",
               points_of(cells, sheetname, first, expectedcol, datacount, expectedcol));
    set_points(series, "values_data",
               points_of(cells, sheetname, first, computedcol, datacount, computedcol));
    series["marker"] = marker;
    chart.attr("add_series")(series);
}

// A chart that shows its title and no point, for a chartsheet whose chart
// could not be built.  Every chart needs a series: this one reads the last
// cell of a worksheet (the data sheet if the workbook has it under that
// name, else its first worksheet), blank in any campaign.  None when the
// workbook has no worksheet at all.
object placeholder_chart(handle Book, handle title, handle sheetname) {
    object sheet = nb::none();
    if (nb::isinstance<nb::str>(sheetname)) sheet = checks::worksheet(Book, sheetname);
    if (sheet.is_none() || checks::is_chartsheet(sheet)) {
        sheet = nb::none();
        for (handle ws : Book.attr("worksheets")()) {
            if (checks::is_chartsheet(ws)) continue;
            sheet = nb::borrow(ws);
            break;
        }
    }
    if (sheet.is_none()) return nb::none();
    nb::dict chart_options, marker, series, legend;
    chart_options["type"] = "scatter";
    object chart = Book.attr("add_chart")(chart_options);
    object name = nb::getattr(sheet, "name");
    nb::list last = nb::list(nb::make_tuple(name, 1048575, 16383, 1048575, 16383));
    marker["type"] = "none";
    series["categories"] = last;
    series["values"] = last;
    series["marker"] = marker;
    chart.attr("add_series")(series);
    legend["none"] = true;
    chart.attr("set_legend")(legend);
    chart.attr("set_title")(chart_title(title));
    return chart;
}

// A scatter chart: its data, the series' names, colours and marker shapes
// (one, or a list of them parallel to the estimate columns), its titles, the
// bisector's colour and the padding of the axes around the measured values.
struct ScatterChart {
    ScatterData data;
    handle names, title, x_axis, y_axis, colors, shapes, bisectorcolor, padding;
};

// The scatter chart; `series_count` counts the series it was given, bisector
// included.
object build_scatter_chart(handle Book, const ScatterChart &plan, bool check_columns,
                           Py_ssize_t &series_count, sheetcells::Cells *shared = nullptr) {
    const ScatterData &data = plan.data;
    handle sheetname = data.sheetname, datacount = data.datacount, expectedcol = data.expectedcol,
           computedcol = data.computedcol, diagValues = data.diagvalues;
    handle colors = plan.colors, shapes = plan.shapes;
    series_count = 0;
    const bool multi =
        (nb::isinstance<nb::list>(computedcol) || nb::isinstance<nb::tuple>(computedcol));
    object serienames = nb::borrow(plan.names);
    if (multi && nb::isinstance<nb::str>(serienames))
        serienames = nb::list(nb::make_tuple(serienames));

    // The measured column before anything is made; each estimate column as
    // its series comes (the series stop with the shortest of the lists).
    std::vector<std::pair<handle, std::string>> plotted{{expectedcol, "expectedcol"}};
    object members;  // alive while the columns are checked
    if (multi) {
        // The series stop with the shortest list; when every list has a
        // length, their columns are known before the chart is made.
        Py_ssize_t n = PyObject_Size(computedcol.ptr());
        for (handle other : {colors, shapes, handle(serienames)}) {
            Py_ssize_t m = n < 0 ? -1 : PyObject_Size(other.ptr());
            n = m < 0 ? -1 : std::min(n, m);
        }
        if (n < 0) PyErr_Clear();
        members = pyutil::builtin("list")(computedcol);
        for (Py_ssize_t i = 0; i < n; ++i)
            plotted.emplace_back(members[nb::int_(i)], "computedcol[" + std::to_string(i) + "]");
    }
    if (check_columns) checks::plotted_columns(Book, sheetname, datacount, plotted);

    nb::dict chart_options;
    chart_options["type"] = "scatter";
    object chart = Book.attr("add_chart")(chart_options);
    // A chart shows a few columns of a sheet: read down each column, unless
    // the sheet's writer has read them already.
    sheetcells::Cells own(Book, nb::none(), sheetcells::Cells::Reading::Few);
    sheetcells::Cells &cells = shared ? *shared : own;

    if (multi) {
        // Walked in parallel up to the shortest, as zip() does.
        object zipped = pyutil::builtin("zip")(computedcol, colors, shapes, serienames);
        for (handle entry : zipped) {
            std::vector<object> v = pyutil::unpack(entry, 4);
            if (check_columns)
                checks::plotted_columns(
                    Book, sheetname, datacount,
                    {{v[0], "computedcol[" + std::to_string(series_count) + "]"}});
            add_data_series(chart, cells, data, v[0], v[3], v[1], v[2]);
            ++series_count;
        }
        Py_ssize_t count = nb::len(computedcol);
        nb::dict legend;
        if (count > 1) {
            // The series after the data series is the bisector: no legend entry.
            legend["position"] = "bottom";
            legend["delete_series"] = nb::list(nb::make_tuple(count));
        } else {
            legend["none"] = true;
        }
        chart.attr("set_legend")(legend);
    } else {
        object nam = checkinlist(serienames);
        object color = checkinlist(colors);
        object ttype = checkinlist(shapes);
        object val = checkinlist(computedcol);
        if (check_columns)
            checks::plotted_columns(Book, sheetname, datacount, {{val, "computedcol"}});
        add_data_series(chart, cells, data, val, nam, color, ttype);
        ++series_count;
    }

    if (pyutil::truthy(diagValues)) {
        // XlsxWriter takes a range as text or as a list; anything else it
        // would search for spaces, which may never end.
        if (!nb::isinstance<nb::str>(diagValues) && !nb::isinstance<nb::list>(diagValues))
            pyutil::raise(PyExc_TypeError,
                          "diagValues must be a range as text or a list, not %.200s",
                          Py_TYPE(diagValues.ptr())->tp_name);
        nb::dict line, marker, series;
        line["color"] = plan.bisectorcolor;
        line["width"] = 0.25;
        marker["type"] = "none";
        series["name"] = "bisector";
        series["categories"] = diagValues;
        series["values"] = diagValues;
        object bounds = points_of(cells, diagValues);
        set_points(series, "categories_data", bounds);
        set_points(series, "values_data", bounds);
        series["line"] = line;
        series["marker"] = marker;
        chart.attr("add_series")(series);
        ++series_count;
    }

    nb::dict border, area;
    border["color"] = "black";
    area["border"] = border;
    chart.attr("set_chartarea")(area);

    chart.attr("set_title")(chart_title(plan.title));

    std::vector<object> bounds =
        pyutil::unpack(toolkit::axisMinMax(data.minExpect, data.maxExpect, plan.padding), 2);
    chart.attr("set_x_axis")(axis_options(plan.x_axis, bounds[0], bounds[1]));
    chart.attr("set_y_axis")(axis_options(plan.y_axis, bounds[0], bounds[1]));
    chart.attr("set_style")(2);
    return chart;
}

}  // namespace

Chart new_scatter_chart(Workbook Book, StrOrStrs names, Str sheetname, Int datacount, Float minVal,
                        Float maxVal, Int expectedcol, Columns computedcol, handle /* labelcol */,
                        Str title, Str x_axis, Str y_axis, StrOrStrs colors, StrOrStrs shapes,
                        Str bisectorcolor, DiagValues diagValues, Float padding) {
    ScatterChart plan{{sheetname, datacount, minVal, maxVal, expectedcol, computedcol, diagValues},
                      names,
                      title,
                      x_axis,
                      y_axis,
                      colors,
                      shapes,
                      bisectorcolor,
                      padding};
    Py_ssize_t series;
    return build_scatter_chart(Book, plan, true, series);
}

object best_train_chart_name(handle titleprefix, handle pptyname, handle besttrain,
                             handle decorator) {
    const bool prefixed = pyutil::truthy(titleprefix);
    object name;
    if (!besttrain.is_none())
        name = nb::str("{} #{} chart")
                   .format(prefixed ? nb::borrow(titleprefix) : object(nb::str("Training")),
                           besttrain);
    else
        name = nb::str("{0} chart").format(prefixed ? titleprefix : pptyname);
    if (pyutil::truthy(decorator)) name = nb::str("{0}{1}").format(name, decorator);
    return name;
}

object test_chart_name(handle decorator) { return nb::str("Test result chart%s") % decorator; }

ScatterData scatter_data(const ChartFigures &f, handle sheetname, handle expectedcol,
                         handle computedcol) {
    return {sheetname,   f.datacount, f.minExpect, f.maxExpect,
            expectedcol, computedcol, f.diagvalues};
}

object best_train_chart(handle Book, const BestTrainChart &plan, bool check_columns,
                        sheetcells::Cells *cells) {
    handle pptyname = plan.pptyname, besttrain = plan.besttrain, pptyunit = plan.pptyunit,
           titleprefix = plan.titleprefix, chartname = plan.chartname;
    handle mastersheetname = plan.data.sheetname;
    const bool prefixed = pyutil::truthy(titleprefix);
    const bool numbered = !besttrain.is_none();
    object chartpin = prefixed ? nb::borrow(titleprefix) : object(nb::str("Training"));

    object title;
    if (numbered && prefixed)
        title = nb::str("{} {} for Training #{}").format(titleprefix, pptyname, besttrain);
    else if (numbered)
        title = nb::str("{} for Training #{}").format(pptyname, besttrain);
    else if (prefixed)
        title = nb::str("{0} {1}").format(titleprefix, pptyname);
    else
        title = nb::str("{0}").format(pptyname);
    object seriesname = nb::str("{0} results").format(chartpin);

    object x_title, y_title;
    if (pyutil::truthy(pptyunit)) {
        x_title = nb::str("Measured {0} ({1})").format(pptyname, pptyunit);
        y_title = nb::str("{0} Estimated {1} ({2})").format(titleprefix, pptyname, pptyunit);
    } else {
        x_title = nb::str("Measured {0}").format(pptyname);
        y_title = nb::str("{0} Estimated {1}").format(titleprefix, pptyname);
    }

    object name = pyutil::truthy(chartname)
                      ? nb::borrow(chartname)
                      : best_train_chart_name(titleprefix, pptyname, besttrain, plan.decorator);

    // Columns that are no columns, or that hold no data, are the caller's
    // mistake, not a chart that failed: refused before anything is made.
    if (check_columns)
        checks::plotted_columns(
            Book, mastersheetname, plan.data.datacount,
            {{plan.data.expectedcol, "expectedcol"}, {plan.data.computedcol, "computedcol"}});

    // A chart that cannot be built must not cost the workbook: its
    // chartsheet is still added, with a chart that shows the title and no
    // point (a chartsheet without a drawing is a damaged part to Excel).
    object chart = pyutil::unless_exception(
        [&] {
            // The columns are checked above (or, for the sheet set, before it began).
            object computedcols = nb::list(nb::make_tuple(plan.data.computedcol));
            object colors = nb::list(nb::make_tuple("blue"));
            object shapes = nb::list(nb::make_tuple("circle"));
            object red = nb::str("red"), padding = nb::float_(0.05);
            ScatterChart chart{plan.data, seriesname, title, x_title, y_title,
                               colors,    shapes,     red,   padding};
            chart.data.computedcol = computedcols;
            Py_ssize_t series;
            return build_scatter_chart(Book, chart, false, series, cells);
        },
        [&](nb::python_error &e) {
            std::string error =
                std::string(Py_TYPE(e.value().ptr())->tp_name) + ": " + pyutil::utf8(e.value());
            checks::warn("the chart of the chartsheet " + checks::short_repr(name) +
                         " could not be built (" + error +
                         "); the chartsheet shows its title and no points");
            return placeholder_chart(Book, title, mastersheetname);
        });

    object chartsheet = Book.attr("add_chartsheet")(name);
    if (!chart.is_none()) chartsheet.attr("set_chart")(chart);
    chartsheet.attr("set_zoom")(150);
    return chartsheet;
}

Chartsheet getBestTrainChart(Workbook Book, Int expectedcol, Int computedcol, Int datacount,
                             Float minExpect, Float maxExpect, Str pptyname,
                             Optional<Int> besttrain, Str pptyunit, Str mastersheetname,
                             Str decorator, Str titleprefix, Str chartname, DiagValues diagvalues) {
    BestTrainChart plan{
        {mastersheetname, datacount, minExpect, maxExpect, expectedcol, computedcol, diagvalues},
        pptyname,
        besttrain,
        pptyunit,
        decorator,
        titleprefix,
        chartname};
    return best_train_chart(Book, plan, true);
}

object test_chart(handle Book, const TestChart &plan, bool check_columns,
                  sheetcells::Cells *cells) {
    handle pptyname = plan.pptyname, pptyunit = plan.pptyunit;
    object title = nb::str("%s Test") % pptyname;
    object x_title, y_title;
    if (pyutil::truthy(pptyunit)) {
        object tail = pptyname + nb::str(" (") + pptyunit + nb::str(")");
        x_title = nb::str("Measured ") + tail;
        y_title = nb::str("Estimated ") + tail;
    } else {
        x_title = nb::str("Measured %s") % pptyname;
        y_title = nb::str("Estimated %s") % pptyname;
    }

    object red = nb::str("red"), padding = nb::float_(0.05);
    ScatterChart scatter{plan.data,   plan.names,  title, x_title, y_title,
                         plan.colors, plan.shapes, red,   padding};
    Py_ssize_t series_count;
    object chart = build_scatter_chart(Book, scatter, check_columns, series_count, cells);
    // A chart without series fails the workbook's close(): refuse it before
    // it is placed, while the unplaced chart is still dropped at close.
    if (series_count == 0)
        pyutil::raise(PyExc_ValueError,
                      "the test chart has no series: no computed column was given");
    object chartsheet = Book.attr("add_chartsheet")(test_chart_name(plan.decorator));
    chartsheet.attr("set_chart")(chart);
    chartsheet.attr("set_zoom")(150);
    return chartsheet;
}

Chartsheet getTestChart(Workbook Book, Int expectedcols, Columns computedcol, StrOrStrs names,
                        StrOrStrs colors, StrOrStrs shapes, Str pptyname, Str pptyunit,
                        Str testsheetname, Int datacount, Float minExpect, Float maxExpect,
                        Str decorator, DiagValues diagvalues) {
    TestChart plan{
        {testsheetname, datacount, minExpect, maxExpect, expectedcols, computedcol, diagvalues},
        names,
        colors,
        shapes,
        pptyname,
        pptyunit,
        decorator};
    return test_chart(Book, plan, true);
}

void bind_scatter_charts(nb::module_ &m) {
    // A column, a colour, a marker or a name stands for one series; a list
    // or tuple of them gives one series each.
    m.def("new_scatter_chart", &new_scatter_chart, pyutil::arg("Book"), pyutil::arg("names"),
          pyutil::arg("sheetname"), pyutil::arg("datacount"), pyutil::arg("minVal"),
          pyutil::arg("maxVal"), pyutil::arg("expectedcol"), pyutil::arg("computedcol"),
          pyutil::arg("labelcol"), pyutil::arg("title"), pyutil::arg("x_axis"),
          pyutil::arg("y_axis"), pyutil::arg("colors"), pyutil::arg("shapes"),
          pyutil::arg("bisectorcolor") = "green", pyutil::arg("diagValues") = "",
          pyutil::arg("padding") = 0.05);
    m.def("getBestTrainChart", &getBestTrainChart, pyutil::arg("Book"), pyutil::arg("expectedcol"),
          pyutil::arg("computedcol"), pyutil::arg("datacount"), pyutil::arg("minExpect"),
          pyutil::arg("maxExpect"), pyutil::arg("pptyname"), pyutil::arg("besttrain"),
          pyutil::arg("pptyunit"), pyutil::arg("mastersheetname"), pyutil::arg("decorator") = "",
          pyutil::arg("titleprefix") = "", pyutil::arg("chartname") = "",
          pyutil::arg("diagvalues") = "");
    m.def("getTestChart", &getTestChart, pyutil::arg("Book"), pyutil::arg("expectedcols"),
          pyutil::arg("computedcol"), pyutil::arg("names"), pyutil::arg("colors"),
          pyutil::arg("shapes"), pyutil::arg("pptyname"), pyutil::arg("pptyunit"),
          pyutil::arg("testsheetname"), pyutil::arg("datacount"), pyutil::arg("minExpect"),
          pyutil::arg("maxExpect"), pyutil::arg("decorator"), pyutil::arg("diagvalues") = "");
}

}  // namespace rb
