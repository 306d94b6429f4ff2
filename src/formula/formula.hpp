// The formulas the writers put on the sheets, each built once with its
// result, which is computed from the cells the formula refers to with the
// definitions of the spreadsheet functions.  Pure C++: the cells come from an
// adapter that reads them wherever they are kept (reportbook's sheetcells
// reads XlsxWriter's).
//
// A result is only given where it is certain; anything else is unknown, and
// the writer then stores no result so that the application computes the
// cell itself.  Every computation is carried in double-double arithmetic
// (ddouble.hpp) and rounded once at the end, so the stored digits are the
// same on every platform.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace formula {

// long long, as a1::Index: std::int64_t is long on x86-64 and long long on
// 32-bit ARM, and overloads that differ by it would resolve differently.
using Index = long long;

// The result of a formula: a number, an error code of the spreadsheet
// ("#DIV/0!", ...), or unknown.
class Result {
public:
    static Result unknown() { return Result(); }
    static Result number(double v);  // unknown unless finite
    static Result error(const char *code) { return Result(kError, 0.0, code); }

    bool is_number() const { return m_kind == kNumber; }
    bool is_error() const { return m_kind == kError; }
    bool is_unknown() const { return m_kind == kUnknown; }
    double value() const { return m_value; }
    const char *code() const { return m_code; }

private:
    enum Kind { kUnknown, kNumber, kError };
    Result() = default;
    Result(Kind k, double v, const char *c) : m_kind(k), m_value(v), m_code(c) {}
    Kind m_kind = kUnknown;
    double m_value = 0.0;
    const char *m_code = "";
};

extern const char *const kDiv0;  // "#DIV/0!"
extern const char *const kNum;   // "#NUM!"

// Arithmetic of the formula texts, on doubles as the spreadsheet evaluates
// them; an error operand gives its error (the left one first), an unknown
// operand an unknown result.
Result operator+(const Result &a, const Result &b);
Result operator-(const Result &a, const Result &b);
Result operator*(const Result &a, const Result &b);
Result operator/(const Result &a, const Result &b);
Result SQRT(const Result &a);

// The cells of a rectangular range, row by row.  A number is kept as the
// workbook file holds it (see as_written), so that a result agrees with what
// an application computes from the file.
struct Range {
    enum Cell : unsigned char {
        kNumber,   // values[i] is the number
        kEmpty,    // no cell, or a blank one
        kText,
        kBoolean,  // values[i] is 1 or 0
        kError,    // values[i] is the error's place in kErrors
        kUnknown,  // a cell whose value is not known (a formula without result)
        kKinds
    };
    bool readable = false;  // false: the cells are not known
    Index rows = 0, cols = 0;
    std::vector<double> values;  // one per cell
    std::vector<Cell> kinds;
    std::size_t counts[kKinds] = {};  // cells of each kind

    // An empty, readable range of rows x cols cells, to be filled with set().
    static Range sized(Index rows, Index cols);
    // A readable column of empty cells.
    static Range empty_column(Index rows);
    void set(std::size_t i, Cell kind, double value);

    std::size_t size() const { return kinds.size(); }
    std::size_t count(Cell kind) const { return counts[kind]; }
};

// The error codes of the spreadsheet, and the place of one in them (-1 for
// a text that is none).
extern const char *const kErrors[7];
int error_index(const char *code);

// The spreadsheet functions over ranges.  Each gives the value Excel and
// LibreOffice agree on for the cells it is given, and unknown wherever the
// two differ (booleans in a reference, which LibreOffice counts as numbers;
// blanks paired with numbers in SUMXMY2, which LibreOffice takes for 0;
// texts in STDEVA) or where a cell's value is not known:
//   SUM, MIN, MAX, AVERAGE: the numbers; blanks and texts are skipped;
//   COUNTA: every cell that is not blank;
//   STDEVA: the numbers; blanks are skipped;
//   PEARSON: the pairs of two numbers; pairs with a blank or a text dropped;
//   SUMXMY2: the pairs of two numbers; a blank paired with a blank or a 0
//     adds 0 in both applications;
//   an error in a range is the result, when it is the only error code there.
Result SUM(const Range &r);
Result SUMXMY2(const Range &x, const Range &y);
Result PEARSON(const Range &x, const Range &y);
Result COUNTA(const Range &r);
Result MIN(const Range &r);
Result MAX(const Range &r);
// A reference to one cell used as the whole formula ("$C$2"): a blank is 0.
Result REF(const Range &r);

// AVERAGE and STDEVA of every leading part of a one-column range: element k
// is the function over the first k + 1 cells.  Linear time, for the running
// statistics of a long table.
std::vector<Result> running_average(const Range &r);
std::vector<Result> running_stdeva(const Range &r);

// --- formulas ----------------------------------------------------------------

// A range as a formula refers to it: its text ("C2:C101", "'Test'!$D$2:$D$41")
// and its cells, which whoever knows where they are kept has read.
struct Ref {
    std::string text;
    const Range &cells;
};

// A formula built from the operations it is made of: each operation gives
// the text and the result at once, so that the text a cell holds and the
// result stored beside it cannot tell two stories.  The text has no leading
// "=" (see sheetcells::write_formula).
class Formula {
public:
    // A number as its text gives it ("0.05"), or a whole number.
    static Formula number(const char *text);
    static Formula number(Index n);
    // A reference to the cell `ref` that holds `held`, whose result it has.
    static Formula cell(const std::string &ref, const Formula &held);

    const std::string &text() const { return m_text; }
    const Result &result() const { return m_result; }

    // The operators of the spreadsheet, which groups them from the left: an
    // operand of a looser operator, or on the right of an equal one, is put
    // in parentheses, so that the text computes what the result did.
    friend Formula operator+(const Formula &a, const Formula &b);
    friend Formula operator-(const Formula &a, const Formula &b);
    friend Formula operator*(const Formula &a, const Formula &b);
    friend Formula operator/(const Formula &a, const Formula &b);

private:
    friend struct Build;  // the operations, in formula.cpp
    enum Level { kSum, kProduct, kOperand };  // how tightly the text binds
    Formula(std::string text, const Result &result, Level level)
        : m_text(std::move(text)), m_result(result), m_level(level) {}

    std::string m_text;
    Result m_result;
    Level m_level;
};

Formula SQRT(const Formula &a);
Formula SUM(const Ref &r);
Formula SUMXMY2(const Ref &x, const Ref &y);
Formula PEARSON(const Ref &x, const Ref &y);
Formula COUNTA(const Ref &r);
Formula MIN(const Ref &r);
Formula MAX(const Ref &r);
// The reference alone as the whole formula ("$C$2").
Formula REF(const Ref &r);

// AVERAGE and STDEVA over the leading parts of one column, the running
// statistics of a long table: the results of every part come from one pass.
class Leading {
public:
    explicit Leading(const Range &column);
    // The function over the first `cells` cells of the column, which the
    // text `part` refers to; unknown past the cells the column has.
    Formula AVERAGE(const std::string &part, Index cells) const;
    Formula STDEVA(const std::string &part, Index cells) const;

private:
    std::vector<Result> m_average, m_stdeva;
};

// A double as the file holds it: XlsxWriter writes a number cell with 16
// significant digits ("%.16G", rounded half to even) and an application
// parses that text back to the nearest double.
double as_written(double v);

}  // namespace formula
