// A worksheet read into a Frame as pandas.read_excel with openpyxl reads it,
// by the native reader when it can: the same cell values (openpyxl's rules,
// then pandas' conversion of its cells), the same trimming of rows, and
// pandas' own parser for headers, index and types.  Whatever the native
// reader is unsure of goes to pandas, with the engine named.
#include "datareader/tablemine/tablemine.hpp"

#include "datareader/tablemine/cellvalues.hpp"
#include "datareader/tablemine/native/errors.hpp"
#include "datareader/tablemine/native/sheet.hpp"

#include <nanobind/ndarray.h>

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <optional>
#include <string_view>

namespace mine {
namespace {

using native::Cell;
using native::CellType;
using native::Unsure;

// What one cell is worth in the rows pandas parses: openpyxl's reading of
// the cell (read-only, cached values of formulas), then pandas'
// _convert_cell.
class CellRules {
public:
    explicit CellRules(const native::Book &book)
        : m_cells(book, BookCells::Durations::AsReadOnly),
          m_nan(nb::module_::import_("numpy").attr("nan")), m_empty(pyutil::text("")) {}

    const object &empty() const { return m_empty; }
    const object &nan() const { return m_nan; }

    object value(const Cell &cell) {
        if (!cell.has_value) return m_empty;
        if (cell.type == CellType::Number) return number(cell);
        if (cell.type == CellType::Error) return m_nan;
        return m_cells.text_value(cell);
    }

    // Whether openpyxl takes the cell's style for a date or a duration.
    // Native: callable without the GIL.
    bool dated(const Cell &cell) const { return m_cells.date_style(cell) != 0; }
    // Whether value(cell) is the empty text, told without Python (Unsure for
    // an odd string index, as value() would be).
    bool empty_text(const Cell &cell) const {
        if (!cell.has_value) return true;
        if (cell.type == CellType::Shared) return m_cells.shared_text(cell.value).empty();
        return cell.type == CellType::Inline && cell.value.empty();
    }

    // The warnings of the cells read, given once the part is read: a part
    // read again, or handed to pandas, warns once.
    void warn() {
        for (const std::string &msg : m_warnings)
            if (PyErr_WarnEx(PyExc_UserWarning, msg.c_str(), 1) < 0) pyutil::raise_pending();
        m_warnings.clear();
    }
    void forget_warnings() { m_warnings.clear(); }

private:
    object number(const Cell &cell) {
        const std::string &text = cell.value;
        bool real = text.find_first_of(".eE") != std::string::npos;
        double d = 0;
        object value = real ? nb::float_(d = python_float(text)) : python_int(text);
        if (char style = m_cells.date_style(cell)) {
            object date = m_cells.serial_date(value, style == 2);
            if (date.is_valid()) return date;
            // openpyxl's words and outcome: an error cell, NaN for pandas
            m_warnings.push_back(BookCells::beyond_dates(cell, value));
            return m_nan;
        }
        if (!real) return value;
        // pandas gives an integral float as an int; int() of an infinity or
        // a NaN raises there.
        if (!std::isfinite(d)) throw Unsure("a number pandas refuses: " + native::excerpt(text));
        if (std::floor(d) == d) return pyutil::steal(PyLong_FromDouble(d));
        return value;
    }

    BookCells m_cells;
    object m_nan, m_empty;
    std::vector<std::string> m_warnings;
};

object parse_rows(nb::list data, SheetLayout layout);

// The numbers of one column, grown by realloc(): a large buffer is then
// mapped memory that grows in place (mremap), where a vector's copy would
// leave the old block in the heap, counted in the read's peak.  Its memory
// is handed to numpy whole (release()).
class NumberBuffer {
public:
    NumberBuffer() = default;
    NumberBuffer(NumberBuffer &&other) noexcept { *this = std::move(other); }
    NumberBuffer &operator=(NumberBuffer &&other) noexcept {
        std::swap(m_data, other.m_data);
        std::swap(m_size, other.m_size);
        std::swap(m_capacity, other.m_capacity);
        return *this;
    }
    ~NumberBuffer() { std::free(m_data); }

    std::size_t size() const { return m_size; }
    bool empty() const { return m_size == 0; }
    double operator[](std::size_t i) const { return m_data[i]; }
    double *data() { return m_data; }

    // `n` slots from the size on, NaN: no number is NaN.
    void resize(std::size_t n) {
        if (n <= m_size) return;
        reserve(n);
        std::fill(m_data + m_size, m_data + n, std::numeric_limits<double>::quiet_NaN());
        m_size = n;
    }
    void push_back(double v) {
        if (m_size == m_capacity) reserve(m_capacity < 512 ? 1024 : m_capacity * 2);
        m_data[m_size++] = v;
    }
    // The memory, to be freed with std::free by its new owner.
    double *release() {
        double *out = m_data;
        m_data = nullptr;
        m_size = m_capacity = 0;
        return out;
    }

private:
    void reserve(std::size_t n) {
        if (n <= m_capacity) return;
        if (n > std::numeric_limits<std::size_t>::max() / sizeof(double)) throw std::bad_alloc();
        void *grown = std::realloc(m_data, n * sizeof(double));
        if (!grown) throw std::bad_alloc();
        m_data = static_cast<double *>(grown);
        m_capacity = n;
    }

    double *m_data = nullptr;
    std::size_t m_size = 0, m_capacity = 0;
};

// The data cells in number columns from which making the columns here pays.
constexpr std::size_t kColumnsFloor = 4096;

// The rows as pandas' get_sheet_data leaves them: trailing empty cells
// dropped, trailing empty rows dropped, then every row padded to the widest.
// Only the cells with a value are kept while the part is read, so that
// memory follows what the part holds; the padded rows are made once the grid
// they make is known to be within bounds.
//
// A column whose data cells are all numbers pandas' parser would read as
// int64 or float64 without a doubt (ints within 2**53, floats, blanks) is
// made here as a numpy array: its numbers never become Python objects, and
// pandas' parser sees blanks in their place.  What it saves, in the bench
// rows "peak growth / Frame" (a 2-core machine shared with other builds):
// the 100,000 x 11 sheet of numbers grows the process by 14 MiB for a Frame
// of 8 MiB (1.8 x), 80 MiB (10.5 x) with every column left to the parser,
// in 0.22 s of CPU against 0.40 s; the 1,000,000 x 1 sheet by 17 MiB
// (2.2 x) against 154 MiB (20 x), in 0.20 s against 1.0 s.
//
// The rows are taken without the GIL (row() touches no Python object): the
// other cells are kept as they came, and made Python values by values()
// once the part is read, the GIL held again.
class SheetRows : public native::RowSink {
public:
    SheetRows(const native::Book &book, SheetLayout layout)
        : m_rules(book), m_header(layout == SheetLayout::PropertyTable ? 1 : 0),
          m_index_column(layout == SheetLayout::Indexed) {}

    // The numbers of the data rows go straight into their column's buffer
    // (8 bytes a cell, no entry, no Python object), which becomes the
    // column's array: memory near the Frame's, the "peak growth / Frame"
    // rows of `make bench`.
    void row(const std::vector<const Cell *> &cells) override {
        bool data = m_rows > m_header;
        auto row = static_cast<std::uint32_t>(m_rows);
        std::size_t last = 0;  // 1 + the last column with a value
        if (m_columns.size() < cells.size()) m_columns.resize(cells.size());
        for (std::size_t i = 0; i < cells.size(); ++i) {
            if (!cells[i]) continue;
            auto column = static_cast<std::uint32_t>(i);
            if (data && !m_columns[i].other) {
                Number n;
                if (plain_number(*cells[i], n)) {
                    Column &col = m_columns[i];
                    (n.is_int ? col.ints : col.floats)++;
                    store_number(col, m_rows - m_header - 1, n.value);
                    last = i + 1;
                    continue;
                }
            }
            if (m_rules.empty_text(*cells[i])) continue;
            if (data) m_columns[i].other = true;
            m_entries.push_back(Entry{column, row, m_pending.size()});
            m_pending.push_back(*cells[i]);
            ++m_cells;
            last = i + 1;
        }
        ++m_rows;
        if (last > 0) {
            m_used = m_rows;
            m_width = std::max(m_width, last);
        }
    }

    void restart() override {
        m_entries.clear();
        m_pending.clear();
        m_columns.clear();
        m_rows = m_used = m_width = m_cells = m_slots = 0;
        m_rules.forget_warnings();
    }
    // The Python values of the cells kept as they came, in the order of the
    // part (openpyxl's warnings come in that order); then its warnings.
    void values() {
        m_values.reserve(m_pending.size());
        for (const Cell &cell : m_pending) m_values.push_back(m_rules.value(cell));
        std::vector<Cell>().swap(m_pending);
        m_rules.warn();
    }

    std::size_t rows() const { return m_used; }
    std::size_t width() const { return m_width; }
    std::size_t cells() const { return m_cells; }

    // The Frame pandas' parser makes of the rows.  When columns are made
    // here, the parser reads the others alone, and its column names come
    // from a parse of the header rows over a single blank row (names never
    // depend on the data).
    object frame(SheetLayout layout) {
        settle_columns();
        std::vector<std::size_t> made;
        for (std::size_t c = 0; c < m_width; ++c)
            if (m_columns[c].array) made.push_back(c);
        std::vector<std::ptrdiff_t> slot(m_width);
        for (std::size_t c = 0; c < m_width; ++c) slot[c] = static_cast<std::ptrdiff_t>(c);
        if (made.empty()) return parse_rows(rows(slot, m_width, m_used, false), layout);

        std::size_t offset = m_index_column ? 1 : 0;
        std::size_t count = m_used - m_header - 1;
        object head = parse_rows(rows(slot, m_width, m_header + 1, true), layout);
        object names = head.attr("columns");
        std::size_t kept = 0;
        for (std::size_t c = 0, next = 0; c < m_width; ++c) {
            if (next < made.size() && made[next] == c) {
                slot[c] = -1;
                ++next;
            } else {
                slot[c] = static_cast<std::ptrdiff_t>(kept++);
            }
        }
        if (nb::len(names) != m_width - offset)
            throw Unsure("the parser's names are not of the sheet's shape");
        // Every column made here: the parser only names them (the index too).
        object parsed, index;
        if (kept > 0) {
            parsed = parse_rows(rows(slot, kept, m_used, false), layout);
            if (nb::len(object(parsed.attr("columns"))) != kept - offset ||
                nb::len(parsed) != count)
                throw Unsure("the parser's Frame is not of the sheet's shape");
            index = parsed.attr("index");
        }

        std::vector<object> arrays = column_arrays(made, count);
        std::vector<object> made_column(m_width);
        for (std::size_t k = 0; k < made.size(); ++k) made_column[made[k]] = arrays[k];
        // the index as the parser makes it of the column (a range of ints
        // becomes a RangeIndex)
        if (kept == 0 && m_index_column)
            index = nb::module_::import_("pandas.core.indexes.base")
                        .attr("ensure_index_from_sequences")(
                            nb::make_tuple(made_column[0]),
                            nb::make_tuple(head.attr("index").attr("name")));
        else if (kept == 0)
            index = pandas_attr("RangeIndex")(count);
        object iloc = parsed.is_valid() ? object(parsed.attr("iloc")) : object();
        object all = nb::slice(nb::none(), nb::none(), nb::none());
        nb::dict by_position;
        for (std::size_t c = offset; c < m_width; ++c) {
            nb::int_ key(c - offset);
            if (slot[c] < 0)
                by_position[key] = made_column[c];
            else
                by_position[key] = iloc[nb::make_tuple(
                    all, nb::int_(slot[c] - static_cast<std::ptrdiff_t>(offset)))];
        }
        // The columns as they are: pandas would copy each into blocks of its own.
        nb::dict kw;
        kw["index"] = index;
        kw["copy"] = false;
        object rebuilt = pyutil::steal(PyObject_Call(pandas_attr("DataFrame").ptr(),
                                                     nb::make_tuple(by_position).ptr(), kw.ptr()));
        rebuilt.attr("columns") = names;
        return rebuilt;
    }

    // The property table's "property" and "value" columns as lists, as
    // list(frame["property"]) and list(frame["value"]) give them of the
    // Frame, when that is certain without pandas' parser; invalid otherwise
    // (the Frame decides).  Certain when each column holds a text that no
    // parse takes for a number, a truth value or a missing value: pandas then
    // keeps the column's objects as they are, but for its missing-value texts
    // (NaN) and for an object equal to an earlier one (that one).
    object property_columns() {
        if (m_used <= m_header + 1) return object();
        std::optional<std::uint32_t> names = title_column("property"),
                                     values = title_column("value");
        if (!names || !values) return object();
        object missing = nb::module_::import_("pandas._libs.parsers").attr("STR_NA_VALUES");
        nb::list name_list = data_column(*names), value_list = data_column(*values);
        if (!kept_as_objects(name_list, missing) || !kept_as_objects(value_list, missing))
            return object();
        return nb::make_tuple(name_list, value_list);
    }

private:
    // A cell kept as it came (its value in m_values); a sheet's rows and
    // columns fit 32 bits.  No entry per row: a long sheet of numbers keeps
    // nothing beside its columns' buffers.
    struct Entry {
        std::uint32_t column, row;
        std::size_t value;
    };
    struct Number {
        double value = 0;  // an int's too: every int kept here is within 2**53
        bool is_int = false;
    };
    struct Column {
        // by data row, NaN where the row has no number (no number is NaN)
        NumberBuffer numbers;
        std::size_t ints = 0, floats = 0;
        bool other = false;  // a data cell pandas reads otherwise
        bool array = false;  // made here
    };

    // A number cell without a date style, read as openpyxl and pandas'
    // _convert_cell read it (an integral float is an int), when its value
    // is certain in C++: an int within 2**53 or a finite float.
    bool plain_number(const Cell &cell, Number &n) {
        if (!cell.has_value || cell.type != CellType::Number || m_rules.dated(cell)) return false;
        const std::string &text = cell.value;
        switch (integer_text(text, n.value)) {
        case IntegerText::Short:
            n.is_int = true;
            return true;
        case IntegerText::Long:
            return false;  // an int beyond 2**53 may be one: Python's
        case IntegerText::None:
            break;
        }
        // Whatever from_chars reads whole, finite, is a decimal with a point
        // or an exponent (it takes no sign '+', no space, no hex).
        double v = 0;
        const char *begin = text.data(), *end = begin + text.size();
        auto [stop, err] = std::from_chars(begin, end, v, std::chars_format::general);
        if (err != std::errc() || stop != end || !std::isfinite(v)) return false;
        // every double from 2**53 on is integral, an int Python's alone
        if (std::fabs(v) >= 9007199254740992.0) return false;
        n.is_int = v == static_cast<double>(static_cast<std::int64_t>(v));
        n.value = v;
        return true;
    }

    // Digits with a "-" or none: Short within 15 digits, read in one pass and
    // exact as a double, as strtoll and the cast give it ("-0" is 0); Long
    // beyond them; None for any other text.
    enum class IntegerText { Short, Long, None };
    static IntegerText integer_text(const std::string &text, double &out) {
        const char *p = text.data(), *end = p + text.size();
        bool negative = p < end && *p == '-';
        p += negative;
        if (p == end) return IntegerText::None;
        std::size_t digits = static_cast<std::size_t>(end - p);
        std::int64_t v = 0;
        for (; p < end; ++p) {
            auto digit = static_cast<unsigned>(static_cast<unsigned char>(*p)) - '0';
            if (digit > 9) return IntegerText::None;
            if (digits <= 15) v = v * 10 + digit;
        }
        if (digits > 15) return IntegerText::Long;
        out = static_cast<double>(negative ? -v : v);
        return IntegerText::Short;
    }

    // A column's buffer is as long as its last number's row: a sheet of far
    // apart numbers in many columns would make it many times what the sheet
    // holds.  Beyond four slots a cell (and a floor no honest sheet meets
    // by its gaps) the sheet is the library's.
    void store_number(Column &col, std::size_t row, double number) {
        ++m_cells;
        std::size_t grown = row + 1 - std::min(row + 1, col.numbers.size());
        m_slots += grown;
        if (m_slots > 4 * m_cells + (std::size_t(1) << 20))
            throw Unsure("numbers too far apart for columns");
        col.numbers.resize(row);
        col.numbers.push_back(number);
    }

    // The number of column c in data row d as the parser takes it (an
    // integral number is an int); invalid where there is none.
    object number_at(std::size_t c, std::size_t d) const {
        const NumberBuffer &numbers = m_columns[c].numbers;
        if (d >= numbers.size() || std::isnan(numbers[d])) return object();
        double v = numbers[d];
        return std::floor(v) == v ? object(nb::int_(static_cast<long long>(v)))
                                  : object(nb::float_(v));
    }

    // The first `upto` rows for pandas' parser, each cell of column c at
    // slot[c] of a row `width` wide (none where slot[c] < 0); with a blank
    // row after them on request.
    nb::list rows(const std::vector<std::ptrdiff_t> &slot, std::size_t width, std::size_t upto,
                  bool blank_row) {
        nb::list out;
        std::vector<std::size_t> numbered;  // the columns with numbers the parser reads
        for (std::size_t c = 0; c < slot.size() && c < m_columns.size(); ++c)
            if (slot[c] >= 0 && !m_columns[c].numbers.empty()) numbered.push_back(c);
        std::size_t at = 0;
        PyObject *empty = m_rules.empty().ptr();
        for (std::size_t r = 0; r < upto + (blank_row ? 1 : 0); ++r) {
            PyObject *made = PyList_New(static_cast<Py_ssize_t>(width));
            if (!made) pyutil::raise_pending();
            // Cell values only (texts, numbers, dates): a row can be in no
            // cycle, and left to the cyclic collector, a sheet's rows would
            // make it sweep the whole heap again and again while they are made.
            PyObject_GC_UnTrack(made);
            nb::list row = nb::steal<nb::list>(made);
            for (std::size_t k = 0; k < width; ++k) {
                Py_INCREF(empty);
                PyList_SET_ITEM(made, static_cast<Py_ssize_t>(k), empty);
            }
            auto put = [&](std::ptrdiff_t k, object value) {
                PyObject *old = PyList_GET_ITEM(made, k);
                PyList_SET_ITEM(made, k, value.release().ptr());
                Py_DECREF(old);
            };
            for (; r < upto && at < m_entries.size() && m_entries[at].row == r; ++at) {
                const Entry &entry = m_entries[at];
                std::ptrdiff_t k = slot[entry.column];
                if (k >= 0) put(k, m_values[entry.value]);
            }
            if (r < upto && r > m_header)
                for (std::size_t c : numbered)
                    if (object v = number_at(c, r - m_header - 1); v.is_valid())
                        put(slot[c], std::move(v));
            out.append(row);
        }
        return out;
    }

    // The first column titled `title` in the header row: pandas' parser
    // names a later one "title.1".
    std::optional<std::uint32_t> title_column(const char *title) const {
        nb::str wanted(title);
        for (const Entry &e : m_entries) {
            if (e.row > m_header) break;
            const object &v = m_values[e.value];
            if (e.row == m_header && PyUnicode_CheckExact(v.ptr()) && v.equal(wanted))
                return e.column;
        }
        return std::nullopt;
    }

    // Column c's data cells as the parser is given them.
    nb::list data_column(std::uint32_t c) const {
        std::size_t count = m_used - m_header - 1;
        nb::list out;
        for (std::size_t d = 0; d < count; ++d) out.append(m_rules.empty());
        for (const Entry &e : m_entries)
            if (e.column == c && e.row > m_header && e.row < m_used)
                out[e.row - m_header - 1] = m_values[e.value];
        for (std::size_t d = 0; d < count; ++d)
            if (object v = number_at(c, d); v.is_valid()) out[d] = v;
        return out;
    }

    // pandas' reading of a column of objects (_infer_types): kept as objects
    // when the parse as numbers fails, which a text of none of the
    // characters of a number, infinity or NaN makes sure of.  An int beyond
    // 64 bits may end that parse early, and a column of truth-value texts
    // is parsed again as bools: such columns are left to the parser.  What
    // is kept is what sanitize_objects leaves (in place in `column`).
    bool kept_as_objects(nb::list column, handle missing) const {
        bool certain = false;
        for (handle v : column) {
            if (PyLong_CheckExact(v.ptr())) {
                int overflow = 0;
                PyLong_AsLongLongAndOverflow(v.ptr(), &overflow);
                if (overflow) return false;
            } else if (PyUnicode_CheckExact(v.ptr()) && !certain) {
                certain = plain_text(v, missing);
            }
        }
        if (!certain) return false;
        nb::dict memo;
        for (std::size_t i = 0, n = nb::len(column); i < n; ++i) {
            object v = column[i];
            if (PyUnicode_CheckExact(v.ptr()) && PySet_Contains(missing.ptr(), v.ptr()) == 1) {
                column[i] = m_rules.nan();
            } else if (PyObject *seen = PyDict_GetItemWithError(memo.ptr(), v.ptr())) {
                column[i] = nb::borrow(seen);
            } else {
                if (PyErr_Occurred()) pyutil::raise_pending();
                memo[v] = v;
            }
        }
        return true;
    }

    // A text no parse reads as a number, a truth value or a missing value.
    static bool plain_text(handle text, handle missing) {
        int in_missing = PySet_Contains(missing.ptr(), text.ptr());
        if (in_missing != 0) {
            if (in_missing < 0) pyutil::raise_pending();
            return false;
        }
        Py_ssize_t size = 0;
        const char *utf8 = PyUnicode_AsUTF8AndSize(text.ptr(), &size);
        if (!utf8) {
            PyErr_Clear();
            return false;
        }
        std::string_view s(utf8, static_cast<std::size_t>(size));
        for (std::string_view word : {"True", "TRUE", "true", "False", "FALSE", "false"})
            if (s == word) return false;
        // the characters of numbers in any notation a parse might take (a
        // sign, digits, a point or comma, exponents, inf, infinity, nan,
        // radix prefixes, separators), and of blanks
        constexpr std::string_view number_chars =
            "0123456789+-.,_eEdDiInNfFtTyYaAxXoObBjJ \t\n\r\v\f";
        return s.find_first_not_of(number_chars) != std::string_view::npos;
    }

    // Which columns are made here: all their data cells numbers, at least one.
    void settle_columns() {
        m_columns.resize(std::max(m_columns.size(), m_width));
        if (m_used <= m_header + 1) return;
        std::size_t count = 0;
        for (std::size_t c = 0; c < m_width; ++c) {
            Column &col = m_columns[c];
            col.array = !col.other && col.ints + col.floats > 0;
            count += col.array;
        }
        // The index column is made here only with every other column: the
        // parser makes the index of the columns it reads.  A sheet of its
        // index alone is the parser's.
        if (m_index_column && (count < m_width || m_width == 1)) {
            count -= m_columns[0].array;
            m_columns[0].array = false;
        }
        // a second parse and a new Frame cost more than the few cells of a
        // small sheet
        if (count * (m_used - m_header - 1) < kColumnsFloor)
            for (Column &col : m_columns) col.array = false;
    }

    // Each made column as pandas' maybe_convert_numeric makes it: int64
    // when every data cell is an int, else float64 (NaN for blanks).  The
    // column's buffer becomes the array's memory (ints converted in place):
    // no copy of a column ever stands beside it.
    std::vector<object> column_arrays(const std::vector<std::size_t> &made, std::size_t rows) {
        std::vector<object> arrays;
        for (std::size_t c : made) {
            Column &col = m_columns[c];
            bool ints = col.floats == 0 && col.ints == rows;
            col.numbers.resize(std::max<std::size_t>(rows, 1));
            double *data = col.numbers.data();
            nb::capsule owner(data, [](void *p) noexcept { std::free(p); });
            col.numbers.release();  // the capsule's now
            std::size_t shape[1] = {rows};
            if (ints) {
                for (std::size_t r = 0; r < rows; ++r) {
                    auto v = static_cast<std::int64_t>(data[r]);
                    std::memcpy(data + r, &v, sizeof v);
                }
                arrays.push_back(nb::cast(nb::ndarray<nb::numpy, std::int64_t, nb::ndim<1>>(
                    reinterpret_cast<std::int64_t *>(data), 1, shape, owner)));
            } else {
                arrays.push_back(
                    nb::cast(nb::ndarray<nb::numpy, double, nb::ndim<1>>(data, 1, shape, owner)));
            }
        }
        return arrays;
    }

    CellRules m_rules;
    std::size_t m_header;  // the row of the column names
    bool m_index_column;   // column 0 is the index: pandas' parser makes it
    // Each cell with a value but the data rows' numbers (in their columns),
    // row after row.
    std::vector<Entry> m_entries;
    std::vector<Cell> m_pending;  // the Object entries' cells, until values()
    std::vector<object> m_values;
    std::vector<Column> m_columns;
    std::size_t m_rows = 0;  // the rows seen
    std::size_t m_used = 0, m_width = 0;
    std::size_t m_cells = 0;  // with a value
    std::size_t m_slots = 0;  // of the columns' buffers
};

// The keywords of pandas.read_excel that make each of the module's reads.
nb::dict layout_keywords(SheetLayout layout) {
    nb::dict kw;
    if (layout == SheetLayout::Indexed) kw["index_col"] = 0;
    if (layout == SheetLayout::PropertyTable) {
        nb::list skip;
        skip.append(0);
        kw["skiprows"] = skip;
    }
    return kw;
}

// pandas' _parse_sheet for the module's reads (one header row, no list
// header, no list index): its own parser on the rows.
object parse_rows(nb::list data, SheetLayout layout) {
    object frame_class = pandas_attr("DataFrame");
    if (nb::len(data) == 0) return frame_class();
    nb::dict kw = layout_keywords(layout);
    kw["header"] = 0;
    if (!kw.contains("index_col")) kw["index_col"] = nb::none();
    kw["has_index_names"] = false;
    kw["skip_blank_lines"] = false;
    object text_parser = nb::module_::import_("pandas.io.parsers").attr("TextParser");
    return pyutil::unless_exception(
        [&] {
            object parser = text_parser(data, **kw);
            return parser.attr("read")("nrows"_a = nb::none());
        },
        [&](nb::python_error &e) -> object {
            if (e.matches(nb::module_::import_("pandas.errors").attr("EmptyDataError")))
                return frame_class();
            // pandas words its errors with the sheet's name: let it
            throw Unsure("pandas' parser refuses the rows");
        });
}

// A sheet selector as the native reader looks it up: a name, or a position.
struct SheetKey {
    std::optional<std::string> name;
    long long position = -1;  // -1: none the native reader looks up
    bool unencodable = false;  // a name UTF-8 cannot hold
};

SheetKey sheet_key(handle sheet) {
    SheetKey key;
    if (PyUnicode_CheckExact(sheet.ptr())) {
        Py_ssize_t size = 0;
        const char *name = PyUnicode_AsUTF8AndSize(sheet.ptr(), &size);
        if (name)
            key.name.emplace(name, static_cast<std::size_t>(size));
        else
            PyErr_Clear(), key.unencodable = true;
    } else if (PyLong_CheckExact(sheet.ptr())) {
        long long i = PyLong_AsLongLong(sheet.ptr());
        if (i == -1 && PyErr_Occurred())
            PyErr_Clear();
        else
            key.position = i;
    }
    return key;
}

// Native: looked up without the GIL.
const native::Worksheet &find_sheet(const native::Book &book, const SheetKey &key) {
    const auto &sheets = book.worksheets();
    if (key.name) {
        const std::string &wanted = *key.name;
        for (const auto &ws : sheets)
            if (ws.name == wanted) return ws;
        for (const auto &chart : book.chartsheets())
            if (chart == wanted)
                throw native::Refused(native::Refused::Kind::Sheet,
                                      "Worksheet named '" + wanted + "' not found: '" + wanted +
                                          "' is a chartsheet, which holds a chart and no cells");
        throw Unsure("no such worksheet");
    }
    if (key.position >= 0 && key.position < static_cast<long long>(sheets.size()))
        return sheets[static_cast<std::size_t>(key.position)];
    throw Unsure("a sheet selector left to pandas");
}

// What a read gives: the Frame, or the property table's columns.
enum class Gives { Frame, PropertyColumns };

// list(frame["property"]) and list(frame["value"]), in that order.  (An
// accessor given to nb::list's constructor would be borrowed as a list
// unconverted: each column is taken as an object first.)
object property_columns_of(handle frame) {
    object name_column = frame["property"];
    nb::list names(name_column);
    object value_column = frame["value"];
    nb::list values(value_column);
    return nb::make_tuple(names, values);
}

// The book and sheet are found, and the part read, with the GIL released;
// the cells' Python values and the Frame are made with it held.
object read_native(File &file, handle sheet, SheetLayout layout, Gives gives,
                   native::Opened *opened) {
    SheetKey key = sheet_key(sheet);
    native::Opened here;
    if (!opened) {
        opened = &here;
        try {
            pyutil::without_gil([&] { opened->book.emplace(*file.path(), file.settings()); });
        } catch (std::bad_alloc &) {
            pyutil::raise(PyExc_MemoryError, "%s: out of memory reading the workbook's parts",
                          file.path()->c_str());
        }
    } else if (opened->error) {
        std::rethrow_exception(opened->error);
    }
    const native::Book &book = *opened->book;
    file.opened(book.archive());
    // the name's own error, once the book is known to be read here
    if (key.unencodable && !PyUnicode_AsUTF8AndSize(sheet.ptr(), nullptr)) pyutil::raise_pending();
    const native::Worksheet &ws = find_sheet(book, key);
    SheetRows rows(book, layout);
    try {
        pyutil::without_gil([&] { native::scan_rows(book, ws, rows); });
        rows.values();
        native::check_grid(book.settings(), ws.name, rows.rows(), rows.width(), rows.cells());
        if (gives == Gives::Frame) return rows.frame(layout);
        object columns = rows.property_columns();
        return columns.is_valid() ? columns : property_columns_of(rows.frame(layout));
    } catch (std::bad_alloc &) {
        throw native::out_of_memory(ws.name, rows.rows(), rows.width());
    } catch (nb::python_error &e) {
        if (!e.matches(PyExc_MemoryError)) throw;
        throw native::out_of_memory(ws.name, rows.rows(), rows.width());
    }
}

object read_with_library(handle read_excel, File &file, handle sheet, SheetLayout layout) {
    object engine = file.library_engine();
    guard_workbook(file);
    nb::dict kw = layout_keywords(layout);
    if (!engine.is_none()) kw["engine"] = engine;
    return read_excel(file.name(), sheet, **kw);
}

}  // namespace

namespace {

object read_sheet(handle filename, handle sheet, SheetLayout layout, Gives gives,
                  const native::Settings &settings, native::Opened *opened) {
    // A missing pandas fails here first, as every read through it did.
    object read_excel = pandas_attr("read_excel");
    File file(filename, settings);
    if (file.path()) {
        try {
            return read_native(file, sheet, layout, gives, opened);
        } catch (Unsure &e) {
            file.library_engine();  // no workbook: said so, whichever reader
            if (settings.native_only) raise_unsure(filename, e);
        } catch (native::Refused &e) {
            file.check_unchanged();
            raise_refusal(filename, e);
        } catch (std::bad_alloc &) {
            raise_refusal(filename, native::Refused(native::Refused::Kind::Memory,
                                                    "out of memory reading the workbook"));
        }
    }
    try {
        object frame = read_with_library(read_excel, file, sheet, layout);
        return gives == Gives::Frame ? frame : property_columns_of(frame);
    } catch (nb::python_error &e) {
        if (e.matches(PyExc_Exception)) file.check_unchanged(e.value());
        throw;
    }
}

}  // namespace

object read_sheet(handle filename, handle sheet, SheetLayout layout) {
    return read_sheet(filename, sheet, layout, Gives::Frame, read_settings(), nullptr);
}

PropertyColumns read_property_columns(handle filename, handle sheet,
                                      const native::Settings &settings, native::Opened *opened) {
    object both = read_sheet(filename, sheet, SheetLayout::PropertyTable, Gives::PropertyColumns,
                             settings, opened);
    return {nb::borrow<nb::list>(both[0]), nb::borrow<nb::list>(both[1])};
}

}  // namespace mine
