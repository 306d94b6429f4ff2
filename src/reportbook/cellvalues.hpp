// Results of the formulas the writers put on the sheets.
//
// XlsxWriter stores a result beside every formula; without one it stores 0,
// which every reader that does not recalculate (LibreOffice with its default
// settings, viewers, pandas, openpyxl) then shows as the value of each score.
// So the writers compute each result here, from the cells the formula refers
// to as the worksheet holds them, with the definitions of the spreadsheet
// functions.  A result is only given where it is certain: when a referenced
// cell is anything but a finite number (text, NaN or inf written as text,
// a blank where the function would skip it, a formula of the caller's), or
// when the worksheet no longer keeps its cells (constant_memory mode), the
// result is "" - XlsxWriter then stores no value and applications compute
// the cell themselves - never a guess.
#pragma once

#include "common/pyutil.hpp"

#include <cstddef>
#include <map>
#include <string>
#include <tuple>
#include <vector>

namespace cellvalues {

using py::handle;
using py::object;
using Index = long long;

// The result of a formula: a number, an error code of the spreadsheet
// ("#DIV/0!", ...), or unknown.
class Result {
public:
    static Result unknown() { return Result(); }
    static Result number(double v);  // unknown unless finite
    static Result error(const char *code) { return Result(kError, 0.0, code); }

    bool is_number() const { return kind_ == kNumber; }
    bool is_error() const { return kind_ == kError; }
    bool is_unknown() const { return kind_ == kUnknown; }
    double value() const { return value_; }
    const char *code() const { return code_; }

    // The `value` argument of Worksheet.write_formula: a float, the error
    // code text (written with t="e"), or "" (no stored result).
    object to_python() const;

private:
    enum Kind { kUnknown, kNumber, kError };
    Result() = default;
    Result(Kind k, double v, const char *c) : kind_(k), value_(v), code_(c) {}
    Kind kind_ = kUnknown;
    double value_ = 0.0;
    const char *code_ = "";
};

// Arithmetic of the formula texts, on doubles as the spreadsheet evaluates
// them; an error operand gives its error (the left one first), an unknown
// operand an unknown result.
Result operator+(const Result &a, const Result &b);
Result operator-(const Result &a, const Result &b);
Result operator*(const Result &a, const Result &b);
Result operator/(const Result &a, const Result &b);
Result SQRT(const Result &a);

// The cells of a rectangular range, row by row.  A number is kept as the
// workbook file will hold it (XlsxWriter writes 16 significant digits), so
// that the result agrees with what an application computes from the file.
struct Range {
    enum Cell : unsigned char { kNumber, kEmpty, kOther };
    bool readable = false;       // false: the sheet's cells are not known
    Index rows = 0, cols = 0;
    std::vector<double> values;  // one per cell; meaningful for kNumber only
    std::vector<Cell> kinds;
    std::size_t numbers = 0, empties = 0;

    std::size_t size() const { return kinds.size(); }
    bool all_numbers() const { return readable && numbers == size(); }
    bool all_empty() const { return readable && empties == size(); }
};

// The spreadsheet functions over ranges.
Result SUM(const Range &r);
Result SUMXMY2(const Range &x, const Range &y);
Result PEARSON(const Range &x, const Range &y);
Result AVERAGE(const Range &r);
Result STDEVA(const Range &r);
Result COUNTA(const Range &r);
Result MIN(const Range &r);
Result MAX(const Range &r);
// A reference to one cell used as the whole formula ("$C$2").
Result REF(const Range &r);

// AVERAGE and STDEVA of every leading part of a one-column range: element k
// is the function over the first k + 1 cells.  Linear time, for the running
// statistics of a long table.
std::vector<Result> running_average(const Range &r);
std::vector<Result> running_stdeva(const Range &r);

// The cells of the worksheets a writer refers to, read once per range.  A
// reference is the text the formula holds: "C2:C101", "$B$2:$B$101",
// "$D$5", "'Test'!$D$2:$D$41".  A sheet name other than the home sheet's is
// looked up with Book.get_worksheet_by_name.
class Cells {
public:
    // `book` may be None: only the home sheet can then be referred to.
    Cells(handle book, handle home);
    // Another worksheet that references may name, known without the Book.
    void know(handle worksheet);

    const Range &range(const std::string &ref);
    Result cell(const std::string &ref) { return REF(range(ref)); }

private:
    // Every column of the rows r1..r2 of a sheet.  The row dicts are
    // walked row by row (a lookup per cell down a column costs a cache miss
    // or more each), and the cells are then read column by column, in the
    // order pandas created them, which is their order in memory.
    struct Block {
        bool usable = false;
        std::vector<Range> columns;  // by column; unreadable: no cell there
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
    // The kind of a cell and its number; `written` tells a number cell
    // (held with 16 digits in the file) from a formula's stored float.
    // With `deferred`, a number whose conversion would run Python code is
    // not converted: *deferred is set instead.
    Range::Cell classify(PyObject *cell, double &value, bool &written, bool *deferred);
    void read_cell(Range &out, PyObject *cell);
    Range read_cells(Sheet &s, Index r1, Index c1, Index r2, Index c2);
    Block read_block(Sheet &s, Index r1, Index r2);

    object book_, home_;
    bool home_loaded_ = false;
    Sheet home_sheet_;
    std::map<std::string, Sheet> others_;
    std::map<std::tuple<const Sheet *, Index, Index, Index, Index>, Range> cache_;
    std::map<PyTypeObject *, int> cell_types_;
    PyTypeObject *last_type_ = nullptr;  // nearly every cell is of the type before
    int last_kind_ = 0;
};

// A double as XlsxWriter writes it ("%.16G") and a reader parses it back.
double as_written(double v);

}  // namespace cellvalues
