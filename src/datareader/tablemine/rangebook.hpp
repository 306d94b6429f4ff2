// The ranges of a workbook as the toolkit's Excel reader gives them (every
// sheet loaded by openpyxl in full, data only), read natively instead: one
// sheet, streamed, its rows kept only within the range.
//
// Each read returns nothing where the native reader is unsure of the file;
// the caller then constructs the reader class as before.  With
// TRELLIS_NATIVE_ONLY set that is a RuntimeError instead.  The reader's own
// errors (no such sheet, range or column title) are raised as it raises them.
#pragma once

#include "datareader/tablemine/tablemine.hpp"

#include <optional>

namespace mine::ranged {

// Whether the reader class `reader_class` given the file is read here: the
// Excel class the module bound at load, and a file name the native reader
// opens.
bool reads(handle reader_class, const File &file);

// Called before `reader_class` reads a workbook the native reader did not:
// with TRELLIS_NATIVE_ONLY set and `filetype` a workbook type, the
// RuntimeError of every fallback instead, saying why.
void before_reader_class(handle reader_class, const File &file, handle filetype);

// Excel(filename, arange=datarange, datafmt=datafmt, headerOnly=True,
// load=True).titles
std::optional<object> titles(File &file, handle datarange, handle datafmt);

// range_names() of Excel(filename, load=True), or the first sheet's used
// range as "sheet!A1:D20" when the workbook has no defined name.
std::optional<object> range_names(File &file);

// The rows iterData(datarange=where, datafmt=fmt, skipline=skipline) yields
// on Excel(filename, arange=arange, datafmt=load_fmt, load=True,
// headerOnly=header_only), and the error it raises after them (a data row
// holding an error value), invalid when it raises none.
struct RangeRows {
    nb::list rows;
    object error;
};
std::optional<RangeRows> iter_data(File &file, handle arange, handle load_fmt, handle header_only,
                                   handle where, handle fmt, handle skipline);

}  // namespace mine::ranged
