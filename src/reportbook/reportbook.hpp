// The writer module's operations, shared between its units.
//
// Every parameter is a Python object as the caller gave it; each operation
// does what the equivalent Python code would do with it, and every error of
// pandas, XlsxWriter or the toolkit travels to the caller unchanged.
#pragma once

#include "common/pytypes.hpp"
#include "common/pyutil.hpp"

namespace sheetcells {
class Cells;
}

namespace rb {

using pyutil::handle;
using pyutil::object;

// The types the bound functions name (see common/pytypes.hpp).
using pytypes::Any;
using pytypes::Bool;
using pytypes::Chart;
using pytypes::Chartsheet;
using pytypes::ConstCustomProperties;
using pytypes::CustomProperties;
using pytypes::DataFrame;
using pytypes::ExcelWriter;
using pytypes::Float;
using pytypes::Format;
using pytypes::Int;
using pytypes::Ints;
using pytypes::NoneType;
using pytypes::Optional;
using pytypes::Properties;
using pytypes::Sequence;
using pytypes::Str;
using pytypes::StrOrStrs;
using pytypes::Strs;
using pytypes::Tuple;
using pytypes::Union;
using pytypes::Workbook;
using pytypes::Worksheet;
// What the sheet writers give their callers.
using MinMaxTuple = nb::typed<Tuple, int, int, float, float, nb::str, int, nb::str>;
using TrainTuple = nb::typed<Tuple, int, int, int, float, float, int, nb::str>;
using TestTuple = nb::typed<Tuple, float, float, int, nb::str>;
using WriterTuple = nb::typed<Tuple, ExcelWriter, int>;
// Chart columns: one, or one a series.
using Columns = Union<Int, nb::typed<nb::list, int>, nb::typed<nb::tuple, int, nb::ellipsis>>;
using Rows = Union<Int, nb::typed<nb::list, int>>;
using Deviations =
    Union<nb::typed<Sequence, float>, nb::typed<Sequence, nb::typed<Sequence, float>>>;
using DiagValues = Union<Str, nb::typed<nb::list, Any>>;
using Frames = nb::typed<Sequence, Optional<DataFrame>>;
using SummaryFrames = nb::typed<Sequence, nb::typed<nb::tuple, Any, DataFrame, Any>>;
using ModelDict = nb::typed<pytypes::MutableMapping, nb::str, Any>;
using MaxRecords = nb::typed<Sequence, Union<Int, Str>>;

// Module constants, looked up in the module namespace on every use.
inline object NUM_FORMAT() { return pyutil::module_attr("NUM_FORMAT"); }
inline object VBA_USE() { return pyutil::module_attr("VBA_USE"); }
inline object levsumcomment() { return pyutil::module_attr("levsumcomment"); }
inline object gmProperties() { return pyutil::module_attr("gmProperties"); }

// Each unit binds the operations it implements.
void bind_resources(nb::module_ &m);          // file naming, VBA project, custom properties
void bind_formats(nb::module_ &m);            // cell format factories
void bind_scatter_charts(nb::module_ &m);     // scatter builder, best-training and test charts
void bind_simple_sheets(nb::module_ &m);     // sheet lookup, simple and recap sheets
void bind_minmax_block(nb::module_ &m);       // min/max block of the "Utilities" sheet
void bind_result_sheet(nb::module_ &m);       // result sheet
void bind_evaluation_sheets(nb::module_ &m);  // training, test, LOO, bootstrap sheets
void bind_line_charts(nb::module_ &m);        // line charts
void bind_recap(nb::module_ &m);              // recap workbook
void bind_workbook_open(nb::module_ &m);      // outputmarker, initiateExcelWriter, finishExcel
void bind_sheetset(nb::module_ &m);           // enrichExcelFile, enrichExcelPreproc

// --- resources (resources.cpp) ------------------------------------------------
Str getExcelFileName(Any options, Str forcename, Str ext);
Str getVbaProjectBin(Str targetfolder);
CustomProperties getCustomDict(Any options, CustomProperties versionDict);
Str createFileInfo(Str filename, Properties gmProperties, ConstCustomProperties gmCustomProperties);

// Attaches the VBA project getVbaProjectBin finds to the workbook, under the
// name its code expects; false when there is none.
bool attach_vba_project(handle workbook);

// One entry of a custom property mapping: mapping[name] = (value, tag).
void store(handle mapping, const char *name, handle value, const char *tag);

// --- cell formats (formats.cpp); each call registers a new format -----------
Format getLevFormat(Workbook Book);
Format getResFormat(Workbook Book);
Format getRoundoffFormat(Workbook Book);
Format getMeasuredFormat(Workbook Book);
Format getTextCenteredFormat(Workbook Book);
Format getIDformat(Workbook Book);
Format getIntegerformat(Workbook Book);
Format getMaxrecFormat(Workbook Book);
Format getThresholdFormat(Workbook Book);

// --- what every chart shares (charts/titles.cpp) ------------------------------
// A real number a chart axis can hold: bools and ints, and floats and other
// numbers.Real that are finite.  Texts, None and pandas' NA are none; NaN and
// infinities neither.
bool is_finite_real(handle v);
// The title of a chart, in the bold Arial every chart of the workbook uses.
nb::dict chart_title(handle title);

// --- sheet lookup and simple sheets (sheets/simple.cpp) ------------------------
Optional<Worksheet> getSheet(ExcelWriter writer, Str sheetname);
NoneType enrichSimpleSheet(handle Book, Union<Worksheet, Str> Sheet, handle Frame,
                           ExcelWriter writer);
NoneType enrichRecapSheet(handle Book, Worksheet Sheet, handle Frame);

// --- min/max block (sheets/minmax.cpp) ---------------------------------------
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
MinMaxFigures write_minmax_block(handle UtilSheet, handle Sheet, handle Frame, handle expectedCol,
                                 handle infolen);
MinMaxTuple setMinMaxOnSheet(Worksheet UtilSheet, Worksheet Sheet, DataFrame Frame, Int expectedCol,
                             handle deltaRow, Int infolen);

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
// What every evaluation sheet's writer takes: the workbook, the sheet and
// the Frame written on it, the first free row of "Utilities" (infolen) and
// the shared cells, when given.
struct SheetWriting {
    handle Book, Sheet, Frame, infolen;
    sheetcells::Cells *cells = nullptr;
};
TrainFigures write_train_sheet(const SheetWriting &w, handle resultcount, handle resultColumn,
                               handle paramcount);
ChartFigures write_test_sheet(const SheetWriting &w, handle resultColumn, handle maxreclist,
                              handle leveragethreshold, handle verbose);
ChartFigures write_loo_train_sheet(const SheetWriting &w, handle resultColumn, handle LOOlen,
                                   handle verbose, handle LOOmaxrec);
Int enrichResultSheet(Workbook Book, Worksheet Sheet, DataFrame Frame);
NoneType enrichLOOTestSheet(handle Book, Worksheet Sheet, handle Frame, Int resultColumn);
NoneType enrichBSTrainSheet(Workbook Book, Worksheet Sheet, DataFrame Frame, handle resultColumn,
                            handle infolen);
NoneType enrichBSTestSheet(handle Book, Worksheet Sheet, handle Frame);

// --- charts (charts/scatter.cpp, charts/line.cpp) ------------------------------
Chart new_scatter_chart(Workbook Book, StrOrStrs names, Str sheetname, Int datacount, Float minVal,
                        Float maxVal, Int expectedcol, Columns computedcol, handle labelcol,
                        Str title, Str x_axis, Str y_axis, StrOrStrs colors, StrOrStrs shapes,
                        Str bisectorcolor, DiagValues diagValues, Float padding);
Chartsheet getBestTrainChart(Workbook Book, Int expectedcol, Int computedcol, Int datacount,
                             Float minExpect, Float maxExpect, Str pptyname,
                             Optional<Int> besttrain, Str pptyunit, Str mastersheetname,
                             Str decorator, Str titleprefix, Str chartname, DiagValues diagvalues);
Chartsheet getTestChart(Workbook Book, Int expectedcols, Columns computedcol, StrOrStrs names,
                        StrOrStrs colors, StrOrStrs shapes, Str pptyname, Str pptyunit,
                        Str testsheetname, Int datacount, Float minExpect, Float maxExpect,
                        Str decorator, DiagValues diagvalues);
Chart new_rows_line_chart(Workbook Book, Str sheetname, Rows datarow, Int datacol, Int width,
                          Deviations stddevvalues, StrOrStrs serienames, Str title, Str x_axis,
                          Str y_axis);
Chart new_line_chart(Workbook Book, Str sheetname, Int datacount, Int IDcol, Int RMSEcol,
                     Int VLOOcol, Str title, Str x_axis, Str y_axis, Str x_format, Str y_format);
// What a scatter chart plots of its sheet: the measured values of one column
// against the estimates of another (or of a list of them, one series each),
// over `datacount` data rows, the axes bounded by the measured values' least
// and greatest, and the bisector drawn over `diagvalues`.  The objects are
// the caller's, alive for the call.
struct ScatterData {
    handle sheetname, datacount, minExpect, maxExpect, expectedcol, computedcol, diagvalues;
};
// A sheet's scatter data from the figures its writer gave.
ScatterData scatter_data(const ChartFigures &f, handle sheetname, handle expectedcol,
                         handle computedcol);
// The chartsheet of the best training (or of its VLOO or LOO variant).
struct BestTrainChart {
    ScatterData data;
    handle pptyname, besttrain, pptyunit, decorator, titleprefix, chartname;
};
// The chartsheet of the test results: one series per estimate column.
struct TestChart {
    ScatterData data;
    handle names, colors, shapes, pptyname, pptyunit, decorator;
};
// The line chart of the result sheet's two score columns.
struct LineChart {
    handle sheetname, datacount, IDcol, RMSEcol, VLOOcol, title, x_axis, y_axis, x_format, y_format;
};
// The same charts for the sheet set, whose columns it checked before it
// began (a campaign without trainings charts empty columns): best_train_chart
// and test_chart check them only when asked; line_chart never.
object best_train_chart(handle Book, const BestTrainChart &plan, bool check_columns,
                        sheetcells::Cells *cells = nullptr);
object test_chart(handle Book, const TestChart &plan, bool check_columns,
                  sheetcells::Cells *cells = nullptr);
object line_chart(handle Book, const LineChart &plan);
// --- driver (driver/finish.cpp, driver/properties.cpp, driver/sheetset.cpp,
// driver/recap.cpp) ----------------------------------------------------------
NoneType enrichRecapExcelFile(ExcelWriter excelwriter, Any options, Str recapname,
                              DataFrame recapframe, Str nametemplate,
                              SummaryFrames sumaryframelist);
Str outputmarker(Str filename, Bool indirect);
WriterTuple initiateExcelWriter(ExcelWriter excelwriter, Optional<Properties> modeldic,
                                CustomProperties gmCustomProperties, Str origin, Bool recap);
Str finishExcel(ExcelWriter excelwriter, Any options, CustomProperties gmCustomProperties,
                Strs sheetList, Frames frameList, ModelDict modeldic, handle libfilename,
                Ints IDlist, Int trainresultColumn, Int testresultColumn, Int LOOResultTrainColumn,
                handle loowidth, handle traintype, Str tempres);
NoneType enrichExcelPreproc(ExcelWriter excelwriter, Str sheetName, handle filename, Bool do_vba);

// The sheets of a result workbook, in the order of enrichExcelFile's lists.
enum class SheetKind {
    Result,
    Training,
    Test,
    LooTraining,
    LooTest,
    BootstrapTraining,
    BootstrapTest
};
constexpr size_t kSheetKinds = 7;

// One sheet of the set: its name and Frame as the lists give them, and the
// writer's worksheet of that name (None when the writer has none).
struct SetSheet {
    SheetKind kind;
    object name, frame, sheet;
    bool present() const { return !sheet.is_none(); }
};

// A value of the sheet set and the name a refusal gives it: enrichExcelFile's
// parameter, or the option attribute finishExcel takes it from.
struct Named {
    object value;
    const char *name = "";
};

// The sheet set of enrichExcelFile, its two lists unpacked.
struct SheetSet {
    object excelwriter, pptyname, besttrainindex, paramcount, resultcount, infolen,
        trainresultColumn, testresultColumn, LOOResultTrainColumn, pptyunit;
    Named leveragethreshold, maxreclist, LOOlen, LOOmaxrec, decorindex, decorindexLOO, verbosexls;
    std::vector<SetSheet> sheets;  // one of each kind, in their order
    const SetSheet &operator[](SheetKind kind) const { return sheets[static_cast<size_t>(kind)]; }
};

// The layout's rules, which the checks and the finish share.
// The column of the measured values of the training (or test) sheet: the
// caller's, or the default for -1.
object train_measured_column(handle given);
object test_measured_column(handle given);
// The estimate column the test chart plots: right of the measured values;
// on a verbose sheet whose first count is one, the first further model,
// right of the three columns of every selected model.
long long plotted_test_column(long long measured, handle maxreclist, handle verbosexls);
// The names of the chartsheets the charts add (the caller's chartname aside).
object best_train_chart_name(handle titleprefix, handle pptyname, handle besttrain,
                             handle decorator);
object test_chart_name(handle decorator);
// "(3)" for a positive index, nothing otherwise: a chartsheet name's suffix.
object decoration(handle index);

// Unpacks both lists (frameList first) and looks the sheets up.
void open_sheet_set(SheetSet &s, handle sheetList, handle frameList);
// Every check of the sheet set, before anything is written; warns of a
// Frame whose sheet the writer does not have.  `no_utilities`: why the
// workbook will have no "Utilities" sheet, or nullptr when it will.
void check_sheet_set(const SheetSet &s, const char *no_utilities);
// The sheet set finished, once checked.
void finish_sheet_set(const SheetSet &s);

}  // namespace rb
