#include "reportbook/sheetcells.hpp"

#include "formula/formula.hpp"
#include "reportbook/a1.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>

namespace sheetcells {
namespace {

using formula::as_written;

// Kinds of XlsxWriter's cell tuples, told apart by their type's name and
// fields: the same in every release it has (3.0.2 up to today), while the
// Python names of the types are not.  A tuple of any other name or layout
// is a cell this unit cannot read.
enum CellType { kNumberCell, kBlankCell, kTextCell, kBooleanCell, kFormulaCell, kOtherCell };

struct KnownCell {
    const char *name;
    std::vector<const char *> fields;
    CellType type;
};

// "Datetime" (newer releases) holds the serial number the file stores.
const KnownCell kKnownCells[] = {
    {"Number", {"number", "format"}, kNumberCell},
    {"Datetime", {"number", "format"}, kNumberCell},
    {"Blank", {"format"}, kBlankCell},
    {"String", {"string", "format"}, kTextCell},
    {"RichString", {"string", "format", "raw_string"}, kTextCell},
    {"Boolean", {"boolean", "format"}, kBooleanCell},
    {"Formula", {"formula", "format", "value"}, kFormulaCell},
};

// The type's own `_fields`, read from its dict: no Python code runs, so the
// cells borrowed while a block is read stay valid.
bool has_fields(PyTypeObject *type, const std::vector<const char *> &names) {
    PyObject *dict = type->tp_dict;
    PyObject *fields = dict ? PyDict_GetItemString(dict, "_fields") : nullptr;
    if (!fields || !PyTuple_Check(fields) ||
        PyTuple_GET_SIZE(fields) != static_cast<Py_ssize_t>(names.size()))
        return false;
    for (size_t i = 0; i < names.size(); ++i) {
        PyObject *f = PyTuple_GET_ITEM(fields, static_cast<Py_ssize_t>(i));
        if (!PyUnicode_Check(f) || PyUnicode_CompareWithASCIIString(f, names[i]) != 0) return false;
    }
    return true;
}

CellType cell_type_of(PyTypeObject *type) {
    for (const KnownCell &known : kKnownCells)
        if (!std::strcmp(type->tp_name, known.name) && has_fields(type, known.fields))
            return known.type;
    return kOtherCell;
}

// Whether reading the number runs no Python code: floats (numpy's
// included) and ints are read from the object itself.
bool plain_number(PyObject *o) { return PyFloat_Check(o) || PyLong_Check(o); }

// A number cell's value as a double: ints, floats and other numbers that
// convert (XlsxWriter formats them with "%.16G", which converts the same way).
bool number_of(PyObject *o, double &out) {
    if (PyFloat_Check(o)) {
        out = PyFloat_AS_DOUBLE(o);
    } else {
        if (PyLong_Check(o))
            out = PyLong_AsDouble(o);
        else if (PyNumber_Check(o))
            out = PyFloat_AsDouble(o);
        else
            return false;
        if (out == -1.0 && PyErr_Occurred()) {
            // Not a number this module can read (or too large an int);
            // XlsxWriter reports it when it writes the cell.
            PyErr_Clear();
            return false;
        }
    }
    return std::isfinite(out);
}

inline void prefetch([[maybe_unused]] const void *p) {
#if defined(__GNUC__)
    __builtin_prefetch(p);
#endif
}

using a1::kColumns;
using a1::kRows;

const Range kUnreadable{};

size_t at(Index i) { return static_cast<size_t>(i); }

// The `value` argument of Worksheet.write_formula: a float, the error code
// text (written with t="e"), or "" (no stored result).
object to_python(const Result &r) {
    if (r.is_number()) return nb::float_(r.value());
    if (r.is_error()) return nb::str(r.code());
    return nb::str("");
}

object formula_text(const Formula &f, Sign sign) {
    return pyutil::text(sign == Sign::Equals ? "=" + f.text() : f.text());
}

}  // namespace

void write_formula(handle sheet, Index row, Index col, const Formula &f, Sign sign) {
    sheet.attr("write_formula")(row, col, formula_text(f, sign), nb::none(), to_python(f.result()));
}

Formula write_formula(handle sheet, const std::string &cell, const Formula &f, Sign sign) {
    sheet.attr("write_formula")(pyutil::text(cell), formula_text(f, sign), nb::none(),
                                to_python(f.result()));
    return Formula::cell(cell, f);
}

// --- reading the sheets ------------------------------------------------------

namespace {

// The worksheet's cells, row -> {col: cell}, or None where they cannot be
// read.  In constant_memory mode the rows above the last one written are
// already in the file and gone from the table.
object cell_table(handle worksheet) {
    if (worksheet.is_none()) return nb::none();
    object cm = pyutil::attr_or_none(worksheet, "constant_memory");
    if (cm.is_valid() && pyutil::truthy(cm)) return nb::none();
    object table = pyutil::attr_or_none(worksheet, "table");
    return table.is_valid() && PyDict_Check(table.ptr()) ? table : nb::none();
}

}  // namespace

bool column_holds_cells(handle worksheet, Index col, Index r1, Index r2) {
    const object table = cell_table(worksheet);
    if (table.is_none()) return true;
    object column = nb::int_(col);
    // Rows are looked up one by one up to the table's size: a count far
    // past the sheet's rows costs no more than the rows it has.
    const Index held = static_cast<Index>(PyDict_GET_SIZE(table.ptr()));
    for (Index r = r1, seen = 0; r <= r2 && seen < held; ++r) {
        object key = nb::int_(r);
        PyObject *row = PyDict_GetItemWithError(table.ptr(), key.ptr());
        if (!row) {
            if (PyErr_Occurred()) pyutil::raise_pending();
            continue;
        }
        ++seen;
        if (!PyDict_Check(row)) return true;
        if (PyDict_GetItemWithError(row, column.ptr())) return true;
        if (PyErr_Occurred()) pyutil::raise_pending();
    }
    return false;
}

Cells::Cells(handle book, handle home, Reading reading)
    : m_book(nb::borrow(book)), m_home(nb::borrow(home)), m_reading(reading) {}

Cells::Sheet Cells::load(handle worksheet) {
    Sheet s;
    s.table = cell_table(worksheet);
    return s;
}

Cells::Sheet &Cells::home_sheet() {
    if (!m_home_loaded) {
        m_home_sheet = load(m_home);
        m_home_loaded = true;
    }
    return m_home_sheet;
}

void Cells::know(handle worksheet) {
    std::string name = pyutil::utf8(nb::getattr(worksheet, "name"));
    if (m_others.find(name) == m_others.end()) m_others.emplace(name, load(worksheet));
}

Cells::Sheet &Cells::sheet_named(const std::string &name) {
    auto found = m_others.find(name);
    if (found != m_others.end()) return found->second;
    if (!m_home.is_none() && name == pyutil::utf8(nb::getattr(m_home, "name"))) return home_sheet();
    object ws = nb::none();
    if (!m_book.is_none()) ws = m_book.attr("get_worksheet_by_name")(pyutil::text(name));
    return m_others.emplace(name, load(ws)).first->second;
}

PyObject *Cells::row_of(Sheet &s, Index row) {
    if (at(row) < s.rows.size() && s.rows[at(row)].is_valid()) return s.rows[at(row)].ptr();
    object key = nb::int_(row);
    object found;
    {
        // Free-threaded, another thread may change the table meanwhile: the
        // row is taken under its critical section (nothing with a GIL).
        nb::ft_object_guard guard(s.table);
        PyObject *item = PyDict_GetItemWithError(s.table.ptr(), key.ptr());
        if (!item) {
            if (PyErr_Occurred()) pyutil::raise_pending();
            return nullptr;  // not kept: a row written later must be seen
        }
        found = nb::borrow(item);
    }
    if (!PyDict_Check(found.ptr())) return nullptr;
    if (at(row) >= s.rows.size()) s.rows.resize(at(row) + 1);
    s.rows[at(row)] = found;
    return found.ptr();
}

int Cells::kind_of_type(PyTypeObject *type) {
    if (type != m_last_type) {
        auto known = m_cell_types.find(type);
        if (known == m_cell_types.end())
            known = m_cell_types.emplace(type, cell_type_of(type)).first;
        m_last_type = type;
        m_last_kind = known->second;
    }
    return m_last_kind;
}

Range::Cell Cells::classify(PyObject *cell, double &v, bool &written, bool *deferred) {
    v = 0.0;
    written = false;
    if (!cell) return Range::kEmpty;
    if (!PyTuple_Check(cell)) return Range::kUnknown;
    // A tuple of a known type built short by hand is no cell of that type.
    const Py_ssize_t len = PyTuple_GET_SIZE(cell);
    switch (kind_of_type(Py_TYPE(cell))) {
    case kNumberCell: {
        // The file holds the number with 16 digits.
        if (len < 2) return Range::kUnknown;
        PyObject *number = PyTuple_GET_ITEM(cell, 0);
        if (deferred && !plain_number(number)) {
            *deferred = true;
            return Range::kUnknown;
        }
        if (!number_of(number, v)) return Range::kUnknown;
        written = true;
        return Range::kNumber;
    }
    case kBlankCell:
        return Range::kEmpty;
    case kTextCell:
        return Range::kText;
    case kBooleanCell:
        return Range::kBoolean;
    case kFormulaCell: {
        // A formula with a stored float result (as this module writes
        // them) counts as that number; the file holds its shortest
        // round-trip text, so exactly this double.  A stored error code
        // is that error.  XlsxWriter's default result 0 is an int and
        // says nothing, nor does "".
        if (len < 3) return Range::kUnknown;
        PyObject *value = PyTuple_GET_ITEM(cell, 2);
        if (PyFloat_Check(value) && std::isfinite(PyFloat_AS_DOUBLE(value))) {
            v = PyFloat_AS_DOUBLE(value);
            return Range::kNumber;
        }
        if (PyUnicode_Check(value)) {
            const char *code = PyUnicode_AsUTF8(value);
            const int error = code ? formula::error_index(code) : -1;
            if (!code) PyErr_Clear();
            if (error >= 0) {
                v = error;
                return Range::kError;
            }
        }
        return Range::kUnknown;
    }
    default:
        return Range::kUnknown;
    }
}

Range Cells::read_cells(Sheet &sheet, Index r1, Index c1, Index r2, Index c2) {
    Range out = Range::sized(r2 - r1 + 1, c2 - c1 + 1);
    std::vector<object> colkeys;
    for (Index c = c1; c <= c2; ++c) colkeys.push_back(nb::int_(c));
    size_t i = 0;
    for (Index r = r1; r <= r2; ++r) {
        PyObject *row = row_of(sheet, r);
        for (const object &colkey : colkeys) {
            PyObject *cell = nullptr;
            object held;  // as Python code holds what it reads
            if (row) {
                nb::ft_object_guard guard(row);
                cell = PyDict_GetItemWithError(row, colkey.ptr());
                if (!cell && PyErr_Occurred()) pyutil::raise_pending();
                held = nb::borrow(cell);
            }
            double v;
            bool written;
            Range::Cell kind = classify(cell, v, written, nullptr);
            out.set(i++, kind, written ? as_written(v) : v);
        }
    }
    return out;
}

Cells::Block Cells::read_block(Sheet &sheet, Index r1, Index r2) {
    // How many cells ahead a cell's number is fetched from memory, so that
    // reading one does not wait for the one before.
    constexpr size_t kAhead = 8;
    const Index rows = r2 - r1 + 1;
    const size_t n = at(rows);

    // The cells of each column, borrowed: from here to the end of the second
    // pass no Python code runs, so none of them can go.  A free-threaded
    // Python runs other threads' code beside this one: there the rows are
    // read under their critical sections and every row and cell is held, as
    // Python code would hold them (with a GIL the guards are nothing).
    std::vector<std::vector<PyObject *>> cells;
#ifdef NB_FREE_THREADED
    std::vector<object> held;
#endif
    for (Index r = r1; r <= r2; ++r) {
        object key = nb::int_(r);
        PyObject *row;
        {
            nb::ft_object_guard guard(sheet.table);
            row = PyDict_GetItemWithError(sheet.table.ptr(), key.ptr());
#ifdef NB_FREE_THREADED
            if (row) held.push_back(nb::borrow(row));
#endif
        }
        if (!row) {
            if (PyErr_Occurred()) pyutil::raise_pending();
            continue;
        }
        if (!PyDict_Check(row)) return Block();
        nb::ft_object_guard guard(row);
        Py_ssize_t pos = 0;
        PyObject *colkey, *cell;
        while (PyDict_Next(row, &pos, &colkey, &cell)) {
            // Keys other than plain ints (a caller's numpy integers) are
            // found by lookups: read column by column then.
            if (!PyLong_CheckExact(colkey)) return Block();
            const Index c = PyLong_AsLongLong(colkey);
            if (c < 0 || c >= kColumns) {
                PyErr_Clear();
                continue;
            }
            if (at(c) >= cells.size()) cells.resize(at(c) + 1);
            if (cells[at(c)].empty()) cells[at(c)].assign(n, nullptr);
            cells[at(c)][at(r - r1)] = cell;
#ifdef NB_FREE_THREADED
            held.push_back(nb::borrow(cell));
#endif
        }
    }

    Block block;
    block.columns.resize(cells.size());
    block.written.resize(cells.size());
    std::vector<std::pair<size_t, size_t>> deferred;  // (column, row) to convert afterwards
    for (size_t c = 0; c < cells.size(); ++c) {
        const std::vector<PyObject *> &column = cells[c];
        if (column.empty()) continue;
        Range &out = block.columns[c] = Range::sized(rows, 1);
        block.written[c].assign(n, false);
        for (size_t i = 0; i < n; ++i) {
            // The cell tuple some cells ahead, and the number of a nearer
            // one, whose tuple has arrived by then.
            if (i + kAhead < n && column[i + kAhead]) prefetch(column[i + kAhead]);
            PyObject *near = i + kAhead / 2 < n ? column[i + kAhead / 2] : nullptr;
            if (near && PyTuple_Check(near) && PyTuple_GET_SIZE(near) > 0)
                prefetch(PyTuple_GET_ITEM(near, 0));
            double v;
            bool written, later = false;
            Range::Cell kind = classify(column[i], v, written, &later);
            if (later) deferred.emplace_back(c, i);
            out.set(i, kind, v);
            if (written) block.written[c][i] = true;
        }
    }
    cells.clear();

    // Numbers of other types convert through Python code, which could change
    // the sheet: each is looked up again and held while it converts.
    for (auto &where : deferred) {
        object rowkey = nb::int_(r1 + static_cast<Index>(where.second));
        object colkey = nb::int_(static_cast<Index>(where.first));
        object held_row, held;
        {
            nb::ft_object_guard guard(sheet.table);
            PyObject *row = PyDict_GetItemWithError(sheet.table.ptr(), rowkey.ptr());
            if (!row && PyErr_Occurred()) pyutil::raise_pending();
            held_row = nb::borrow(row);
        }
        PyObject *cell = nullptr;
        if (held_row.is_valid() && PyDict_Check(held_row.ptr())) {
            nb::ft_object_guard guard(held_row);
            cell = PyDict_GetItemWithError(held_row.ptr(), colkey.ptr());
            if (!cell && PyErr_Occurred()) pyutil::raise_pending();
            held = nb::borrow(cell);
        }
        double v;
        bool written;
        Range::Cell kind = classify(cell, v, written, nullptr);
        block.columns[where.first].set(where.second, kind, v);
        block.written[where.first][where.second] = written;
    }
    block.usable = true;
    return block;
}

const Range &Cells::range(const std::string &ref) {
    // "=" opens a chart's series reference.
    const std::string text = !ref.empty() && ref[0] == '=' ? ref.substr(1) : ref;
    const size_t bang = text.rfind('!');
    a1::Area a;
    if (!a1::parse_range(bang == std::string::npos ? text : text.substr(bang + 1), a))
        return kUnreadable;
    if (bang == std::string::npos) return read(home_sheet(), a.r1, a.c1, a.r2, a.c2);
    return range(text.substr(0, bang), a.r1, a.c1, a.r2, a.c2);
}

const Range &Cells::range(const std::string &sheetname, Index r1, Index c1, Index r2, Index c2) {
    if (r1 < 0 || c1 < 0 || r2 < r1 || c2 < c1 || r2 >= kRows || c2 >= kColumns) return kUnreadable;
    return read(sheet_named(a1::unquoted(sheetname)), r1, c1, r2, c2);
}

const Range &Cells::read(Sheet &sheet, Index r1, Index c1, Index r2, Index c2) {
    if (sheet.table.is_none()) return kUnreadable;
    auto key = std::make_tuple(static_cast<const Sheet *>(&sheet), r1, c1, r2, c2);
    auto cached = m_cache.find(key);
    if (cached != m_cache.end()) return cached->second;

    Range out;
    const auto span = std::make_pair(r1, r2);
    auto block = sheet.blocks.find(span);
    // One column of a span is read down the column; from the second on, the
    // writer scores many columns of the same rows: read them all, row-wise.
    if (m_reading == Reading::Many && c1 == c2 && block == sheet.blocks.end() &&
        sheet.columns_read[span]++ >= 1)
        block = sheet.blocks.emplace(span, read_block(sheet, r1, r2)).first;
    if (c1 == c2 && block != sheet.blocks.end() && block->second.usable) {
        Block &b = block->second;
        if (at(c1) < b.columns.size() && b.columns[at(c1)].readable) {
            Range &column = b.columns[at(c1)];
            std::vector<bool> &written = b.written[at(c1)];
            for (size_t i = 0; i < written.size(); ++i)
                if (written[i]) column.values[i] = as_written(column.values[i]);
            written.clear();
            out = column;
        } else {
            out = Range::empty_column(r2 - r1 + 1);
        }
    } else {
        out = read_cells(sheet, r1, c1, r2, c2);
    }
    return m_cache.emplace(key, std::move(out)).first->second;
}

}  // namespace sheetcells
