#include "reportbook/a1.hpp"

#include <utility>

namespace a1 {
namespace {

// Delegates to xlsxwriter.utility as bound in the module's namespace.
std::string delegate(const char *name, Index a, Index b, Index c, Index d, int argc) {
    pyutil::object f = pyutil::module_attr(name);
    pyutil::object r;
    if (argc == 1)
        r = f(a);
    else if (argc == 2)
        r = f(a, b);
    else
        r = f(a, b, c, d);
    return pyutil::utf8(r);
}

// "A", "AB", "XFD" for columns 0, 27, 16383.
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

// One corner: "$AB$12" -> (11, 27), from position i of s on.
bool parse_cell(const std::string &s, size_t &i, Index &row, Index &col) {
    if (i < s.size() && s[i] == '$') ++i;
    Index c = 0;
    size_t start = i;
    while (i < s.size() && s[i] >= 'A' && s[i] <= 'Z' && i - start < 3)
        c = c * 26 + (s[i++] - 'A' + 1);
    if (i == start) return false;
    if (i < s.size() && s[i] == '$') ++i;
    Index r = 0;
    start = i;
    while (i < s.size() && s[i] >= '0' && s[i] <= '9' && i - start < 8) r = r * 10 + (s[i++] - '0');
    if (i == start || r == 0 || r > kRows || c > kColumns) return false;
    row = r - 1;
    col = c - 1;
    return true;
}

}  // namespace

// --- writing ---------------------------------------------------------------

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

// --- reading ---------------------------------------------------------------

bool parse_range(const std::string &text, Area &area) {
    size_t i = 0;
    if (!parse_cell(text, i, area.r1, area.c1)) return false;
    area.r2 = area.r1;
    area.c2 = area.c1;
    if (i < text.size()) {
        if (text[i] != ':') return false;
        ++i;
        if (!parse_cell(text, i, area.r2, area.c2) || i != text.size()) return false;
    }
    if (area.r1 > area.r2) std::swap(area.r1, area.r2);
    if (area.c1 > area.c2) std::swap(area.c1, area.c2);
    return true;
}

std::string unquoted(const std::string &name) {
    if (name.size() < 2 || name.front() != '\'' || name.back() != '\'') return name;
    std::string out;
    for (size_t i = 1; i + 1 < name.size(); ++i) {
        out += name[i];
        if (name[i] == '\'' && name[i + 1] == '\'') ++i;
    }
    return out;
}

std::string quoted(const std::string &name) {
    std::string out = "'";
    for (char c : name) {
        out += c;
        if (c == '\'') out += c;
    }
    return out + "'";
}

std::string qualified(const std::string &sheet, const std::string &range) {
    return quoted(sheet) + "!" + range;
}

}  // namespace a1
