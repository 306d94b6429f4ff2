// The sheet set of a result workbook: which writer finishes which sheet, in
// which order, and which figures flow from one writer into the next chart or
// writer.  Cell contents are the writers' business.
#include "reportbook/a1.hpp"
#include "reportbook/checks.hpp"
#include "reportbook/reportbook.hpp"
#include "reportbook/sheetcells.hpp"

#include <cmath>

namespace rb {

object decoration(handle index) {
    if (index <= nb::int_(0)) return nb::str("");
    return nb::str("(%d)") % index;
}

object train_measured_column(handle given) {
    return given.equal(nb::int_(-1)) ? object(nb::int_(1)) : nb::borrow(given);
}

object test_measured_column(handle given) {
    return given.equal(nb::int_(-1)) ? object(nb::int_(4)) : nb::borrow(given);
}

long long plotted_test_column(long long measured, handle maxreclist, handle verbosexls) {
    const bool verbose = verbosexls > nb::int_(1);
    if (maxreclist[nb::int_(0)] > nb::int_(1) || !verbose) return measured + 1;
    return measured + 1 + 3 * static_cast<long long>(nb::len(maxreclist));
}

namespace {

struct KindInfo {
    const char *label;  // "LOO training": the sheet and Frame in messages
    bool reads_frame;   // the writers of the LOO test and bootstrap test sheets never do
    bool indexed;       // the Frame is written with its index (column A)
};

const KindInfo kKinds[kSheetKinds] = {
    {"result", true, true},         {"training", true, false},  {"test", true, false},
    {"LOO training", true, false},  {"LOO test", false, false}, {"bootstrap training", true, true},
    {"bootstrap test", false, true}};

const KindInfo &info(SheetKind kind) { return kKinds[static_cast<size_t>(kind)]; }
const char *label(const SetSheet &sheet) { return info(sheet.kind).label; }

std::string item(const char *list, const SetSheet &sheet) {
    return std::string(list) + "[" + std::to_string(static_cast<int>(sheet.kind)) + "]";
}

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

void measured_column_in_frame(long long col, const Shape &shape, const SetSheet &sheet,
                              const std::string &what) {
    if (col >= 0 && col < shape.cols) return;
    checks::impossible(what + " lies outside the " + label(sheet) + " Frame (" +
                       item("frameList", sheet) + "), whose " + std::to_string(shape.cols) +
                       " columns are numbered 0 to " + std::to_string(shape.cols - 1) +
                       ": the measured values are read from the Frame at that position, "
                       "counted from 0");
}

// The columns a chart or a score formula reads must hold the sheet's data:
// a column past it gives a chart without points and formulas over blanks.
void holds_data(const SetSheet &sheet, long long col, long long rows, const std::string &what,
                const std::string &argument) {
    if (col >= 0 && sheetcells::column_holds_cells(sheet.sheet, col, 0, rows)) return;
    checks::impossible("the " + std::string(label(sheet)) + " sheet " +
                       checks::short_repr(sheet.name) + " has no data in column " +
                       checks::column_label(col) + ", where " + what + " would be read (" +
                       argument + "); columns are counted from 0");
}

void maxreclist_entries(const Named &maxreclist) {
    checks::sequence(maxreclist.value, maxreclist.name,
                     "a list of model counts such as [5] or [5, 3]");
    if (nb::len(maxreclist.value) == 0)
        pyutil::raise(PyExc_IndexError, "%s is empty: it needs one model count per selected model",
                      maxreclist.name);
    Py_ssize_t i = 0;
    for (handle count : maxreclist.value)
        checks::real(count, std::string(maxreclist.name) + "[" + std::to_string(i++) + "]",
                     "a number (a model count)");
}

// A chartsheet the set will add must not take the name of a sheet the
// workbook has (XlsxWriter compares names without case): refused before the
// sheets are finished, not when the chart comes.
void chartsheet_name_free(handle book, handle name, const SetSheet &of) {
    object wanted = nb::str(name).attr("lower")();
    for (handle sheet : book.attr("worksheets")())
        if (nb::getattr(sheet, "name").attr("lower")().equal(wanted))
            checks::impossible("the workbook already has a sheet " +
                               checks::short_repr(nb::getattr(sheet, "name")) +
                               ", the name of the chartsheet of the " + label(of) +
                               " sheet: give that sheet another name");
}

// The layout counts a Frame's columns by position: one header row, and one
// index column for the Frames written with their index (the result and
// bootstrap Frames).  A MultiIndex shifts every column the writer reads.
void flat_axes(const SetSheet &sheet) {
    const std::string what =
        "the " + std::string(label(sheet)) + " Frame (" + item("frameList", sheet) + ")";
    const long long header = checks::levels(sheet.frame, "columns");
    if (header > 1)
        checks::impossible(what + " has MultiIndex columns of " + std::to_string(header) +
                           " levels: the sheet gets " + std::to_string(header) +
                           " header rows where the writer counts one; give it one level of "
                           "column names (frame.columns = [...]) or reset the index");
    const long long index = checks::levels(sheet.frame, "index");
    if (info(sheet.kind).indexed && index > 1)
        checks::impossible(what + " has a MultiIndex of " + std::to_string(index) +
                           " levels: written with its index it fills " + std::to_string(index) +
                           " columns where the writer counts one (column A); reset the index "
                           "(frame.reset_index(level=...)) so that one level remains");
}

// The chart bounds are the least and greatest measured value.
void has_rows(const Shape &shape, const SetSheet &sheet) {
    if (shape.rows > 0) return;
    checks::impossible("the " + std::string(label(sheet)) + " Frame (" + item("frameList", sheet) +
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

// What the checks of one sheet share: the set, its workbook, the shape of
// each Frame, and why the workbook will have no "Utilities" sheet (nullptr
// when it will).
struct Checking {
    const SheetSet &s;
    object book;
    Shape shape[kSheetKinds];
    const char *no_utilities;

    const Shape &shape_of(const SetSheet &sheet) const {
        return shape[static_cast<size_t>(sheet.kind)];
    }
    // A sheet whose chart bounds go on "Utilities", which has rows.
    void charted(const SetSheet &sheet) const {
        if (no_utilities)
            checks::impossible(std::string(no_utilities) + ": the " + label(sheet) + " sheet " +
                               checks::short_repr(sheet.name) +
                               " cannot be finished, its chart bounds go on that sheet");
        has_rows(shape_of(sheet), sheet);
    }
};

void check_result(const Checking &c, const SetSheet &sheet) {
    if (c.shape_of(sheet).cols < 2)
        checks::impossible(
            "the result Frame (frameList[0]) has " + std::to_string(c.shape_of(sheet).cols) +
            " column(s), and needs two: the RMSE (sheet column B) and the VLOO score (C); "
            "with fewer, its running averages would land on column C and refer to themselves");
    scores_are_numbers(sheet.frame);
}

// A charted sheet's measured column: the caller's (or its default for -1),
// checked to lie in the sheet's Frame.
long long charted_measured_column(const Checking &c, const SetSheet &sheet, handle given,
                                  const char *name, object (*measured_column)(handle)) {
    c.charted(sheet);
    checks::index(given, name);
    const long long rc = pyutil::as_index(measured_column(given));
    measured_column_in_frame(rc, c.shape_of(sheet), sheet,
                             std::string(name) + " " + std::to_string(rc));
    return rc;
}

void check_training(const Checking &c, const SetSheet &sheet) {
    const SheetSet &s = c.s;
    const long long rc = charted_measured_column(c, sheet, s.trainresultColumn, "trainresultColumn",
                                                 train_measured_column);
    long long count = checks::index(s.resultcount, "resultcount");
    const std::string arg = "trainresultColumn " + std::to_string(rc) +
                            " holds the measured values, then four columns per training";
    const long long rows = c.shape_of(sheet).rows;
    // A campaign without trainings has no estimates: its charts stay
    // empty, as they always did.
    if (count >= 1) {
        holds_data(sheet, rc + 1, rows, "the estimates of the best training", arg);
        holds_data(sheet, rc + 4, rows, "its VLOO estimates", arg);
    }
    if (count > 1)
        holds_data(sheet, rc + 4 * count, rows,
                   "the VLOO estimates of training " + std::to_string(count) + " of " +
                       std::to_string(count) + " (resultcount)",
                   arg);
    checks::index(s.infolen, "infolen");
    object empty = nb::str(""), vloo = nb::str("VLOO");
    chartsheet_name_free(c.book, best_train_chart_name(empty, s.pptyname, s.besttrainindex, empty),
                         sheet);
    chartsheet_name_free(c.book, best_train_chart_name(vloo, s.pptyname, s.besttrainindex, empty),
                         sheet);
}

void check_test(const Checking &c, std::vector<std::string> &warnings, const SetSheet &sheet) {
    const SheetSet &s = c.s;
    const long long rc = charted_measured_column(c, sheet, s.testresultColumn, "testresultColumn",
                                                 test_measured_column);
    maxreclist_entries(s.maxreclist);
    checks::real(s.verbosexls.value, s.verbosexls.name, "a number (the verbosity level)");
    checks::real(s.leveragethreshold.value, s.leveragethreshold.name, "a number");
    if (std::isnan(pyutil::as_double(s.leveragethreshold.value, 0.0)))
        warnings.push_back(std::string(s.leveragethreshold.name) +
                           " is NaN: no leverage of the test sheet is compared above it, so "
                           "none is flagged; give infinity to flag none, or a number");
    checks::real(s.decorindex.value, s.decorindex.name, "a number (the index in the chart's name)");
    const bool verbose = s.verbosexls.value > nb::int_(1);
    handle maxreclist = s.maxreclist.value;
    if (verbose && s.leveragethreshold.value > nb::int_(0))
        checks::index(maxreclist[nb::int_(0)], std::string(s.maxreclist.name) + "[0]",
                      "an integer (the count of leverage columns flagged)");
    const long long L = static_cast<long long>(nb::len(maxreclist));
    const long long chosen = verbose ? L : 1;
    const std::string arg = "testresultColumn " + std::to_string(rc) +
                            " holds the measured values, then three columns per entry of " +
                            s.maxreclist.name;
    const long long rows = c.shape_of(sheet).rows;
    holds_data(sheet, rc + 1 + 3 * (chosen - 1), rows,
               "the estimates of selected model " + std::to_string(chosen), arg);
    holds_data(sheet, plotted_test_column(rc, maxreclist, s.verbosexls.value), rows,
               "the test chart's estimates", arg + (verbose ? ", then two per further model" : ""));
    checks::index(s.infolen, "infolen");
    chartsheet_name_free(c.book, test_chart_name(decoration(s.decorindex.value)), sheet);
}

void check_loo_training(const Checking &c, const SetSheet &sheet) {
    const SheetSet &s = c.s;
    c.charted(sheet);
    long long col = checks::index(s.LOOResultTrainColumn, "LOOResultTrainColumn");
    measured_column_in_frame(col - 1, c.shape_of(sheet), sheet,
                             "LOOResultTrainColumn " + std::to_string(col) +
                                 " less 1, the column of the measured values,");
    maxreclist_entries(s.maxreclist);
    checks::real(s.verbosexls.value, s.verbosexls.name, "a number (the verbosity level)");
    checks::real(s.LOOmaxrec.value, s.LOOmaxrec.name, "a number (the count of selected models)");
    checks::real(s.decorindexLOO.value, s.decorindexLOO.name,
                 "a number (the index in the chart's name)");
    if (s.verbosexls.value > nb::int_(1))
        checks::index(s.LOOlen.value, s.LOOlen.name, "an integer (the LOO trainings shown)");
    holds_data(sheet, col, c.shape_of(sheet).rows, "the LOO estimates",
               "LOOResultTrainColumn " + std::to_string(col));
    checks::index(s.infolen, "infolen");
    object loo = nb::str("LOO CV");
    chartsheet_name_free(
        c.book,
        best_train_chart_name(loo, s.pptyname, nb::none(), decoration(s.decorindexLOO.value)),
        sheet);
}

// The Frame of each sheet the writer has (a Frame of the right shape), and a
// warning for a Frame whose sheet it has not.
void check_frame(Checking &c, std::vector<std::string> &warnings, const SetSheet &sheet) {
    const bool reads = info(sheet.kind).reads_frame;
    if (!sheet.frame.is_none()) {
        auto rc = checks::frame_shape(sheet.frame, item("frameList", sheet));
        Shape &shape = c.shape[static_cast<size_t>(sheet.kind)];
        shape.rows = rc.first;
        shape.cols = rc.second;
        if (sheet.present() && reads) flat_axes(sheet);
    }
    if (sheet.present() && sheet.frame.is_none() && reads)
        checks::wrong_type(item("frameList", sheet), sheet.frame,
                           "the Frame written on the " + std::string(label(sheet)) + " sheet " +
                               checks::short_repr(sheet.name) + ", which the writer has");
    if (!sheet.present() && !sheet.frame.is_none())
        warnings.push_back(item("sheetList", sheet) + " " + checks::short_repr(sheet.name) +
                           " names no sheet of the writer: the " + label(sheet) + " Frame (" +
                           item("frameList", sheet) +
                           ") is left unfinished, without its formulas and charts; the writer "
                           "has the sheets " +
                           writer_sheets(c.s.excelwriter));
}

}  // namespace

void open_sheet_set(SheetSet &s, handle sheetList, handle frameList) {
    // Both lists are checked before any sheet is touched.
    std::vector<object> frames = checks::unpack(frameList, kSheetKinds, "frameList");
    std::vector<object> names = checks::unpack(sheetList, kSheetKinds, "sheetList");
    s.sheets.clear();
    for (size_t k = 0; k < kSheetKinds; ++k) {
        SetSheet sheet{static_cast<SheetKind>(k), names[k], frames[k], nb::none()};
        if (!sheet.name.is_none() && !nb::isinstance<nb::str>(sheet.name))
            checks::wrong_type(item("sheetList", sheet), sheet.name,
                               std::string("the name of the ") + label(sheet) + " sheet (text)");
        s.sheets.push_back(sheet);
    }
    for (SetSheet &sheet : s.sheets) sheet.sheet = getSheet(s.excelwriter, sheet.name);
}

void check_sheet_set(const SheetSet &s, const char *no_utilities) {
    Checking c{s, nb::getattr(s.excelwriter, "book"), {}, no_utilities};
    // Given once every check has passed: a refused call says one thing.
    std::vector<std::string> warnings;
    for (const SetSheet &sheet : s.sheets) check_frame(c, warnings, sheet);
    if (s[SheetKind::Result].present()) check_result(c, s[SheetKind::Result]);
    if (s[SheetKind::Training].present()) check_training(c, s[SheetKind::Training]);
    if (s[SheetKind::Test].present()) check_test(c, warnings, s[SheetKind::Test]);
    if (s[SheetKind::LooTraining].present()) check_loo_training(c, s[SheetKind::LooTraining]);
    if (s[SheetKind::LooTest].present())
        checks::index(s.LOOResultTrainColumn, "LOOResultTrainColumn");
    for (const std::string &w : warnings) checks::warn(w);
}

namespace {

// What the writers of the set share: its workbook, the measured columns of
// the training and test sheets, the test chart's name suffix, and the first
// free row of "Utilities", where the next min/max block goes.  The columns
// and the suffix are settled before any sheet is written.
struct Finishing {
    const SheetSet &s;
    object workbook, train_column, test_column, decorator;
    object infolen;
};

void finish_result(Finishing &f, const SetSheet &sheet) {
    object extracol = enrichResultSheet(f.workbook, sheet.sheet, sheet.frame);
    object zero = nb::int_(0), one = nb::int_(1), two = nb::int_(2), empty = nb::str("");
    object trainings = nb::str("Trainings"), x_format = nb::str("0"), y_format = NUM_FORMAT();
    LineChart plan{sheet.name, f.s.resultcount, zero,  one,      two,
                   trainings,  empty,           empty, x_format, y_format};
    object chart = line_chart(f.workbook, plan);
    // First column right of the table and of the columns the writer added.
    object col = nb::getattr(sheet.frame, "shape")[nb::int_(1)] + extracol;
    object insertpos = a1::text(a1::cell(1, pyutil::as_index(col), true, true));
    sheet.sheet.attr("insert_chart")(insertpos, chart);
}

// Each chart is drawn from the cells its sheet's writer read.
void finish_training(Finishing &f, const SetSheet &sheet) {
    const SheetSet &s = f.s;
    sheetcells::Cells cells(f.workbook, sheet.sheet);
    const object &measured = f.train_column;
    const TrainFigures fig =
        write_train_sheet({f.workbook, sheet.sheet, sheet.frame, f.infolen, &cells}, s.resultcount,
                          measured, s.paramcount);
    f.infolen = fig.nextrow;
    object empty = nb::str(""), vloo = nb::str("VLOO");
    BestTrainChart plan{scatter_data(fig, sheet.name, measured, fig.shiftCompute),
                        s.pptyname,
                        s.besttrainindex,
                        s.pptyunit,
                        empty,
                        empty,
                        empty};
    best_train_chart(f.workbook, plan, false, &cells);
    plan.data.computedcol = fig.shiftVLOO;
    plan.titleprefix = vloo;
    best_train_chart(f.workbook, plan, false, &cells);
}

void finish_test(Finishing &f, const SetSheet &sheet) {
    const SheetSet &s = f.s;
    sheetcells::Cells cells(f.workbook, sheet.sheet);
    const object &measured = f.test_column;
    const ChartFigures fig =
        write_test_sheet({f.workbook, sheet.sheet, sheet.frame, f.infolen, &cells}, measured,
                         s.maxreclist.value, s.leveragethreshold.value, s.verbosexls.value);
    f.infolen = fig.nextrow;
    object plotted = nb::int_(
        plotted_test_column(pyutil::as_index(measured), s.maxreclist.value, s.verbosexls.value));
    nb::list computedcols, seriesnames, colors, shapes;
    computedcols.append(plotted);
    seriesnames.append("Test results");
    colors.append("blue");
    shapes.append("circle");
    TestChart plan{scatter_data(fig, sheet.name, measured, computedcols),
                   seriesnames,
                   colors,
                   shapes,
                   s.pptyname,
                   s.pptyunit,
                   f.decorator};
    test_chart(f.workbook, plan, false, &cells);
}

void finish_loo_training(Finishing &f, const SetSheet &sheet) {
    const SheetSet &s = f.s;
    sheetcells::Cells cells(f.workbook, sheet.sheet);
    object decorator = decoration(s.decorindexLOO.value);
    const ChartFigures fig = write_loo_train_sheet(
        {f.workbook, sheet.sheet, sheet.frame, f.infolen, &cells}, s.LOOResultTrainColumn,
        s.LOOlen.value, s.verbosexls.value, s.LOOmaxrec.value);
    // Measured values sit one column left of the LOO estimates.
    object measured = s.LOOResultTrainColumn - nb::int_(1);
    object empty = nb::str(""), loo = nb::str("LOO CV");
    BestTrainChart plan{scatter_data(fig, sheet.name, measured, s.LOOResultTrainColumn),
                        s.pptyname,
                        nb::none(),
                        s.pptyunit,
                        decorator,
                        loo,
                        empty};
    best_train_chart(f.workbook, plan, false, &cells);
}

}  // namespace

void finish_sheet_set(const SheetSet &s) {
    object workbook = nb::getattr(s.excelwriter, "book");
    object train_column = train_measured_column(s.trainresultColumn);
    object test_column = test_measured_column(s.testresultColumn);
    Finishing f{s,
                workbook,
                train_column,
                test_column,
                decoration(s.decorindex.value),
                nb::borrow(s.infolen)};
    auto present = [&](SheetKind kind) -> const SetSheet * {
        return s[kind].present() ? &s[kind] : nullptr;
    };
    if (auto *sheet = present(SheetKind::Result)) finish_result(f, *sheet);
    if (auto *sheet = present(SheetKind::Training)) finish_training(f, *sheet);
    if (auto *sheet = present(SheetKind::Test)) finish_test(f, *sheet);
    if (auto *sheet = present(SheetKind::LooTraining)) finish_loo_training(f, *sheet);
    if (auto *sheet = present(SheetKind::LooTest))
        enrichLOOTestSheet(f.workbook, sheet->sheet, sheet->frame, s.LOOResultTrainColumn);
    // The bootstrap writers keep their own defaults: result column 2, no
    // utility row.
    if (auto *sheet = present(SheetKind::BootstrapTraining))
        enrichBSTrainSheet(f.workbook, sheet->sheet, sheet->frame, nb::int_(2), nb::int_(-1));
    if (auto *sheet = present(SheetKind::BootstrapTest))
        enrichBSTestSheet(f.workbook, sheet->sheet, sheet->frame);
}

NoneType enrichExcelFile(ExcelWriter excelwriter, Str pptyname, Int besttrainindex, Strs sheetList,
                         Frames frameList, Int paramcount, Int resultcount, Float leveragethreshold,
                         MaxRecords maxreclist, Int infolen, Int trainresultColumn,
                         Int testresultColumn, Int LOOResultTrainColumn, handle /* loowidth */,
                         Int LOOlen, Int LOOmaxrec, Str pptyunit, Int decorindex, Int decorindexLOO,
                         handle /* traintype */, Int verbosexls) {
    SheetSet s;
    s.excelwriter = nb::borrow(excelwriter);
    s.pptyname = nb::borrow(pptyname);
    s.besttrainindex = nb::borrow(besttrainindex);
    s.paramcount = nb::borrow(paramcount);
    s.resultcount = nb::borrow(resultcount);
    s.leveragethreshold = {nb::borrow(leveragethreshold), "leveragethreshold"};
    s.maxreclist = {nb::borrow(maxreclist), "maxreclist"};
    s.infolen = nb::borrow(infolen);
    s.trainresultColumn = nb::borrow(trainresultColumn);
    s.testresultColumn = nb::borrow(testresultColumn);
    s.LOOResultTrainColumn = nb::borrow(LOOResultTrainColumn);
    s.LOOlen = {nb::borrow(LOOlen), "LOOlen"};
    s.LOOmaxrec = {nb::borrow(LOOmaxrec), "LOOmaxrec"};
    s.pptyunit = nb::borrow(pptyunit);
    s.decorindex = {nb::borrow(decorindex), "decorindex"};
    s.decorindexLOO = {nb::borrow(decorindexLOO), "decorindexLOO"};
    s.verbosexls = {nb::borrow(verbosexls), "verbosexls"};
    open_sheet_set(s, sheetList, frameList);
    object book = nb::getattr(excelwriter, "book");
    checks::open_workbook(book, "excelwriter");
    const bool utilities = !checks::worksheet(book, nb::str("Utilities")).is_none();
    check_sheet_set(s, utilities ? nullptr : "the workbook has no sheet 'Utilities'");
    finish_sheet_set(s);
    return nb::none();
}

NoneType enrichExcelPreproc(ExcelWriter excelwriter, Str sheetName, handle /* filename */,
                            Bool do_vba) {
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
          pyutil::arg("LOOResultTrainColumn") = 3, pyutil::arg("loowidth") = 1,
          pyutil::arg("LOOlen") = 0, pyutil::arg("LOOmaxrec") = 0, pyutil::arg("pptyunit") = "",
          pyutil::arg("decorindex") = 0, pyutil::arg("decorindexLOO") = 0,
          pyutil::arg("traintype") = "", pyutil::arg("verbosexls") = 0);
    m.def("enrichExcelPreproc", &enrichExcelPreproc, pyutil::arg("excelwriter"),
          pyutil::arg("sheetName"), pyutil::arg("filename"), pyutil::arg("do_vba") = false);
}

}  // namespace rb
