// Writers of the evaluation sheets: training, test, leave-one-out and
// bootstrap.  The caller has already written each Frame under a one-row
// header; these writers only add formats, score rows made of live formulas,
// conditional formats and the min/max block of the "Utilities" sheet.
#include "reportbook/a1.hpp"
#include "reportbook/checks.hpp"
#include "reportbook/reportbook.hpp"
#include "reportbook/sheetcells.hpp"

#include <string>

namespace rb {
namespace {

using a1::Index;

object text(const std::string &s) { return a1::text(s); }

object utilities_sheet(handle Book) { return Book.attr("get_worksheet_by_name")("Utilities"); }

// What a writer checks of its arguments before it writes: the "Utilities"
// sheet its chart bounds go on, and the measured column, a position of the
// Frame (`shift` left of `resultColumn`).  Returns resultColumn.
Index check_measured(handle Book, handle Frame, handle resultColumn, Index shift,
                     const char *sheet_kind) {
    if (utilities_sheet(Book).is_none())
        checks::impossible(std::string("Book has no sheet 'Utilities', where the chart bounds of "
                                       "the ") +
                           sheet_kind + " sheet go (initiateExcelWriter adds it)");
    const Index rc = checks::index(resultColumn, "resultColumn");
    const Index cols = checks::frame_shape(Frame, "Frame").second;
    const Index measured = rc - shift;
    if (measured < 0 || measured >= cols)
        checks::impossible("resultColumn " + std::to_string(rc) +
                           (shift ? " less " + std::to_string(shift) : std::string()) +
                           " lies outside the Frame, whose " + std::to_string(cols) +
                           " columns are numbered 0 to " + std::to_string(cols - 1) +
                           ": the measured values are read there, counted from 0");
    return rc;
}

void check_counts(handle maxreclist) {
    checks::sequence(maxreclist, "maxreclist", "a list of model counts such as [5] or [5, 3]");
    Py_ssize_t i = 0;
    for (handle count : maxreclist)
        checks::real(count, "maxreclist[" + std::to_string(i++) + "]", "a number (a model count)");
}

// The min/max block of an evaluation sheet, which its writer puts on the
// "Utilities" sheet first, and what the writer takes from it.
struct MinMaxBlock {
    ChartFigures figures;       // for the chart drawn from the sheet
    Index rows, columns;        // the Frame's shape
    std::string expectedrange;  // the measured cells, for the score formulas
};

// The block on the book's "Utilities" sheet.
MinMaxBlock minmax_block(handle Book, handle Sheet, handle Frame, handle measuredColumn,
                         handle infolen) {
    const MinMaxFigures f =
        rb::write_minmax_block(utilities_sheet(Book), Sheet, Frame, measuredColumn, infolen);
    MinMaxBlock b;
    b.figures = f;
    b.rows = pyutil::as_index(f.datacount);
    b.columns = pyutil::as_index(f.trainsize);
    b.expectedrange = pyutil::utf8(f.expectedrange);
    return b;
}

// Column settings are made one column at a time.  Older XlsxWriter releases
// keep one setting per starting column, so a range that a later call partly
// overrides would be saved as overlapping <col> ranges, which spreadsheet
// applications repair as damaged; column by column, the later setting simply
// replaces the earlier one, as newer releases do for ranges.  Each column
// goes in the "A2:A2" form: on a one-row sheet "A2" would make set_column fail.
void set_columns(handle sheet, Index c1, Index c2, Index rows, handle width, handle format) {
    for (Index c = c1; c <= c2; ++c)
        sheet.attr("set_column")(text(a1::columns(1, c, rows, c)), width, format);
}

void set_columns(handle sheet, Index c1, Index c2, Index rows, int width, handle format) {
    set_columns(sheet, c1, c2, rows, nb::int_(width), format);
}

nb::dict hidden() {
    nb::dict options;
    options["hidden"] = true;
    return options;
}

// Hides the input columns B up to the one before `resultColumn`.  Below 2
// there is no input column, and the span "B:A" would hide A and B (the
// worksheet swaps reversed bounds), measured values included.  A sheet with
// other column settings over the span hides column by column (see above).
void hide_inputs(handle sheet, Index resultColumn, bool by_column) {
    if (resultColumn < 2) return;
    object set_column = sheet.attr("set_column");
    if (!by_column) {
        set_column(text(a1::col_span(1, resultColumn - 1)), nb::none(), nb::none(), hidden());
        return;
    }
    for (Index c = 1; c < resultColumn; ++c)
        set_column(text(a1::col_span(c, c)), nb::none(), nb::none(), hidden());
}

std::string data_range(Index col, Index rows) { return a1::range(1, col, rows, col); }

std::string abs_cell(Index row, Index col) { return a1::cell(row, col, true, true); }

// Every formula goes with its result (see sheetcells.hpp): a reader that
// does not recalculate shows that result, not 0.
using formula::Formula;
using formula::Ref;
using sheetcells::write_formula;

// Root mean square difference of an estimate column from the measured range,
// divided by the row count written into the text (a later row added to the
// sheet does not change it).
Formula rmse_over_count(const Ref &estimates, const Ref &expected, Index count) {
    return SQRT(SUMXMY2(estimates, expected) / Formula::number(count));
}

// The same, divided by the number of filled estimate cells.
Formula rmse_over_filled(const Ref &estimates, const Ref &expected) {
    return SQRT(SUMXMY2(estimates, expected) / COUNTA(estimates));
}

// The score rows of one model with estimate column `col`: RMSE over the
// row count, Pearson correlation and its square.
void write_scores(handle sheet, sheetcells::Cells &cells, Index col, Index count,
                  const Ref &expected, Index rowRMSE, Index rowPearson, Index rowR2) {
    const Ref estimates = cells.ref(data_range(col, count));
    write_formula(sheet, abs_cell(rowRMSE, col), rmse_over_count(estimates, expected, count));
    const Formula r = write_formula(sheet, abs_cell(rowPearson, col), PEARSON(estimates, expected));
    write_formula(sheet, abs_cell(rowR2, col), r * r);
}

// RMSE, Pearson and R2 of one test model, under its estimate column.
void write_test_scores(handle sheet, sheetcells::Cells &cells, Index col, Index testcount,
                       const Ref &expected) {
    write_scores(sheet, cells, col, testcount, expected, testcount + 3, testcount + 4,
                 testcount + 5);
}

// Formats the data cells of a column whose value compares so with `value`.
void flag_column(handle sheet, Index col, Index rows, const char *criteria, handle value,
                 handle format) {
    nb::dict options;
    options["type"] = "cell";
    options["criteria"] = criteria;
    options["value"] = value;
    options["format"] = format;
    sheet.attr("conditional_format")(1, col, rows, col, options);
}

bool above(handle value, long long bound) { return (value > nb::int_(bound)); }

}  // namespace

TrainFigures write_train_sheet(const SheetWriting &w, handle resultcount, handle resultColumn,
                               handle paramcount) {
    handle Book = w.Book, Sheet = w.Sheet, Frame = w.Frame, infolen = w.infolen;
    sheetcells::Cells *shared = w.cells;
    check_measured(Book, Frame, resultColumn, 0, "training");
    checks::index(resultcount, "resultcount", "an integer (the count of trainings)");
    checks::index(infolen, "infolen");
    const MinMaxBlock mm = minmax_block(Book, Sheet, Frame, resultColumn, infolen);
    const Index datacount = mm.rows, trainsize = mm.columns;
    Index rc = pyutil::as_index(resultColumn);
    sheetcells::Cells own(Book, Sheet);
    sheetcells::Cells &cells = shared ? *shared : own;
    const Ref expected = cells.ref(mm.expectedrange);

    object resformat = getResFormat(Book);
    object levformat = getLevFormat(Book);
    object measuredformat = getMeasuredFormat(Book);

    Sheet.attr("set_zoom")(150);
    set_columns(Sheet, 1, trainsize, datacount, 12, levformat);
    set_columns(Sheet, 0, rc, datacount, 10, measuredformat);

    const Index rowSUM = datacount + 2, rowVLOO = datacount + 4, rowRMSE = datacount + 5,
                rowPearson = datacount + 6, rowR2 = datacount + 7;
    const Index shiftCompute = rc + 1, shiftResidual = rc + 2, shiftLeverage = rc + 3,
                shiftVLOO = rc + 4;

    object write_string = Sheet.attr("write_string");
    write_string(rowSUM, 0, "SUM");
    write_string(rowRMSE, 0, "RMSE");
    write_string(rowVLOO, 0, "VLOO score");
    write_string(rowPearson, 0, "Pearson");
    write_string(rowR2, 0, "R2");

    Index count = pyutil::as_index(resultcount);
    for (Index g = 0; g < count; ++g) {
        Index indx = 4 * g;
        Index C = shiftCompute + indx, Rs = shiftResidual + indx, L = shiftLeverage + indx,
              V = shiftVLOO + indx;
        // Past the last column (XFD) XlsxWriter drops every write, and an A1
        // text past ZZZ even reads as A1: a huge count ends here.
        if (C >= a1::kColumns) break;
        set_columns(Sheet, C, C, datacount, 10, resformat);
        set_columns(Sheet, V, V, datacount, 10, resformat);
        set_columns(Sheet, Rs, Rs, datacount, 10, resformat);

        std::string sumcell = abs_cell(rowSUM, L);
        write_formula(Sheet, sumcell, SUM(cells.ref(data_range(L, datacount))));
        object comment = pyutil::steal(PyNumber_Remainder(levsumcomment().ptr(), paramcount.ptr()));
        Sheet.attr("write_comment")(text(sumcell), comment);
        set_columns(Sheet, L, L, datacount, 10, nb::none());

        // The VLOO score over the row count, as the RMSE below it.
        write_formula(Sheet, abs_cell(rowVLOO, V),
                      rmse_over_count(cells.ref(data_range(V, datacount)), expected, datacount));
        write_scores(Sheet, cells, C, datacount, expected, rowRMSE, rowPearson, rowR2);
    }

    Sheet.attr("freeze_panes")(1, shiftCompute);
    return {mm.figures, resultColumn + nb::int_(1), resultColumn + nb::int_(4)};
}

// besttrain and pptyname: kept for the toolkit's calls; the sheet names neither.
TrainTuple enrichTrainSheet(Workbook Book, Worksheet Sheet, DataFrame Frame, Int resultcount,
                            handle /* besttrain */, Int resultColumn, handle /* pptyname */,
                            Int paramcount, Int infolen) {
    const TrainFigures f =
        write_train_sheet({Book, Sheet, Frame, infolen}, resultcount, resultColumn, paramcount);
    return nb::make_tuple(f.shiftCompute, f.shiftVLOO, f.datacount, f.minExpect, f.maxExpect,
                          f.nextrow, f.diagvalues);
}

ChartFigures write_test_sheet(const SheetWriting &w, handle resultColumn, handle maxreclist,
                              handle leveragethreshold, handle verbose) {
    handle Book = w.Book, Sheet = w.Sheet, Frame = w.Frame, infolen = w.infolen;
    sheetcells::Cells *shared = w.cells;
    check_measured(Book, Frame, resultColumn, 0, "test");
    check_counts(maxreclist);
    checks::real(leveragethreshold, "leveragethreshold");
    checks::real(verbose, "verbose", "a number (the verbosity level)");
    checks::index(infolen, "infolen");
    if (above(verbose, 1) && above(leveragethreshold, 0)) {
        if (nb::len(maxreclist) == 0)
            pyutil::raise(PyExc_IndexError,
                          "maxreclist is empty: its first entry is the count of leverage columns "
                          "flagged");
        checks::index(maxreclist[nb::int_(0)], "maxreclist[0]",
                      "an integer (the count of leverage columns flagged)");
    }
    const MinMaxBlock mm = minmax_block(Book, Sheet, Frame, resultColumn, infolen);
    const Index testcount = mm.rows, testsize = mm.columns;
    Index rc = pyutil::as_index(resultColumn);
    sheetcells::Cells own(Book, Sheet);
    sheetcells::Cells &cells = shared ? *shared : own;
    const Ref expected = cells.ref(mm.expectedrange);

    Sheet.attr("set_zoom")(150);
    Sheet.attr("freeze_panes")(1, rc);

    object thresholdformat = getThresholdFormat(Book);
    object resformat = getResFormat(Book);
    object levformat = getLevFormat(Book);
    object measuredformat = getMeasuredFormat(Book);
    object maxrecformat = getMaxrecFormat(Book);
    object integerformat = getIntegerformat(Book);

    const bool verbose_mode = above(verbose, 1);
    Index L = 0;
    if (verbose_mode) {
        // A count column is flagged when fewer models than selected made it.
        Index i = 0;
        for (handle maxrec : maxreclist) {
            flag_column(Sheet, rc + 3 + 3 * i++, testcount, "<", maxrec, maxrecformat);
        }
        L = (Index)nb::len(maxreclist);
        if (above(leveragethreshold, 0)) {
            // The leverages of the first further models, as many as the best
            // selection counts: each in the companion column of its model.
            Index flagged = pyutil::as_index(maxreclist[nb::int_(0)]);
            for (Index j = 0; j < flagged; ++j) {
                Index col = rc + 3 * L + 2 + 2 * j;
                // No sheet has a column past the last one (XFD): a format
                // there would be ignored, and a huge count would loop for ever.
                if (col >= a1::kColumns) break;
                flag_column(Sheet, col, testcount, ">", leveragethreshold, thresholdformat);
            }
        }
    }

    set_columns(Sheet, 0, rc + 3, testcount, 10, measuredformat);
    hide_inputs(Sheet, rc, true);
    set_columns(Sheet, 0, 0, testcount, 12, levformat);

    nb::dict centred;
    centred["align"] = "center";
    object intformat = Book.attr("add_format")(centred);
    intformat.attr("set_num_format")("0");

    object chosen;
    if (verbose_mode) {
        chosen = nb::borrow(maxreclist);
    } else {
        object first = pyutil::steal(PySlice_New(nullptr, nb::int_(1).ptr(), nullptr));
        chosen = maxreclist[first];
    }
    Index i = 0;
    for (handle maxrec : chosen) {
        Index C = rc + 1 + 3 * i++;
        set_columns(Sheet, C, C, testcount, 12, resformat);
        set_columns(Sheet, C + 2, C + 2, testcount, 12, integerformat);
        Sheet.attr("write_number")(testcount + 2, C, maxrec, intformat);
        write_test_scores(Sheet, cells, C, testcount, expected);
    }

    if (verbose_mode) {
        // Further models: estimate and companion column, two apart.
        for (Index icol = rc + 3 * L - 1; icol < testsize - 2;) {
            icol += 2;
            Index C = icol;
            set_columns(Sheet, C, C, testcount, 12, resformat);
            set_columns(Sheet, C + 1, C + 1, testcount, 12, resformat);
            Sheet.attr("write_number")(testcount + 2, C, 1, intformat);
            write_test_scores(Sheet, cells, C, testcount, expected);
        }
    }

    object write_string = Sheet.attr("write_string");
    write_string(testcount + 2, 0, "Selected models");
    write_string(testcount + 3, 0, "RMSE");
    write_string(testcount + 4, 0, "Pearson");
    write_string(testcount + 5, 0, "R2");
    return mm.figures;
}

namespace {

// The figures a test or LOO training sheet gives its callers.
TestTuple chart_figures(const ChartFigures &f) {
    return nb::make_tuple(f.minExpect, f.maxExpect, f.nextrow, f.diagvalues);
}

}  // namespace

TestTuple enrichTestSheet(Workbook Book, Worksheet Sheet, DataFrame Frame, Int resultColumn,
                          Ints maxreclist, Float leveragethreshold, Int verbose, Int infolen) {
    return chart_figures(write_test_sheet({Book, Sheet, Frame, infolen}, resultColumn, maxreclist,
                                          leveragethreshold, verbose));
}

ChartFigures write_loo_train_sheet(const SheetWriting &w, handle resultColumn, handle LOOlen,
                                   handle verbose, handle LOOmaxrec) {
    handle Book = w.Book, Sheet = w.Sheet, Frame = w.Frame, infolen = w.infolen;
    sheetcells::Cells *shared = w.cells;
    check_measured(Book, Frame, resultColumn, 1, "LOO training");
    checks::real(verbose, "verbose", "a number (the verbosity level)");
    checks::real(LOOmaxrec, "LOOmaxrec", "a number (the count of selected models)");
    if (above(verbose, 1)) checks::index(LOOlen, "LOOlen", "an integer (the LOO trainings shown)");
    checks::index(infolen, "infolen");
    Sheet.attr("set_zoom")(150);
    Sheet.attr("freeze_panes")(1, 1);
    // The measured values stand just left of the LOO estimates.
    const MinMaxBlock mm = minmax_block(Book, Sheet, Frame, (resultColumn - nb::int_(1)), infolen);
    const Index datacount = mm.rows, trainsize = mm.columns;
    Index rc = pyutil::as_index(resultColumn);
    sheetcells::Cells own(Book, Sheet);
    sheetcells::Cells &cells = shared ? *shared : own;
    const Ref expected = cells.ref(mm.expectedrange);

    const bool verbose_mode = above(verbose, 1);
    const Index loowidth = verbose_mode ? 4 : 2;
    const Index rowLOO = datacount + 2;

    object levformat = getLevFormat(Book);
    object measuredformat = getMeasuredFormat(Book);
    object integerformat = getIntegerformat(Book);
    object centredformat = getTextCenteredFormat(Book);

    set_columns(Sheet, 1, trainsize, datacount, 12, levformat);
    hide_inputs(Sheet, rc, true);

    const Index computedcol = rc < 1 ? 1 : rc;
    const Ref computed = cells.ref(data_range(computedcol, datacount));
    // The measured values, shown again after the hidden span of the inputs.
    set_columns(Sheet, rc - 1, rc - 1, datacount, 12, measuredformat);
    set_columns(Sheet, computedcol + 2, computedcol + 2, datacount, 12, integerformat);
    Sheet.attr("set_column")(0, 0, nb::none(), centredformat);
    Sheet.attr("set_row")(rowLOO, nb::none(), integerformat);

    Index rowcur = rowLOO;
    if (verbose_mode) {
        Sheet.attr("write_string")(rowLOO, 0, "COUNT");
        write_formula(Sheet, rowLOO, computedcol, COUNTA(computed));
        rowcur = rowLOO + 1;
        Sheet.attr("set_row")(rowcur, nb::none(), integerformat);
    }
    Sheet.attr("write_string")(rowcur, 0, "Selected models");
    Sheet.attr("write_number")(rowcur, computedcol, LOOmaxrec);
    rowcur += 1;
    Sheet.attr("write_string")(rowcur, 0, "LOO score");
    write_formula(Sheet, rowcur, computedcol, rmse_over_filled(computed, expected));

    if (verbose_mode) {
        const Index start = computedcol + 3;
        const Index fullLen = pyutil::as_index(LOOlen) * loowidth + start;
        for (Index index = start; index < fullLen; index += loowidth) {
            if (index >= a1::kColumns) break;  // past XFD, as in the training sheet
            const Ref estimates = cells.ref(data_range(index, datacount));
            write_formula(Sheet, rowLOO, index, COUNTA(estimates));
            Sheet.attr("write_number")(rowLOO + 1, index, LOOmaxrec);
            write_formula(Sheet, rowcur, index, rmse_over_filled(estimates, expected));
        }
    }
    return mm.figures;
}

// resultCount: kept for the toolkit's calls; the sheet does not use it.
TestTuple enrichLOOTrainSheet(Workbook Book, Worksheet Sheet, DataFrame Frame, Int resultColumn,
                              Int LOOlen, handle /* resultCount */, Int verbose, Int LOOmaxrec,
                              Int infolen) {
    return chart_figures(write_loo_train_sheet({Book, Sheet, Frame, infolen}, resultColumn, LOOlen,
                                               verbose, LOOmaxrec));
}

NoneType enrichLOOTestSheet(handle /* Book */, Worksheet Sheet, handle /* Frame */,
                            Int resultColumn) {
    const Index rc = checks::index(resultColumn, "resultColumn");
    Sheet.attr("set_zoom")(150);
    Sheet.attr("freeze_panes")(1, 1);
    hide_inputs(Sheet, rc, false);
    return nb::none();
}

// resultColumn and infolen: kept for the toolkit's calls; the layout is fixed.
NoneType enrichBSTrainSheet(Workbook Book, Worksheet Sheet, DataFrame Frame,
                            handle /* resultColumn */, handle /* infolen */) {
    Sheet.attr("set_zoom")(150);
    Sheet.attr("freeze_panes")(1, 1);
    std::vector<object> shape = pyutil::unpack(nb::getattr(Frame, "shape"), 2);
    Index datacount = pyutil::as_index(shape[0]);
    Index width = pyutil::as_index(shape[1]);
    Index rowBS = datacount + 2;
    Sheet.attr("write_string")(rowBS, 0, "RMSE");

    // Measured values in B, the model's estimates in C, the bootstrap
    // estimates in F and one column per bootstrap from I on.
    sheetcells::Cells cells(Book, Sheet);
    const Ref expected = cells.ref(a1::range_abs(1, 1, datacount, 1));
    auto write_rmse = [&](Index col) {
        write_formula(Sheet, abs_cell(rowBS, col),
                      rmse_over_filled(cells.ref(data_range(col, datacount)), expected));
    };
    write_rmse(2);
    write_rmse(5);
    for (Index index = 8; index <= width; ++index) write_rmse(index);
    return nb::none();
}

NoneType enrichBSTestSheet(handle /* Book */, Worksheet Sheet, handle /* Frame */) {
    Sheet.attr("set_zoom")(150);
    Sheet.attr("freeze_panes")(1, 1);
    Sheet.attr("set_column")("B:B", nb::none(), nb::none(), hidden());
    return nb::none();
}

void bind_evaluation_sheets(nb::module_ &m) {
    m.def("enrichTrainSheet", &enrichTrainSheet, pyutil::arg("Book"), pyutil::arg("Sheet"),
          pyutil::arg("Frame"), pyutil::arg("resultcount"), pyutil::arg("besttrain"),
          pyutil::arg("resultColumn"), pyutil::arg("pptyname"), pyutil::arg("paramcount"),
          pyutil::arg("infolen"));
    m.def("enrichTestSheet", &enrichTestSheet, pyutil::arg("Book"), pyutil::arg("Sheet"),
          pyutil::arg("Frame"), pyutil::arg("resultColumn"), pyutil::arg("maxreclist"),
          pyutil::arg("leveragethreshold"), pyutil::arg("verbose"), pyutil::arg("infolen") = -1);
    m.def("enrichLOOTrainSheet", &enrichLOOTrainSheet, pyutil::arg("Book"), pyutil::arg("Sheet"),
          pyutil::arg("Frame"), pyutil::arg("resultColumn"), pyutil::arg("LOOlen"),
          pyutil::arg("resultCount"), pyutil::arg("verbose"), pyutil::arg("LOOmaxrec"),
          pyutil::arg("infolen"));
    m.def("enrichLOOTestSheet", &enrichLOOTestSheet, pyutil::arg("Book"), pyutil::arg("Sheet"),
          pyutil::arg("Frame"), pyutil::arg("resultColumn"));
    m.def("enrichBSTrainSheet", &enrichBSTrainSheet, pyutil::arg("Book"), pyutil::arg("Sheet"),
          pyutil::arg("Frame"), pyutil::arg("resultColumn") = 2, pyutil::arg("infolen") = -1);
    m.def("enrichBSTestSheet", &enrichBSTestSheet, pyutil::arg("Book"), pyutil::arg("Sheet"),
          pyutil::arg("Frame"));
}

}  // namespace rb
