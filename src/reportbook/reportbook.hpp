// The writer module's operations, shared between its units.
//
// Every parameter is a Python object as the caller gave it; each operation
// does what the equivalent Python code would do with it, and every error of
// pandas, XlsxWriter or the toolkit travels to the caller unchanged.
#pragma once

#include "common/pyutil.hpp"

namespace sheetcells {
class Cells;
}

namespace rb {

using pyutil::handle;
using pyutil::object;

// Module constants, looked up in the module namespace on every use.
inline object NUM_FORMAT() { return pyutil::module_attr("NUM_FORMAT"); }
inline object VBA_USE() { return pyutil::module_attr("VBA_USE"); }
inline object levsumcomment() { return pyutil::module_attr("levsumcomment"); }
inline object gmProperties() { return pyutil::module_attr("gmProperties"); }

// Each unit binds the operations it implements.
void bind_resources(nb::module_ &m);          // file naming, VBA project, custom properties
void bind_formats(nb::module_ &m);            // cell format factories
void bind_scatter_charts(nb::module_ &m);     // scatter builder, best-training and test charts
void bind_sheetutils(nb::module_ &m);         // sheet lookup, simple and recap sheets
void bind_minmax_block(nb::module_ &m);       // min/max block of the "Utilities" sheet
void bind_result_sheet(nb::module_ &m);       // result sheet
void bind_evaluation_sheets(nb::module_ &m);  // training, test, LOO, bootstrap sheets
void bind_line_charts(nb::module_ &m);        // line charts
void bind_recap(nb::module_ &m);              // recap workbook
void bind_workbook_open(nb::module_ &m);      // outputmarker, initiateExcelWriter, finishExcel
void bind_sheetset(nb::module_ &m);           // enrichExcelFile, enrichExcelPreproc

// --- resources (resources.cpp) ------------------------------------------------
object getExcelFileName(handle options, handle forcename, handle ext);
object getVbaProjectBin(handle targetfolder);
object getCustomDict(handle options, handle versionDict);
object createFileInfo(handle filename, handle gmProperties, handle gmCustomProperties);

// Attaches the VBA project getVbaProjectBin finds to the workbook, under the
// name its code expects; false when there is none.
bool attach_vba_project(handle workbook);

// One entry of a custom property mapping: mapping[name] = (value, tag).
void store(handle mapping, const char *name, handle value, const char *tag);

// --- cell formats (formats.cpp); each call registers a new format -----------
object getLevFormat(handle Book);
object getResFormat(handle Book);
object getRoundoffFormat(handle Book);
object getMeasuredFormat(handle Book);
object getTextCenteredFormat(handle Book);
object getIDformat(handle Book);
object getIntegerformat(handle Book);
object getMaxrecFormat(handle Book);
object getThresholdFormat(handle Book);

// --- values and chart pieces shared by the sheets and charts (sheetutils.cpp) --
// A real number a chart axis can hold: bools and ints, and floats and other
// numbers.Real that are finite.  Texts, None and pandas' NA are none; NaN and
// infinities neither.
bool is_finite_real(handle v);
// The title of a chart, in the bold Arial every chart of the workbook uses.
nb::dict chart_title(handle title);

// --- sheet lookup and simple sheets (sheetutils.cpp) ---------------------------
object getSheet(handle writer, handle sheetname);
object enrichSimpleSheet(handle Book, handle Sheet, handle Frame, handle writer);
object enrichRecapSheet(handle Book, handle Sheet, handle Frame);

// --- min/max block (utilblock.cpp) -------------------------------------------
// What an evaluation sheet's writer hands to the chart drawn from it.
struct ChartFigures {
    object datacount;             // rows of data under the header
    object minExpect, maxExpect;  // the measured values' least and greatest
    object nextrow;               // the first free row of "Utilities" below the block
    object diagvalues;            // the chart bounds on "Utilities": the bisector's range
};
// The min/max block of one evaluation sheet on the "Utilities" sheet, at row
// infolen; setMinMaxOnSheet gives the same figures as its tuple.
struct MinMaxFigures : ChartFigures {
    object trainsize;      // the Frame's columns
    object expectedrange;  // the measured cells, as the formulas name them
};
MinMaxFigures write_minmax_block(handle UtilSheet, handle Sheet, handle Frame,
                                 handle expectedCol, handle infolen);
object setMinMaxOnSheet(handle UtilSheet, handle Sheet, handle Frame, handle expectedCol,
                        handle deltaRow, handle infolen);

// --- result sheets (sheets/result.cpp, sheets/evaluation.cpp) -----------------
// The training sheet's figures add the columns of the best training's
// estimates and of its VLOO estimates.
struct TrainFigures : ChartFigures {
    object shiftCompute, shiftVLOO;
};
// The writers; the enrich* functions bound to Python give their figures as
// the tuples their callers unpack.  `cells`, when given, holds the cells of
// the sheet (its home sheet) for the chart drawn from it afterwards, which
// then reads the columns the writer has already read and rounded.
TrainFigures write_train_sheet(handle Book, handle Sheet, handle Frame, handle resultcount,
                               handle besttrain, handle resultColumn, handle pptyname,
                               handle paramcount, handle infolen,
                               sheetcells::Cells *cells = nullptr);
ChartFigures write_test_sheet(handle Book, handle Sheet, handle Frame, handle resultColumn,
                              handle maxreclist, handle leveragethreshold, handle verbose,
                              handle infolen, sheetcells::Cells *cells = nullptr);
ChartFigures write_loo_train_sheet(handle Book, handle Sheet, handle Frame,
                                   handle resultColumn, handle LOOlen, handle resultCount,
                                   handle verbose, handle LOOmaxrec, handle infolen,
                                   sheetcells::Cells *cells = nullptr);
object enrichResultSheet(handle Book, handle Sheet, handle Frame);
object enrichLOOTestSheet(handle Book, handle Sheet, handle Frame, handle resultColumn);
object enrichBSTrainSheet(handle Book, handle Sheet, handle Frame, handle resultColumn,
                          handle infolen);
object enrichBSTestSheet(handle Book, handle Sheet, handle Frame);

// --- charts (charts/scatter.cpp, charts/line.cpp, charts/recap.cpp) ----------
object new_scatter_chart(handle Book, handle names, handle sheetname, handle datacount,
                         handle minVal, handle maxVal, handle expectedcol, handle computedcol,
                         handle labelcol, handle title, handle x_axis, handle y_axis,
                         handle colors, handle shapes, handle bisectorcolor, handle diagValues,
                         handle padding);
object getBestTrainChart(handle Book, handle expectedcol, handle computedcol, handle datacount,
                         handle minExpect, handle maxExpect, handle pptyname, handle besttrain,
                         handle pptyunit, handle mastersheetname, handle decorator,
                         handle titleprefix, handle chartname, handle diagvalues);
object getTestChart(handle Book, handle expectedcols, handle computedcol, handle names,
                    handle colors, handle shapes, handle pptyname, handle pptyunit,
                    handle testsheetname, handle datacount, handle minExpect, handle maxExpect,
                    handle decorator, handle diagvalues);
object new_rows_line_chart(handle Book, handle sheetname, handle datarow, handle datacol,
                           handle width, handle stddevvalues, handle serienames, handle title,
                           handle x_axis, handle y_axis);
object new_line_chart(handle Book, handle sheetname, handle datacount, handle IDcol,
                      handle RMSEcol, handle VLOOcol, handle title, handle x_axis, handle y_axis,
                      handle x_format, handle y_format);
// The same charts for the sheet set, whose columns it checked before it
// began (a campaign without trainings charts empty columns): best_train_chart
// and test_chart check them only when asked; line_chart never.
object best_train_chart(handle Book, handle expectedcol, handle computedcol, handle datacount,
                        handle minExpect, handle maxExpect, handle pptyname, handle besttrain,
                        handle pptyunit, handle mastersheetname, handle decorator,
                        handle titleprefix, handle chartname, handle diagvalues,
                        bool check_columns, sheetcells::Cells *cells = nullptr);
object test_chart(handle Book, handle expectedcols, handle computedcol, handle names,
                  handle colors, handle shapes, handle pptyname, handle pptyunit,
                  handle testsheetname, handle datacount, handle minExpect, handle maxExpect,
                  handle decorator, handle diagvalues, bool check_columns,
                  sheetcells::Cells *cells = nullptr);
object line_chart(handle Book, handle sheetname, handle datacount, handle IDcol, handle RMSEcol,
                  handle VLOOcol, handle title, handle x_axis, handle y_axis, handle x_format,
                  handle y_format);
object enrichRecapExcelFile(handle excelwriter, handle options, handle recapname,
                            handle recapframe, handle nametemplate, handle sumaryframelist);

// --- driver (driver/finish.cpp, driver/sheetset.cpp) --------------------------
object outputmarker(handle filename, handle indirect);
object initiateExcelWriter(handle excelwriter, handle modeldic, handle gmCustomProperties,
                           handle origin, handle recap);
object finishExcel(handle excelwriter, handle options, handle gmCustomProperties,
                   handle sheetList, handle frameList, handle modeldic, handle libfilename,
                   handle IDlist, handle trainresultColumn, handle testresultColumn,
                   handle LOOResultTrainColumn, handle loowidth, handle traintype,
                   handle tempres);
object enrichExcelPreproc(handle excelwriter, handle sheetName, handle filename, handle do_vba);

// The sheet set of enrichExcelFile, its two lists unpacked, and the names a
// refusal gives the values: enrichExcelFile's parameters, or the option
// attributes finishExcel takes them from.
struct SheetSet {
    object excelwriter, pptyname, besttrainindex, paramcount, resultcount, leveragethreshold,
        maxreclist, infolen, trainresultColumn, testresultColumn, LOOResultTrainColumn, LOOlen,
        LOOmaxrec, pptyunit, decorindex, decorindexLOO, verbosexls;
    std::vector<object> names, frames;  // seven each
    std::vector<object> sheets;         // the writer's worksheet of each name, or None
    struct Names {
        const char *leveragethreshold, *maxreclist, *LOOlen, *LOOmaxrec, *decorindex,
            *decorindexLOO, *verbosexls;
    } as;
};
// Unpacks both lists (frameList first) and looks the sheets up.
void open_sheet_set(SheetSet &s, handle sheetList, handle frameList);
// Every check of the sheet set, before anything is written; warns of a
// Frame whose sheet the writer does not have.  `no_utilities`: why the
// workbook will have no "Utilities" sheet, or nullptr when it will.
void check_sheet_set(const SheetSet &s, const char *no_utilities);
// The sheet set finished, once checked.
void finish_sheet_set(const SheetSet &s);

}  // namespace rb
