// The writer module's operations, shared between its units.
//
// Every parameter is a Python object as the caller gave it; each operation
// does what the equivalent Python code would do with it.
#pragma once

#include "common/pyutil.hpp"

namespace rb {

using py::handle;
using py::object;

// Module constants, looked up in the module namespace on every use.
inline object NUM_FORMAT() { return py::module_attr("NUM_FORMAT"); }
inline object VBA_USE() { return py::module_attr("VBA_USE"); }
inline object levsumcomment() { return py::module_attr("levsumcomment"); }
inline object gmProperties() { return py::module_attr("gmProperties"); }

// Each unit binds the operations it implements.
void bind_resources(nb::module_ &m);    // file naming, VBA project, custom properties
void bind_formats(nb::module_ &m);      // cell format factories
void bind_sheetutils(nb::module_ &m);   // sheet lookup, simple and recap sheets
void bind_minmax_block(nb::module_ &m); // min/max block of the "Utilities" sheet
void bind_result_sheet(nb::module_ &m);
void bind_evaluation_sheets(nb::module_ &m);  // training, test, LOO, bootstrap
void bind_scatter_charts(nb::module_ &m);     // scatter builder, best-training and test charts
void bind_line_charts(nb::module_ &m);        // line charts
void bind_recap(nb::module_ &m);              // recap workbook
void bind_workbook_open(nb::module_ &m);      // outputmarker, initiateExcelWriter, finishExcel
void bind_sheetset(nb::module_ &m);           // enrichExcelFile, enrichExcelPreproc

// --- cell formats (each call registers a new format) -------------------------
object getLevFormat(handle Book);
object getResFormat(handle Book);
object getRoundoffFormat(handle Book);
object getMeasuredFormat(handle Book);
object getTextCenteredFormat(handle Book);
object getIDformat(handle Book);
object getIntegerformat(handle Book);
object getMaxrecFormat(handle Book);
object getThresholdFormat(handle Book);

// --- resources ---------------------------------------------------------------
object getExcelFileName(handle options, handle forcename, handle ext);
object getVbaProjectBin(handle targetfolder);
object getCustomDict(handle options, handle versionDict);
object createFileInfo(handle filename, handle gmProperties, handle gmCustomProperties);

// --- workbook opening and finishing -----------------------------------------
object outputmarker(handle filename, handle indirect);
object initiateExcelWriter(handle excelwriter, handle modeldic, handle gmCustomProperties,
                           handle origin, handle recap);

}  // namespace rb
