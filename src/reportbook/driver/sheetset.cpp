// The sheet set of a result workbook: which writer finishes which sheet, in
// which order, and which figures flow from one writer into the next chart or
// writer.  Cell contents are the writers' business.
#include "reportbook/a1.hpp"
#include "reportbook/checks.hpp"
#include "reportbook/sheetcells.hpp"
#include "reportbook/reportbook.hpp"

#include <cmath>

namespace rb {
namespace {

// "(3)" for a positive index, nothing otherwise.
object decoration(handle index) {
    if (index <= nb::int_(0)) return nb::str("");
    return nb::str("(%d)") % index;
}

}  // namespace

namespace {

const char *const kKinds[7] = {"result",  "training",           "test",          "LOO training",
                               "LOO test", "bootstrap training", "bootstrap test"};

std::string item(const char *list, int i) {
    return std::string(list) + "[" + std::to_string(i) + "]";
}

// The writers of the LOO test and bootstrap test sheets never read their Frame.
bool reads_frame(int i) { return i != 4 && i != 6; }

// 'Results', 'Training': the sheets the writer has, for a warning.
std::string writer_sheets(handle excelwriter) {
    std::string out;
    for (handle name : nb::getattr(excelwriter, "sheets")) {
        if (!out.empty()) out += ", ";
        out += checks::short_repr(name);
    }
    return out.empty() ? "none" : out;
}

struct Shape {
    long long rows = 0, cols = 0;
};

void measured_column_in_frame(long long col, const Shape &shape, int i, const std::string &what) {
    if (col >= 0 && col < shape.cols) return;
    checks::impossible(what + " lies outside the " + kKinds[i] + " Frame (frameList[" +
                       std::to_string(i) + "]), whose " + std::to_string(shape.cols) +
                       " columns are numbered 0 to " + std::to_string(shape.cols - 1) +
                       ": the measured values are read from the Frame at that position, "
                       "counted from 0");
}

// The columns a chart or a score formula reads must hold the sheet's data:
// a column past it gives a chart without points and formulas over blanks.
void holds_data(handle sheet, handle name, long long col, long long rows, int i,
                const std::string &what, const std::string &argument) {
    if (col >= 0 && sheetcells::column_holds_cells(sheet, col, 0, rows)) return;
    checks::impossible("the " + std::string(kKinds[i]) + " sheet " + checks::short_repr(name) +
                       " has no data in column " + checks::column_label(col) + ", where " + what +
                       " would be read (" + argument + "); columns are counted from 0");
}

void maxreclist_entries(handle maxreclist, const char *name) {
    checks::sequence(maxreclist, name, "a list of model counts such as [5] or [5, 3]");
    if (nb::len(maxreclist) == 0)
        pyutil::raise(PyExc_IndexError, "%s is empty: it needs one model count per selected model",
                  name);
    Py_ssize_t i = 0;
    for (handle count : maxreclist)
        checks::real(count, std::string(name) + "[" + std::to_string(i++) + "]",
                     "a number (a model count)");
}

// A chartsheet the set will add must not take the name of a sheet the
// workbook has (XlsxWriter compares names without case): refused before the
// sheets are finished, not when the chart comes.
void chartsheet_name_free(handle book, handle name, int i) {
    object wanted = nb::str(name).attr("lower")();
    for (handle sheet : book.attr("worksheets")())
        if (nb::getattr(sheet, "name").attr("lower")().equal(wanted))
            checks::impossible("the workbook already has a sheet " +
                               checks::short_repr(nb::getattr(sheet, "name")) +
                               ", the name of the chartsheet of the " + kKinds[i] +
                               " sheet: give that sheet another name");
}

// The layout counts a Frame's columns by position: one header row, and one
// index column for the Frames written with their index (the result and
// bootstrap Frames).  A MultiIndex shifts every column the writer reads.
void flat_axes(handle frame, int i) {
    const std::string what =
        "the " + std::string(kKinds[i]) + " Frame (" + item("frameList", i) + ")";
    const long long header = checks::levels(frame, "columns");
    if (header > 1)
        checks::impossible(what + " has MultiIndex columns of " + std::to_string(header) +
                           " levels: the sheet gets " + std::to_string(header) +
                           " header rows where the writer counts one; give it one level of "
                           "column names (frame.columns = [...]) or reset the index");
    const bool indexed = i == 0 || i == 5 || i == 6;
    const long long index = checks::levels(frame, "index");
    if (indexed && index > 1)
        checks::impossible(what + " has a MultiIndex of " + std::to_string(index) +
                           " levels: written with its index it fills " + std::to_string(index) +
                           " columns where the writer counts one (column A); reset the index "
                           "(frame.reset_index(level=...)) so that one level remains");
}

// The chart bounds are the least and greatest measured value.
void has_rows(const Shape &shape, int i) {
    if (shape.rows > 0) return;
    checks::impossible("the " + std::string(kKinds[i]) + " Frame (" + item("frameList", i) +
                       ") has no rows: its chart bounds are the least and greatest of its "
                       "measured values, which takes one example at least");
}

// The RMSE (sheet column B) and the VLOO score (C), from which the running
// averages and the line chart are computed: a text there gives #DIV/0! in
// "Avg VLOO" and a chart of nothing.
void scores_are_numbers(handle frame) {
    object iloc = pyutil::attr_or_none(frame, "iloc");
    object columns = pyutil::attr_or_none(frame, "columns");
    if (!iloc.is_valid() || !columns.is_valid()) return;
    object all = pyutil::steal(PySlice_New(nullptr, nullptr, nullptr));
    for (long long k = 0; k < 2; ++k) {
        object column = iloc[nb::make_tuple(all, nb::int_(k))];
        std::pair<object, long long> found = checks::first_text(column);
        if (!found.first.is_valid()) continue;
        const std::string name = "the result Frame's column " +
                                 checks::short_repr(columns[nb::int_(k)]) +
                                 " (frameList[0], sheet column " + a1::col_name(k + 1) + ")";
        pyutil::raise(PyExc_TypeError,
                      "%s must hold numbers, the scores its averages and line chart are "
                      "computed from, not text: its row %lld holds %s",
                      name.c_str(), found.second + 1, checks::describe(found.first).c_str());
    }
}

}  // namespace

void open_sheet_set(SheetSet &s, handle sheetList, handle frameList) {
    // Both lists are checked before any sheet is touched.
    s.frames = checks::unpack(frameList, 7, "frameList");
    s.names = checks::unpack(sheetList, 7, "sheetList");
    for (int i = 0; i < 7; ++i) {
        const object &name = s.names[static_cast<size_t>(i)];
        if (!name.is_none() && !nb::isinstance<nb::str>(name))
            checks::wrong_type(item("sheetList", i), name,
                               std::string("the name of the ") + kKinds[i] + " sheet (text)");
    }
    s.sheets.clear();
    for (const object &name : s.names) s.sheets.push_back(getSheet(s.excelwriter, name));
}

void check_sheet_set(const SheetSet &s, const char *no_utilities) {
    object book = nb::getattr(s.excelwriter, "book");
    Shape shape[7];
    bool present[7];
    // Given once every check has passed: a refused call says one thing.
    std::vector<std::string> warnings;
    for (int i = 0; i < 7; ++i) {
        const size_t k = static_cast<size_t>(i);
        const object &frame = s.frames[k];
        present[i] = !s.sheets[k].is_none();
        if (!frame.is_none()) {
            auto rc = checks::frame_shape(frame, item("frameList", i));
            shape[i].rows = rc.first;
            shape[i].cols = rc.second;
            if (present[i] && reads_frame(i)) flat_axes(frame, i);
        }
        if (present[i] && frame.is_none() && reads_frame(i))
            checks::wrong_type(item("frameList", i), frame,
                               "the Frame written on the " + std::string(kKinds[i]) + " sheet " +
                                   checks::short_repr(s.names[k]) + ", which the writer has");
        if (!present[i] && !frame.is_none())
            warnings.push_back(item("sheetList", i) + " " + checks::short_repr(s.names[k]) +
                         " names no sheet of the writer: the " + kKinds[i] +
                         " Frame (frameList[" + std::to_string(i) +
                         "]) is left unfinished, without its formulas and charts; the writer "
                         "has the sheets " + writer_sheets(s.excelwriter));
    }
    auto need_utilities = [&](int i) {
        if (!no_utilities) return;
        checks::impossible(std::string(no_utilities) + ": the " + kKinds[i] + " sheet " +
                           checks::short_repr(s.names[static_cast<size_t>(i)]) +
                           " cannot be finished, its chart bounds go on that sheet");
    };
    auto sheet = [&](int i) -> handle { return s.sheets[static_cast<size_t>(i)]; };
    auto name = [&](int i) -> handle { return s.names[static_cast<size_t>(i)]; };

    if (present[0] && shape[0].cols < 2)
        checks::impossible(
            "the result Frame (frameList[0]) has " + std::to_string(shape[0].cols) +
            " column(s), and needs two: the RMSE (sheet column B) and the VLOO score (C); "
            "with fewer, its running averages would land on column C and refer to themselves");
    if (present[0]) scores_are_numbers(s.frames[0]);

    if (present[1]) {
        need_utilities(1);
        has_rows(shape[1], 1);
        long long rc = checks::index(s.trainresultColumn, "trainresultColumn");
        if (rc == -1) rc = 1;
        measured_column_in_frame(rc, shape[1], 1, "trainresultColumn " + std::to_string(rc));
        long long count = checks::index(s.resultcount, "resultcount");
        const std::string arg = "trainresultColumn " + std::to_string(rc) +
                                " holds the measured values, then four columns per training";
        const long long rows = shape[1].rows;
        // A campaign without trainings has no estimates: its charts stay
        // empty, as they always did.
        if (count >= 1) {
            holds_data(sheet(1), name(1), rc + 1, rows, 1, "the estimates of the best training",
                       arg);
            holds_data(sheet(1), name(1), rc + 4, rows, 1, "its VLOO estimates", arg);
        }
        if (count > 1)
            holds_data(sheet(1), name(1), rc + 4 * count, rows, 1,
                       "the VLOO estimates of training " + std::to_string(count) + " of " +
                           std::to_string(count) + " (resultcount)",
                       arg);
        checks::index(s.infolen, "infolen");
        const bool numbered = !s.besttrainindex.is_none();
        chartsheet_name_free(book,
                             numbered ? object(nb::str("Training #{} chart").format(s.besttrainindex))
                                      : object(nb::str("{} chart").format(s.pptyname)),
                             1);
        chartsheet_name_free(book,
                             numbered ? object(nb::str("VLOO #{} chart").format(s.besttrainindex))
                                      : object(nb::str("VLOO chart")),
                             1);
    }

    if (present[2]) {
        need_utilities(2);
        has_rows(shape[2], 2);
        long long rc = checks::index(s.testresultColumn, "testresultColumn");
        if (rc == -1) rc = 4;
        measured_column_in_frame(rc, shape[2], 2, "testresultColumn " + std::to_string(rc));
        maxreclist_entries(s.maxreclist, s.as.maxreclist);
        checks::real(s.verbosexls, s.as.verbosexls, "a number (the verbosity level)");
        checks::real(s.leveragethreshold, s.as.leveragethreshold, "a number");
        if (std::isnan(pyutil::as_double(s.leveragethreshold, 0.0)))
            warnings.push_back(std::string(s.as.leveragethreshold) +
                               " is NaN: no leverage of the test sheet is compared above it, so "
                               "none is flagged; give infinity to flag none, or a number");
        checks::real(s.decorindex, s.as.decorindex, "a number (the index in the chart's name)");
        const bool verbose = s.verbosexls > nb::int_(1);
        object first = s.maxreclist[nb::int_(0)];
        if (verbose && s.leveragethreshold > nb::int_(0))
            checks::index(first, std::string(s.as.maxreclist) + "[0]",
                          "an integer (the count of leverage columns flagged)");
        const long long L = static_cast<long long>(nb::len(s.maxreclist));
        const long long chosen = verbose ? L : 1;
        const long long plotted = first > nb::int_(1) ? rc + 1 : (verbose ? rc + 1 + 3 * L : rc + 1);
        const std::string arg = "testresultColumn " + std::to_string(rc) +
                                " holds the measured values, then three columns per entry of " +
                                s.as.maxreclist;
        const long long rows = shape[2].rows;
        holds_data(sheet(2), name(2), rc + 1 + 3 * (chosen - 1), rows, 2,
                   "the estimates of selected model " + std::to_string(chosen), arg);
        holds_data(sheet(2), name(2), plotted, rows, 2, "the test chart's estimates",
                   arg + (verbose ? ", then two per further model" : ""));
        checks::index(s.infolen, "infolen");
        chartsheet_name_free(book, nb::str("Test result chart%s") % decoration(s.decorindex), 2);
    }

    if (present[3]) {
        need_utilities(3);
        has_rows(shape[3], 3);
        long long c = checks::index(s.LOOResultTrainColumn, "LOOResultTrainColumn");
        measured_column_in_frame(c - 1, shape[3], 3,
                                 "LOOResultTrainColumn " + std::to_string(c) +
                                     " less 1, the column of the measured values,");
        maxreclist_entries(s.maxreclist, s.as.maxreclist);
        checks::real(s.verbosexls, s.as.verbosexls, "a number (the verbosity level)");
        checks::real(s.LOOmaxrec, s.as.LOOmaxrec, "a number (the count of selected models)");
        checks::real(s.decorindexLOO, s.as.decorindexLOO,
                     "a number (the index in the chart's name)");
        if (s.verbosexls > nb::int_(1))
            checks::index(s.LOOlen, s.as.LOOlen, "an integer (the LOO trainings shown)");
        holds_data(sheet(3), name(3), c, shape[3].rows, 3, "the LOO estimates",
                   "LOOResultTrainColumn " + std::to_string(c));
        checks::index(s.infolen, "infolen");
        chartsheet_name_free(book, nb::str("LOO CV chart{}").format(decoration(s.decorindexLOO)),
                             3);
    }

    if (present[4]) checks::index(s.LOOResultTrainColumn, "LOOResultTrainColumn");
    for (const std::string &w : warnings) checks::warn(w);
}

void finish_sheet_set(const SheetSet &s) {
    handle excelwriter = s.excelwriter, pptyname = s.pptyname, besttrainindex = s.besttrainindex,
           paramcount = s.paramcount, resultcount = s.resultcount,
           leveragethreshold = s.leveragethreshold, maxreclist = s.maxreclist,
           LOOResultTrainColumn = s.LOOResultTrainColumn, LOOlen = s.LOOlen,
           LOOmaxrec = s.LOOmaxrec, pptyunit = s.pptyunit, decorindex = s.decorindex,
           decorindexLOO = s.decorindexLOO, verbosexls = s.verbosexls;
    const std::vector<object> &frames = s.frames, &names = s.names, &sheets = s.sheets;

    const object &resultFrame = frames[0], &trainFrame = frames[1], &testFrame = frames[2];
    const object &looTrainFrame = frames[3], &looTestFrame = frames[4];
    const object &bsTrainFrame = frames[5], &bsTestFrame = frames[6];
    const object &resultsheetname = names[0], &trainsheetname = names[1];
    const object &testsheetname = names[2], &lootrainsheetname = names[3];

    const object &resultSheet = sheets[0], &trainSheet = sheets[1], &testSheet = sheets[2];
    const object &lootrainSheet = sheets[3], &lootestSheet = sheets[4];
    const object &bstrainSheet = sheets[5], &bstestSheet = sheets[6];

    object workbook = nb::getattr(excelwriter, "book");

    object minusone = nb::int_(-1);
    object trainresultColumn = nb::borrow(s.trainresultColumn);
    object testresultColumn = nb::borrow(s.testresultColumn);
    if (trainresultColumn.equal(minusone)) trainresultColumn = nb::int_(1);
    if (testresultColumn.equal(minusone)) testresultColumn = nb::int_(4);

    object decorator = decoration(decorindex);
    // The first free row of "Utilities", where the next min/max block goes.
    object infolen = nb::borrow(s.infolen);
    object none = nb::none(), empty = nb::str("");

    if (!resultSheet.is_none()) {
        object extracol = enrichResultSheet(workbook, resultSheet, resultFrame);
        object chart = line_chart(workbook, resultsheetname, resultcount, nb::int_(0),
                                      nb::int_(1), nb::int_(2), nb::str("Trainings"), empty, empty,
                                      nb::str("0"), NUM_FORMAT());
        // First column right of the table and of the columns the writer added.
        object col = nb::getattr(resultFrame, "shape")[nb::int_(1)] + extracol;
        object insertpos = a1::text(a1::cell(1, pyutil::as_index(col), true, true));
        resultSheet.attr("insert_chart")(insertpos, chart);
    }

    // Each chart is drawn from the cells its sheet's writer read.
    if (!trainSheet.is_none()) {
        sheetcells::Cells cells(workbook, trainSheet);
        const TrainFigures f =
            write_train_sheet(workbook, trainSheet, trainFrame, resultcount, besttrainindex,
                              trainresultColumn, pptyname, paramcount, infolen, &cells);
        infolen = f.nextrow;
        best_train_chart(workbook, trainresultColumn, f.shiftCompute, f.datacount, f.minExpect,
                         f.maxExpect, pptyname, besttrainindex, pptyunit, trainsheetname, empty,
                         empty, empty, f.diagvalues, false, &cells);
        best_train_chart(workbook, trainresultColumn, f.shiftVLOO, f.datacount, f.minExpect,
                         f.maxExpect, pptyname, besttrainindex, pptyunit, trainsheetname, empty,
                         nb::str("VLOO"), empty, f.diagvalues, false, &cells);
    }

    if (!testSheet.is_none()) {
        sheetcells::Cells cells(workbook, testSheet);
        const ChartFigures f = write_test_sheet(workbook, testSheet, testFrame, testresultColumn,
                                                maxreclist, leveragethreshold, verbosexls, infolen,
                                                &cells);
        infolen = f.nextrow;

        const object &expectedcol = testresultColumn;
        object one = nb::int_(1);
        // Column of the best model: on a verbose sheet the first further
        // model, right of the three columns of every selected model; when
        // more than one model is selected, the column right of the measured
        // values is plotted instead.
        object bestcol;
        if (verbosexls > one) {
            object selected = nb::int_(3 * (long long)nb::len(maxreclist));
            bestcol = (expectedcol + one) + selected;
        } else {
            bestcol = expectedcol + one;
        }
        object plotted =
            (maxreclist[nb::int_(0)] > one) ? (expectedcol + one) : bestcol;

        nb::list computedcols, seriesnames, colors, shapes;
        computedcols.append(plotted);
        seriesnames.append("Test results");
        colors.append("blue");
        shapes.append("circle");
        test_chart(workbook, expectedcol, computedcols, seriesnames, colors, shapes, pptyname,
                   pptyunit, testsheetname, f.datacount, f.minExpect, f.maxExpect, decorator,
                   f.diagvalues, false, &cells);
    }

    if (!lootrainSheet.is_none()) {
        sheetcells::Cells cells(workbook, lootrainSheet);
        object decoratorLOO = decoration(decorindexLOO);
        object firstcount = maxreclist[nb::int_(0)];
        const ChartFigures f =
            write_loo_train_sheet(workbook, lootrainSheet, looTrainFrame, LOOResultTrainColumn,
                                  LOOlen, firstcount, verbosexls, LOOmaxrec, infolen, &cells);
        // Measured values sit one column left of the LOO estimates.
        object expectedcol = LOOResultTrainColumn - nb::int_(1);
        best_train_chart(workbook, expectedcol, LOOResultTrainColumn, f.datacount, f.minExpect,
                         f.maxExpect, pptyname, none, pptyunit, lootrainsheetname, decoratorLOO,
                         nb::str("LOO CV"), empty, f.diagvalues, false, &cells);
    }

    if (!lootestSheet.is_none())
        enrichLOOTestSheet(workbook, lootestSheet, looTestFrame, LOOResultTrainColumn);

    // The bootstrap writers keep their own defaults: result column 2, no
    // utility row.
    if (!bstrainSheet.is_none())
        enrichBSTrainSheet(workbook, bstrainSheet, bsTrainFrame, nb::int_(2), minusone);

    if (!bstestSheet.is_none()) enrichBSTestSheet(workbook, bstestSheet, bsTestFrame);

}


NoneType enrichExcelFile(ExcelWriter excelwriter, Str pptyname, Int besttrainindex,
                         Strs sheetList, Frames frameList, Int paramcount, Int resultcount,
                         Float leveragethreshold, MaxRecords maxreclist, Int infolen,
                         Int trainresultColumn, Int testresultColumn, Int LOOResultTrainColumn,
                         handle loowidth, Int LOOlen, Int LOOmaxrec, Str pptyunit, Int decorindex,
                         Int decorindexLOO, handle traintype, Int verbosexls) {
    (void)loowidth;
    (void)traintype;
    SheetSet s;
    s.excelwriter = nb::borrow(excelwriter);
    s.pptyname = nb::borrow(pptyname);
    s.besttrainindex = nb::borrow(besttrainindex);
    s.paramcount = nb::borrow(paramcount);
    s.resultcount = nb::borrow(resultcount);
    s.leveragethreshold = nb::borrow(leveragethreshold);
    s.maxreclist = nb::borrow(maxreclist);
    s.infolen = nb::borrow(infolen);
    s.trainresultColumn = nb::borrow(trainresultColumn);
    s.testresultColumn = nb::borrow(testresultColumn);
    s.LOOResultTrainColumn = nb::borrow(LOOResultTrainColumn);
    s.LOOlen = nb::borrow(LOOlen);
    s.LOOmaxrec = nb::borrow(LOOmaxrec);
    s.pptyunit = nb::borrow(pptyunit);
    s.decorindex = nb::borrow(decorindex);
    s.decorindexLOO = nb::borrow(decorindexLOO);
    s.verbosexls = nb::borrow(verbosexls);
    s.as = {"leveragethreshold", "maxreclist", "LOOlen", "LOOmaxrec", "decorindex",
            "decorindexLOO", "verbosexls"};
    open_sheet_set(s, sheetList, frameList);
    object book = nb::getattr(excelwriter, "book");
    checks::open_workbook(book, "excelwriter");
    const bool utilities = !checks::worksheet(book, nb::str("Utilities")).is_none();
    check_sheet_set(s, utilities ? nullptr : "the workbook has no sheet 'Utilities'");
    finish_sheet_set(s);
    return nb::none();
}

NoneType enrichExcelPreproc(ExcelWriter excelwriter, Str sheetName, handle filename, Bool do_vba) {
    (void)filename;
    object preprocSheet = getSheet(excelwriter, sheetName);
    preprocSheet.attr("set_zoom")(150);
    if (pyutil::truthy(do_vba)) {
        object workbook = nb::getattr(excelwriter, "book");
        workbook.attr("set_size")(1490, 1300);
        attach_vba_project(workbook);
        workbook.attr("close")();
    }
    return nb::none();
}

void bind_sheetset(nb::module_ &m) {
    // List defaults: one object each, shared by every call that omits them.
    nb::list no_sheets, no_frames, default_maxrec;
    default_maxrec.append("_");
    m.def("enrichExcelFile", &enrichExcelFile, pyutil::arg("excelwriter"), pyutil::arg("pptyname"),
          pyutil::arg("besttrainindex") = 0, pyutil::arg("sheetList") = no_sheets,
          pyutil::arg("frameList") = no_frames, pyutil::arg("paramcount") = 0,
          pyutil::arg("resultcount") = 0, pyutil::arg("leveragethreshold") = 1.0,
          pyutil::arg("maxreclist") = default_maxrec, pyutil::arg("infolen") = -1,
          pyutil::arg("trainresultColumn") = 1, pyutil::arg("testresultColumn") = -1,
          pyutil::arg("LOOResultTrainColumn") = 3, pyutil::arg("loowidth") = 1, pyutil::arg("LOOlen") = 0,
          pyutil::arg("LOOmaxrec") = 0, pyutil::arg("pptyunit") = "", pyutil::arg("decorindex") = 0,
          pyutil::arg("decorindexLOO") = 0, pyutil::arg("traintype") = "", pyutil::arg("verbosexls") = 0);
    m.def("enrichExcelPreproc", &enrichExcelPreproc, pyutil::arg("excelwriter"),
          pyutil::arg("sheetName"), pyutil::arg("filename"), pyutil::arg("do_vba") = false);
}

}  // namespace rb
