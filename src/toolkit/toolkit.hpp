// The one way in to the toolkit's sibling modules.
//
// At load, each extension module imports its siblings relative to its own
// package and binds the names it takes from them as module attributes.  The
// calls below look those attributes up on every use, so a caller may rebind
// them (the toolkit's own implementations, or a test's stand-ins).
#pragma once

#include "common/pyutil.hpp"

namespace toolkit {

using pyutil::handle;
using pyutil::object;

// --- writer side (vireo.trellis.reportbook) -------------------------------
// Imports .filetoolbox, .utils and ..corvid.corvidconst (as C) and binds
// decorfile, IndexFilename, home, callerstr, hasOneOf, make_extern, quote,
// axisMinMax and C on `m`.  A failed import fails the load.
void bind_writer_siblings(nb::module_ &m);

object decorfile(handle fname, handle options, handle ext, handle indextemplate);
object decorfile(handle fname, handle options, handle ext, handle decor, handle indextemplate);
object IndexFilename(handle path);
object make_extern(handle path, handle options);
object callerstr(handle caller);
bool hasOneOf(handle actions, handle names);
object home();
object quote(handle sheetname);
object axisMinMax(handle minVal, handle maxVal, handle padding);
// C.SUBSTITUTE_FIELD.get(field, field)
object substitute_field(handle field);

// --- reader side (vireo.trellis.datareader.tablemine) ----------------------
// Imports .excel and .datasource and binds Excel, ExcelCsv, ExcelXP and
// getExcelType on `m`.
void bind_reader_siblings(nb::module_ &m);

object getExcelType(handle filetype);
// Whether `cls` is the Excel class the module bound at load: the one whose
// reading the module may do natively.  A class rebound in its place (the
// toolkit's own, a test's stand-in) is always called.
bool is_bound_excel(handle cls);
// The error class `name` of the module the bound Excel comes from; invalid
// when that module has none (the toolkit's own reader, which raises its own).
object excel_error(const char *name);
object Excel();
object ExcelXP();
object ExcelCsv();

}  // namespace toolkit
