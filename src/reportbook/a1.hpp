// A1 references for formulas, chart series and column settings, written and
// read back.
//
// The texts written are those of xlsxwriter.utility (xl_rowcol_to_cell, xl_range,
// xl_range_abs, xl_col_to_name).  Non-negative positions are built here;
// negative ones are handed to the module's own xlsxwriter.utility names so
// that the installed XlsxWriter decides (it warns and gives "").
#pragma once

#include "common/pyutil.hpp"

#include <string>

namespace a1 {

using Index = long long;

// "A", "$AB"
std::string col_name(Index col, bool col_abs = false);
// "B2", "$B$2"
std::string cell(Index row, Index col, bool row_abs = false, bool col_abs = false);
// "B2:C11"; a single cell when both corners are the same cell ("B2").
std::string range(Index r1, Index c1, Index r2, Index c2);
// "$B$2:$C$11"; a single cell when both corners are the same cell.
std::string range_abs(Index r1, Index c1, Index r2, Index c2);
// Range text for Worksheet.set_column: always "first:last", since
// set_column refuses a single cell ("B2" becomes "B2:B2").
std::string columns(Index r1, Index c1, Index r2, Index c2);
// "B:D" column span built from xl_col_to_name of both ends.
std::string col_span(Index c1, Index c2);

// The sheet's size: 16384 columns (A to XFD) and 1048576 rows.
constexpr Index kColumns = 16384;
constexpr Index kRows = 1048576;

// The zero-based corners of a range read back from its text.
struct Area {
    Index r1 = 0, c1 = 0, r2 = 0, c2 = 0;
};
// "B2:C11", "$B$2", "$A$1:$C$3" as an Area, the upper left corner first (a
// range written upside down, "E2:E1", is the same cells).  False for any
// other text and for a cell past the sheet's last row or column.
bool parse_range(const std::string &text, Area &area);
// A sheet name as a reference writes it: 'O''Neil' is O'Neil.
std::string unquoted(const std::string &name);
// The other way: always single-quoted, inner quotes doubled, so that a name
// with blanks or quotes still gives a reference the spreadsheet accepts.
std::string quoted(const std::string &name);
// "'Sheet 1'!$B$2:$B$9": a range (or cell) of the named sheet.
std::string qualified(const std::string &sheet, const std::string &range);

// Python text objects of the same.
inline pyutil::object text(const std::string &s) { return pyutil::text(s); }

}  // namespace a1
