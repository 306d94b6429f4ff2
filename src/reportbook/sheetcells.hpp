// The cells the writers' formulas refer to, read from the worksheets
// XlsxWriter keeps in memory, for the results computed in formula/.
//
// XlsxWriter stores a result beside every formula; without one it stores 0,
// which every reader that does not recalculate (LibreOffice with its default
// settings, viewers, pandas, openpyxl) then shows as the value of each score.
// So the writers store the result computed from the cells as the worksheet
// holds them.  This unit is the only one that knows how XlsxWriter keeps
// them (the private `table` of a worksheet and its cell tuple types); where
// it does not recognise them - a worksheet in constant_memory mode, whose
// rows are already in the file, or an XlsxWriter release that keeps its cells
// another way - every range reads as unknown and the result is "" (no stored
// value, the application computes the cell), never a guess.
#pragma once

#include "common/pyutil.hpp"
#include "formula/formula.hpp"

#include <map>
#include <string>
#include <tuple>
#include <vector>

namespace sheetcells {

using formula::Formula;
using formula::Index;
using formula::Range;
using formula::Result;
using pyutil::handle;
using pyutil::object;

// How a formula's text is handed to Worksheet.write_formula: with its "=",
// or bare, as the padding and the running statistics always have been.
// XlsxWriter drops the "=", so the file is the same either way; a worksheet
// of the caller's own sees the text it has always seen.
enum class Sign { Equals, Bare };

// Worksheet.write_formula with the formula's result stored beside it, at a
// cell given by position or by its A1 text; the latter gives the formula
// that refers to the cell, for the formulas built on it.
void write_formula(handle sheet, Index row, Index col, const Formula &f, Sign sign = Sign::Equals);
Formula write_formula(handle sheet, const std::string &cell, const Formula &f,
                      Sign sign = Sign::Equals);

// Whether the column holds a cell in rows r1..r2 of the worksheet: a
// column a chart or a formula reads must hold the sheet's data.  True when
// the cells cannot be read (a sheet in constant_memory mode, another
// release's cells): the question is then left open.
bool column_holds_cells(handle worksheet, Index col, Index r1, Index r2);

// The cells of the worksheets a writer refers to, read once per range.  A
// reference is the text the formula holds: "C2:C101", "$B$2:$B$101",
// "$D$5", "'Test'!$D$2:$D$41", "=Data!$A$2:$A$9".  A sheet name other than
// the home sheet's is looked up with Book.get_worksheet_by_name.
class Cells {
public:
    // How the columns of a sheet are read: one by one down the column, or,
    // for a writer that scores many columns of the same rows, all at once,
    // row by row, from the second column of those rows on.
    enum class Reading { Few, Many };
    // `book` may be None: only the home sheet and known sheets can then be
    // referred to; `home` may be None: every reference names its sheet.
    Cells(handle book, handle home, Reading reading = Reading::Many);
    // Another worksheet that references may name, known without the Book.
    void know(handle worksheet);

    const Range &range(const std::string &ref);
    // The cells r1..r2 x c1..c2 (zero-based) of the sheet of that name,
    // quoted or not.
    const Range &range(const std::string &sheetname, Index r1, Index c1, Index r2, Index c2);
    // The range with its text, for a formula.
    formula::Ref ref(const std::string &text) { return formula::Ref{text, range(text)}; }

private:
    // Every column of the rows r1..r2 of a sheet.  The row dicts are
    // walked row by row (a lookup per cell down a column costs a cache miss
    // or more each), and the cells are then read column by column, in the
    // order pandas created them, which is their order in memory.
    // A number cell's value is rounded to what the file holds when its
    // column is first asked for: a writer uses a few columns of a sheet.
    struct Block {
        bool usable = false;
        std::vector<Range> columns;  // by column; unreadable: no cell there
        std::vector<std::vector<bool>> written;  // by column: cells still to round
    };
    struct Sheet {
        object table;  // row -> {col: cell}, or None
        std::vector<object> rows;  // row dicts met so far, by row
        std::map<std::pair<Index, Index>, int> columns_read;  // by row span
        std::map<std::pair<Index, Index>, Block> blocks;      // by row span
    };
    Sheet &sheet_named(const std::string &name);
    Sheet &home_sheet();
    Sheet load(handle worksheet);
    PyObject *row_of(Sheet &s, Index row);
    const Range &read(Sheet &sheet, Index r1, Index c1, Index r2, Index c2);
    // The kind of a cell and its number; `written` tells a number cell,
    // which the file holds with 16 digits (see formula::as_written), from a
    // formula's stored result.  With `deferred`, a number whose conversion
    // would run Python code is not converted: *deferred is set instead.
    Range::Cell classify(PyObject *cell, double &value, bool &written, bool *deferred);
    int kind_of_type(PyTypeObject *type);
    Range read_cells(Sheet &s, Index r1, Index c1, Index r2, Index c2);
    Block read_block(Sheet &s, Index r1, Index r2);

    object m_book, m_home;
    Reading m_reading;
    bool m_home_loaded = false;
    Sheet m_home_sheet;
    std::map<std::string, Sheet> m_others;
    std::map<std::tuple<const Sheet *, Index, Index, Index, Index>, Range> m_cache;
    std::map<PyTypeObject *, int> m_cell_types;
    PyTypeObject *m_last_type = nullptr;  // nearly every cell is of the type before
    int m_last_kind = 0;
};

}  // namespace sheetcells
