#include "reportbook/cellvalues.hpp"

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <cstring>

namespace cellvalues {
namespace {

const char *const kDiv0 = "#DIV/0!";
const char *const kNum = "#NUM!";

// Compensated (Neumaier) sum in the widest type at hand: spreadsheet
// applications sum with compensation too, and the tests hold the results to
// a relative 1e-12 of theirs even over thousands of cells.
struct Sum {
    long double s = 0.0L, c = 0.0L;
    void add(long double x) {
        long double t = s + x;
        if (std::fabs(s) >= std::fabs(x))
            c += (s - t) + x;
        else
            c += (x - t) + s;
        s = t;
    }
    long double get() const { return s + c; }
};

// Powers of ten for as_written(): exact up to 1e27 in an x87 long double,
// which covers every value with a decimal exponent from -12 to 42.
struct Powers {
    long double p[310], r[310];
    Powers() {
        p[0] = 1.0L;
        for (int i = 1; i < 310; ++i) p[i] = p[i - 1] * 10.0L;
        for (int i = 0; i < 310; ++i) r[i] = 1.0L / p[i];
    }
};
const Powers kPowers;
// volatile: the compiler must not fold (m + c) - c away.
volatile long double kRounder = 1.5L * 9223372036854775808.0L;

long double scaled(double v, int k) {
    return k >= 0 ? (long double)v * kPowers.p[k] : (long double)v * kPowers.r[-k];
}

// Cell kinds by the name of XlsxWriter's cell tuple type (its names are the
// same in every release; the Python names of the types are not).
enum CellType { kNumberCell, kBlankCell, kFormulaCell, kOtherCell };

CellType cell_type_named(const char *name) {
    // "Datetime" (newer releases) holds the serial number the file stores.
    if (!std::strcmp(name, "Number") || !std::strcmp(name, "Datetime")) return kNumberCell;
    if (!std::strcmp(name, "Blank")) return kBlankCell;
    if (!std::strcmp(name, "Formula")) return kFormulaCell;
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

inline void prefetch(const void *p) {
#if defined(__GNUC__)
    __builtin_prefetch(p);
#else
    (void)p;
#endif
}

// "A1" reference pieces: "$AB$12" -> (11, 27).
bool parse_cell(const std::string &s, size_t &i, Index &row, Index &col) {
    if (i < s.size() && s[i] == '$') ++i;
    Index c = 0;
    size_t start = i;
    while (i < s.size() && s[i] >= 'A' && s[i] <= 'Z' && i - start < 3) c = c * 26 + (s[i++] - 'A' + 1);
    if (i == start) return false;
    if (i < s.size() && s[i] == '$') ++i;
    Index r = 0;
    start = i;
    while (i < s.size() && s[i] >= '0' && s[i] <= '9' && i - start < 8) r = r * 10 + (s[i++] - '0');
    if (i == start || r == 0) return false;
    row = r - 1;
    col = c - 1;
    return true;
}

bool parse_range(const std::string &s, Index &r1, Index &c1, Index &r2, Index &c2) {
    size_t i = 0;
    if (!parse_cell(s, i, r1, c1)) return false;
    r2 = r1;
    c2 = c1;
    if (i < s.size()) {
        if (s[i] != ':') return false;
        ++i;
        if (!parse_cell(s, i, r2, c2) || i != s.size()) return false;
    }
    // A range written upside down ("E2:E1") is the same cells.
    if (r1 > r2) std::swap(r1, r2);
    if (c1 > c2) std::swap(c1, c2);
    return true;
}

const Range kUnreadable{};

bool same_size(const Range &x, const Range &y) { return x.size() == y.size(); }

}  // namespace

// --- results -------------------------------------------------------------

Result Result::number(double v) {
    // An overflow is the spreadsheet's #NUM!, but whether a step on the way
    // overflows there as well is not certain: leave it to the application.
    return std::isfinite(v) ? Result(kNumber, v, "") : Result();
}

object Result::to_python() const {
    switch (kind_) {
        case kNumber: return py::real(value_);
        case kError: return nb::str(code_);
        default: return nb::str("");
    }
}

namespace {

// The result of an operator on two operands that are not both numbers.
Result propagate(const Result &a, const Result &b) {
    if (a.is_unknown() || b.is_unknown()) return Result::unknown();
    if (a.is_error() && b.is_error() && std::strcmp(a.code(), b.code()) != 0)
        return Result::unknown();  // which of two errors wins is the application's choice
    return a.is_error() ? a : b;
}

}  // namespace

Result operator+(const Result &a, const Result &b) {
    if (!a.is_number() || !b.is_number()) return propagate(a, b);
    return Result::number(a.value() + b.value());
}

Result operator-(const Result &a, const Result &b) {
    if (!a.is_number() || !b.is_number()) return propagate(a, b);
    return Result::number(a.value() - b.value());
}

Result operator*(const Result &a, const Result &b) {
    if (!a.is_number() || !b.is_number()) return propagate(a, b);
    return Result::number(a.value() * b.value());
}

Result operator/(const Result &a, const Result &b) {
    if (!a.is_number() || !b.is_number()) return propagate(a, b);
    if (b.value() == 0.0) return Result::error(kDiv0);
    return Result::number(a.value() / b.value());
}

Result SQRT(const Result &a) {
    if (!a.is_number()) return a;
    if (a.value() < 0.0) return Result::error(kNum);
    return Result::number(std::sqrt(a.value()));
}

// --- functions -------------------------------------------------------------
// Each gives a result only over cells that are all numbers, or all empty
// where the function's definition settles that case; otherwise unknown.

Result SUM(const Range &r) {
    if (r.all_empty()) return Result::number(0.0);
    if (!r.all_numbers()) return Result::unknown();
    Sum s;
    for (double v : r.values) s.add(v);
    return Result::number((double)s.get());
}

Result SUMXMY2(const Range &x, const Range &y) {
    if (!x.readable || !y.readable || !same_size(x, y)) return Result::unknown();
    // Pairs with an empty cell on either side do not count: none is left.
    if ((x.all_empty() && (y.all_numbers() || y.all_empty())) || (y.all_empty() && x.all_numbers()))
        return Result::number(0.0);
    if (!x.all_numbers() || !y.all_numbers()) return Result::unknown();
    Sum s;
    for (size_t i = 0; i < x.size(); ++i) {
        long double d = (long double)x.values[i] - (long double)y.values[i];
        s.add(d * d);
    }
    return Result::number((double)s.get());
}

Result PEARSON(const Range &x, const Range &y) {
    if (!x.all_numbers() || !y.all_numbers() || !same_size(x, y) || x.size() == 0)
        return Result::unknown();
    const size_t n = x.size();
    // A constant column has no spread: the correlation divides by zero.  It
    // is tested on the values themselves, since a computed mean of equal
    // values can miss them by a rounding step.
    bool xconst = std::all_of(x.values.begin(), x.values.end(), [&](double v) { return v == x.values[0]; });
    bool yconst = std::all_of(y.values.begin(), y.values.end(), [&](double v) { return v == y.values[0]; });
    if (xconst || yconst) return Result::error(kDiv0);
    Sum sx, sy;
    for (size_t i = 0; i < n; ++i) {
        sx.add(x.values[i]);
        sy.add(y.values[i]);
    }
    const long double mx = sx.get() / n, my = sy.get() / n;
    Sum sxy, sxx, syy;
    for (size_t i = 0; i < n; ++i) {
        long double dx = x.values[i] - mx, dy = y.values[i] - my;
        sxy.add(dx * dy);
        sxx.add(dx * dx);
        syy.add(dy * dy);
    }
    const long double den = std::sqrt(sxx.get() * syy.get());
    if (!(den > 0.0L)) return Result::error(kDiv0);
    return Result::number((double)(sxy.get() / den));
}

Result AVERAGE(const Range &r) {
    if (r.all_empty()) return Result::error(kDiv0);
    if (!r.all_numbers()) return Result::unknown();
    Sum s;
    for (double v : r.values) s.add(v);
    return Result::number((double)(s.get() / r.size()));
}

Result STDEVA(const Range &r) {
    if (r.all_empty()) return Result::error(kDiv0);
    if (!r.all_numbers()) return Result::unknown();
    const size_t n = r.size();
    if (n < 2) return Result::error(kDiv0);
    Sum s;
    for (double v : r.values) s.add(v);
    const long double m = s.get() / n;
    Sum d;
    for (double v : r.values) d.add((v - m) * (v - m));
    return Result::number((double)std::sqrt(d.get() / (n - 1)));
}

Result COUNTA(const Range &r) {
    if (r.all_empty()) return Result::number(0.0);
    if (!r.all_numbers()) return Result::unknown();
    return Result::number((double)r.size());
}

Result MIN(const Range &r) {
    if (r.all_empty()) return Result::number(0.0);
    if (!r.all_numbers()) return Result::unknown();
    return Result::number(*std::min_element(r.values.begin(), r.values.end()));
}

Result MAX(const Range &r) {
    if (r.all_empty()) return Result::number(0.0);
    if (!r.all_numbers()) return Result::unknown();
    return Result::number(*std::max_element(r.values.begin(), r.values.end()));
}

Result REF(const Range &r) {
    if (r.size() != 1 || !r.all_numbers()) return Result::unknown();
    return Result::number(r.values[0]);
}

namespace {

// The results of a function over every leading part of a one-column range:
// `add` takes each number in turn, `value(n)` gives the result of a leading
// part of n numbers.  A part of empty cells only, or of fewer than `least`
// numbers, is #DIV/0!; a part holding anything else is left to the
// application.
template <class Add, class Value>
std::vector<Result> running(const Range &r, size_t least, Add add, Value value) {
    std::vector<Result> out;
    out.reserve(r.size());
    size_t numbers = 0, empties = 0;
    for (size_t k = 0; k < r.size(); ++k) {
        if (!r.readable) {
            out.push_back(Result::unknown());
            continue;
        }
        if (r.kinds[k] == Range::kNumber) {
            ++numbers;
            add(r.values[k], numbers);
        } else if (r.kinds[k] == Range::kEmpty) {
            ++empties;
        }
        if (empties == k + 1 || (numbers == k + 1 && numbers < least))
            out.push_back(Result::error(kDiv0));
        else if (numbers == k + 1)
            out.push_back(Result::number(value(numbers)));
        else
            out.push_back(Result::unknown());
    }
    return out;
}

}  // namespace

std::vector<Result> running_average(const Range &r) {
    Sum s;
    return running(
        r, 1, [&](double v, size_t) { s.add(v); },
        [&](size_t n) { return (double)(s.get() / n); });
}

std::vector<Result> running_stdeva(const Range &r) {
    // Welford's update: the spread of every leading part in one pass, as
    // exact as the two-pass sum of squared deviations.
    long double mean = 0.0L, m2 = 0.0L;
    return running(
        r, 2,
        [&](double v, size_t n) {
            long double delta = v - mean;
            mean += delta / n;
            m2 += delta * (v - mean);
        },
        [&](size_t n) { return (double)std::sqrt(std::max(m2, 0.0L) / (n - 1)); });
}

double as_written(double v) {
#if LDBL_MANT_DIG == 64
    if (v == 0.0 || !std::isfinite(v)) return v;
    // Sixteen significant digits: scale to an integer of 16 digits, round
    // it, scale back; in the x87 format, whose 64-bit mantissa holds the
    // scaled value with 10 bits to spare.  A value within those bits of a
    // decimal tie may come out one digit off in the 16th place.
    int e2 = 0;
    std::frexp(v, &e2);
    int k = 15 - (int)std::floor((e2 - 1) * 0.30102999566398120);
    if (k < -300 || k > 300) return v;
    long double m = scaled(v, k);
    if (std::fabs(m) >= 1e16L) m = scaled(v, --k);
    // Adding and taking away 1.5 * 2^63 rounds to an integer (ties to even,
    // like the formatting), much faster than nearbyintl.
    const long double magic = kRounder;
    long double n = m >= 0 ? (m + magic) - magic : -((-m + magic) - magic);
    return (double)(k >= 0 ? n * kPowers.r[k] : n * kPowers.p[-k]);
#else
    // Without an extended format the rounding cannot be done exactly enough
    // to be worth it; the values then differ from the file's in the 17th
    // digit at most.
    return v;
#endif
}

// --- reading the sheets ------------------------------------------------------

Cells::Cells(handle book, handle home) : book_(nb::borrow(book)), home_(nb::borrow(home)) {}

Cells::Sheet Cells::load(handle worksheet) {
    Sheet s;
    s.table = nb::none();
    if (worksheet.is_none()) return s;
    // In constant_memory mode the rows above the last one written are
    // already in the file and gone from the table.
    PyObject *cm = PyObject_GetAttrString(worksheet.ptr(), "constant_memory");
    if (!cm) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) py::raise_pending();
        PyErr_Clear();
    } else if (py::truthy(py::steal(cm))) {
        return s;
    }
    PyObject *table = PyObject_GetAttrString(worksheet.ptr(), "table");
    if (!table) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) py::raise_pending();
        PyErr_Clear();
        return s;
    }
    object t = py::steal(table);
    if (PyDict_Check(t.ptr())) s.table = t;
    return s;
}

Cells::Sheet &Cells::home_sheet() {
    if (!home_loaded_) {
        home_sheet_ = load(home_);
        home_loaded_ = true;
    }
    return home_sheet_;
}

void Cells::know(handle worksheet) {
    std::string name = py::utf8(py::getattr(worksheet, "name"));
    if (others_.find(name) == others_.end()) others_.emplace(name, load(worksheet));
}

Cells::Sheet &Cells::sheet_named(const std::string &name) {
    auto found = others_.find(name);
    if (found != others_.end()) return found->second;
    if (name == py::utf8(py::getattr(home_, "name"))) return home_sheet();
    object ws = nb::none();
    if (!book_.is_none()) ws = book_.attr("get_worksheet_by_name")(py::text(name));
    return others_.emplace(name, load(ws)).first->second;
}

PyObject *Cells::row_of(Sheet &s, Index row) {
    if ((size_t)row < s.rows.size() && s.rows[row].is_valid()) return s.rows[row].ptr();
    object key = py::num(row);
    PyObject *found = PyDict_GetItemWithError(s.table.ptr(), key.ptr());
    if (!found) {
        if (PyErr_Occurred()) py::raise_pending();
        return nullptr;  // not kept: a row written later must be seen
    }
    if (!PyDict_Check(found)) return nullptr;
    if ((size_t)row >= s.rows.size()) s.rows.resize(row + 1);
    s.rows[row] = nb::borrow(found);
    return found;
}

Range::Cell Cells::classify(PyObject *cell, double &v, bool &written, bool *deferred) {
    v = 0.0;
    written = false;
    if (!cell) return Range::kEmpty;
    if (!PyTuple_Check(cell)) return Range::kOther;
    PyTypeObject *type = Py_TYPE(cell);
    if (type != last_type_) {
        auto known = cell_types_.find(type);
        if (known == cell_types_.end())
            known = cell_types_.emplace(type, cell_type_named(type->tp_name)).first;
        last_type_ = type;
        last_kind_ = known->second;
    }
    const Py_ssize_t len = PyTuple_GET_SIZE(cell);
    switch (last_kind_) {
        case kNumberCell:
            if (deferred && len >= 1 && !plain_number(PyTuple_GET_ITEM(cell, 0))) {
                *deferred = true;
                return Range::kOther;
            }
            if (len >= 1 && number_of(PyTuple_GET_ITEM(cell, 0), v)) {
                written = true;
                return Range::kNumber;
            }
            return Range::kOther;
        case kBlankCell: return Range::kEmpty;
        case kFormulaCell: {
            // A formula with a stored float result (as this module writes
            // them) counts as that number; its text holds it exactly.
            // XlsxWriter's default result 0 is an int and says nothing.
            PyObject *value = len >= 3 ? PyTuple_GET_ITEM(cell, 2) : nullptr;
            if (value && PyFloat_Check(value) && std::isfinite(PyFloat_AS_DOUBLE(value))) {
                v = PyFloat_AS_DOUBLE(value);
                return Range::kNumber;
            }
            return Range::kOther;
        }
        default: return Range::kOther;
    }
}

void Cells::read_cell(Range &out, PyObject *cell) {
    double v;
    bool written;
    Range::Cell kind = classify(cell, v, written, nullptr);
    out.kinds.push_back(kind);
    out.values.push_back(written ? as_written(v) : v);
    if (kind == Range::kNumber) ++out.numbers;
    if (kind == Range::kEmpty) ++out.empties;
}

Range Cells::read_cells(Sheet &sheet, Index r1, Index c1, Index r2, Index c2) {
    Range out;
    out.readable = true;
    out.rows = r2 - r1 + 1;
    out.cols = c2 - c1 + 1;
    out.kinds.reserve(out.rows * out.cols);
    out.values.reserve(out.rows * out.cols);
    std::vector<object> colkeys;
    for (Index c = c1; c <= c2; ++c) colkeys.push_back(py::num(c));
    for (Index r = r1; r <= r2; ++r) {
        PyObject *row = row_of(sheet, r);
        for (const object &colkey : colkeys) {
            PyObject *cell = nullptr;
            if (row) {
                cell = PyDict_GetItemWithError(row, colkey.ptr());
                if (!cell && PyErr_Occurred()) py::raise_pending();
            }
            read_cell(out, cell);
        }
    }
    return out;
}

Cells::Block Cells::read_block(Sheet &sheet, Index r1, Index r2) {
    // The widest sheet XlsxWriter writes.
    constexpr Index kColumns = 16384;
    // How many cells ahead a cell's number is fetched from memory, so that
    // reading one does not wait for the one before.
    constexpr size_t kAhead = 8;
    const size_t n = (size_t)(r2 - r1 + 1);

    // The cells of each column, borrowed: from here to the end of the second
    // pass no Python code runs, so none of them can go.
    std::vector<std::vector<PyObject *>> cells;
    for (Index r = r1; r <= r2; ++r) {
        object key = py::num(r);
        PyObject *row = PyDict_GetItemWithError(sheet.table.ptr(), key.ptr());
        if (!row) {
            if (PyErr_Occurred()) py::raise_pending();
            continue;
        }
        if (!PyDict_Check(row)) return Block();
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
            if ((size_t)c >= cells.size()) cells.resize(c + 1);
            if (cells[c].empty()) cells[c].assign(n, nullptr);
            cells[c][(size_t)(r - r1)] = cell;
        }
    }

    Block block;
    block.columns.resize(cells.size());
    std::vector<std::pair<size_t, size_t>> deferred;  // (column, row) to convert afterwards
    for (size_t c = 0; c < cells.size(); ++c) {
        const std::vector<PyObject *> &column = cells[c];
        if (column.empty()) continue;
        Range &out = block.columns[c];
        out.readable = true;
        out.rows = (Index)n;
        out.cols = 1;
        out.kinds.resize(n);
        out.values.resize(n);
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
            out.kinds[i] = kind;
            out.values[i] = written ? as_written(v) : v;
            if (kind == Range::kNumber) ++out.numbers;
            if (kind == Range::kEmpty) ++out.empties;
        }
    }
    cells.clear();

    // Numbers of other types convert through Python code, which could change
    // the sheet: each is looked up again and held while it converts.
    for (auto &at : deferred) {
        object rowkey = py::num(r1 + (Index)at.second), colkey = py::num((Index)at.first);
        PyObject *row = PyDict_GetItemWithError(sheet.table.ptr(), rowkey.ptr());
        if (!row && PyErr_Occurred()) py::raise_pending();
        object held_row = row ? nb::borrow(row) : object();
        PyObject *cell = nullptr;
        if (row && PyDict_Check(row)) {
            cell = PyDict_GetItemWithError(row, colkey.ptr());
            if (!cell && PyErr_Occurred()) py::raise_pending();
        }
        object held = cell ? nb::borrow(cell) : object();
        double v;
        bool written;
        Range::Cell kind = classify(cell, v, written, nullptr);
        Range &out = block.columns[at.first];
        if (kind == Range::kNumber) ++out.numbers;
        if (kind == Range::kEmpty) ++out.empties;
        out.kinds[at.second] = kind;
        out.values[at.second] = written ? as_written(v) : v;
    }
    block.usable = true;
    return block;
}

const Range &Cells::range(const std::string &ref) {
    std::string where = ref, sheetname;
    size_t bang = ref.rfind('!');
    bool qualified = bang != std::string::npos;
    if (qualified) {
        sheetname = ref.substr(0, bang);
        where = ref.substr(bang + 1);
        if (sheetname.size() >= 2 && sheetname.front() == '\'' && sheetname.back() == '\'') {
            std::string inner = sheetname.substr(1, sheetname.size() - 2), name;
            for (size_t i = 0; i < inner.size(); ++i) {
                name += inner[i];
                if (inner[i] == '\'' && i + 1 < inner.size() && inner[i + 1] == '\'') ++i;
            }
            sheetname = name;
        }
    }
    Index r1, c1, r2, c2;
    if (!parse_range(where, r1, c1, r2, c2)) return kUnreadable;
    Sheet &sheet = qualified ? sheet_named(sheetname) : home_sheet();
    if (sheet.table.is_none()) return kUnreadable;

    auto key = std::make_tuple(static_cast<const Sheet *>(&sheet), r1, c1, r2, c2);
    auto cached = cache_.find(key);
    if (cached != cache_.end()) return cached->second;

    Range out;
    const auto span = std::make_pair(r1, r2);
    auto block = sheet.blocks.find(span);
    // One column of a span is read down the column; from the second on, the
    // writer scores many columns of the same rows: read them all, row-wise.
    if (c1 == c2 && block == sheet.blocks.end() && sheet.columns_read[span]++ >= 1)
        block = sheet.blocks.emplace(span, read_block(sheet, r1, r2)).first;
    if (c1 == c2 && block != sheet.blocks.end() && block->second.usable) {
        const std::vector<Range> &columns = block->second.columns;
        if ((size_t)c1 < columns.size() && columns[c1].readable) {
            out = columns[c1];
        } else {
            out.readable = true;
            out.rows = r2 - r1 + 1;
            out.cols = 1;
            out.kinds.assign((size_t)out.rows, Range::kEmpty);
            out.values.assign((size_t)out.rows, 0.0);
            out.empties = (size_t)out.rows;
        }
    } else {
        out = read_cells(sheet, r1, c1, r2, c2);
    }
    return cache_.emplace(key, std::move(out)).first->second;
}

}  // namespace cellvalues
