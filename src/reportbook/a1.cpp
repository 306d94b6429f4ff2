#include "reportbook/a1.hpp"

namespace a1 {
namespace {

// Delegates to xlsxwriter.utility as bound in the module's namespace.
std::string delegate(const char *name, Index a, Index b, Index c, Index d, int argc) {
    pyutil::object f = pyutil::module_attr(name);
    pyutil::object r;
    if (argc == 1) r = f(a);
    else if (argc == 2) r = f(a, b);
    else r = f(a, b, c, d);
    return pyutil::utf8(r);
}

std::string col_letters(Index col) {
    std::string s;
    Index n = col + 1;
    while (n > 0) {
        Index rem = n % 26;
        if (rem == 0) rem = 26;
        s.insert(s.begin(), char('A' + rem - 1));
        n = (n - rem) / 26;
    }
    return s;
}

}  // namespace

std::string col_name(Index col, bool col_abs) {
    if (col < 0) return pyutil::utf8(pyutil::module_attr("xl_col_to_name")(col, col_abs));
    return (col_abs ? "$" : "") + col_letters(col);
}

std::string cell(Index row, Index col, bool row_abs, bool col_abs) {
    if (row < 0 || col < 0)
        return pyutil::utf8(pyutil::module_attr("xl_rowcol_to_cell")(row, col, row_abs, col_abs));
    return col_name(col, col_abs) + (row_abs ? "$" : "") + std::to_string(row + 1);
}

std::string range(Index r1, Index c1, Index r2, Index c2) {
    if (r1 < 0 || c1 < 0 || r2 < 0 || c2 < 0) return delegate("xl_range", r1, c1, r2, c2, 4);
    std::string a = cell(r1, c1), b = cell(r2, c2);
    return a == b ? a : a + ":" + b;
}

std::string range_abs(Index r1, Index c1, Index r2, Index c2) {
    if (r1 < 0 || c1 < 0 || r2 < 0 || c2 < 0) return delegate("xl_range_abs", r1, c1, r2, c2, 4);
    std::string a = cell(r1, c1, true, true), b = cell(r2, c2, true, true);
    return a == b ? a : a + ":" + b;
}

std::string columns(Index r1, Index c1, Index r2, Index c2) {
    std::string r = range(r1, c1, r2, c2);
    if (!r.empty() && r.find(':') == std::string::npos) r += ":" + r;
    return r;
}

std::string col_span(Index c1, Index c2) { return col_name(c1) + ":" + col_name(c2); }

}  // namespace a1
