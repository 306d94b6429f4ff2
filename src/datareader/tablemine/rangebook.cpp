// The toolkit's Excel reader loads every sheet of a workbook through
// openpyxl's full reading, cell by cell, before it gives a single range: a
// few kilobytes of workbook naming a far cell take gigabytes.  Here the
// reader's results are made from the one sheet a range lies on, the cells
// outside the range passed over, with the values the full reading gives
// (numbers as written, dates, error texts, None for blanks) and the reader's
// own rules for ranges, titles and columns.
#include "datareader/tablemine/rangebook.hpp"

#include "datareader/tablemine/cellvalues.hpp"
#include "datareader/tablemine/native/errors.hpp"
#include "datareader/tablemine/native/parts.hpp"
#include "datareader/tablemine/native/sheet.hpp"
#include "datareader/tablemine/native/xml.hpp"
#include "toolkit/toolkit.hpp"

#include <algorithm>
#include <climits>
#include <cstring>
#include <map>

namespace mine::ranged {
namespace {

using native::Cell;
using native::CellType;
using native::Unsure;

// A Python str as UTF-8; Unsure for what has no UTF-8 form (lone
// surrogates), which no part of a workbook can hold.
std::string utf8_of(handle s) {
    Py_ssize_t size = 0;
    const char *data = PyUnicode_AsUTF8AndSize(s.ptr(), &size);
    if (!data) {
        PyErr_Clear();
        throw Unsure("a text without UTF-8 form");
    }
    return std::string(data, static_cast<std::size_t>(size));
}

// text % args, Python's %-formatting.
object formatted(const char *text, std::initializer_list<handle> args) {
    object tuple = pyutil::steal(PyTuple_New(static_cast<Py_ssize_t>(args.size())));
    Py_ssize_t i = 0;
    for (handle a : args) PyTuple_SET_ITEM(tuple.ptr(), i++, nb::borrow(a).release().ptr());
    return pyutil::steal(PyUnicode_Format(pyutil::text(text).ptr(), tuple.ptr()));
}

[[noreturn]] void raise_with(PyObject *type, const object &message) {
    pyutil::raise(handle(type)(message));
}

// The reader's own error `name` (each also the built-in error it stands
// for).  A reader module without it raises errors of its own: the reader
// class is then asked, so that both paths give one answer.
[[noreturn]] void raise_reader(const char *name, const object &message) {
    object cls = toolkit::excel_error(name);
    if (!cls.is_valid()) throw Unsure(std::string("the reader raises its own ") + name);
    pyutil::raise(cls(message));
}

// --- cell values ---------------------------------------------------------------

// A cell's value as openpyxl's full reading (data only) gives it.
class FullValues {
public:
    explicit FullValues(const native::Book &book)
        : m_cells(book, BookCells::Durations::Always),
          // Without cell styles the library keeps its one default style.
          m_style_count(book.style_formats().empty() ? 1 : book.style_formats().size()) {}

    // The library looks every cell's style up, and fails on one it lacks.
    void check_style(const Cell &cell) const {
        if (cell.style < 0 || static_cast<unsigned long long>(cell.style) >= m_style_count)
            throw Unsure("a cell style the workbook lacks");
    }

    // `error` tells a cell holding an error value, which the library types
    // as such: its text, or "#VALUE!" for a date beyond the calendar.
    object value(const Cell &cell, bool &error) {
        error = false;
        if (cell.type == CellType::Inline)
            return cell.has_value ? text_of(cell.value) : object(nb::none());
        if (!cell.has_value) return nb::none();
        if (cell.type == CellType::Number) return number(cell, error);
        error = cell.type == CellType::Error;
        return m_cells.text_value(cell);  // error cells keep their text
    }

private:
    object number(const Cell &cell, bool &error) {
        const std::string &text = cell.value;
        bool real = text.find_first_of(".eE") != std::string::npos;
        object value = real ? object(nb::float_(python_float(text))) : python_int(text);
        char style = m_cells.date_style(cell);
        if (!style) return value;
        object date = m_cells.serial_date(value, style == 2);
        if (date.is_valid()) return date;
        // openpyxl's words, and its error value
        std::string msg = BookCells::beyond_dates(cell, value);
        if (PyErr_WarnEx(PyExc_UserWarning, msg.c_str(), 1) < 0) pyutil::raise_pending();
        error = true;
        return pyutil::text("#VALUE!");
    }

    BookCells m_cells;
    std::size_t m_style_count;
};

// --- one sheet, scanned ----------------------------------------------------------

constexpr long long kUnbounded = LLONG_MAX;

// 1-based, inclusive.
struct Box {
    long long c1 = 1, r1 = 1, c2 = kUnbounded, r2 = kUnbounded;
    bool operator==(const Box &o) const {
        return c1 == o.c1 && r1 == o.r1 && c2 == o.c2 && r2 == o.r2;
    }
};

struct RowCells {
    long long number;
    std::vector<std::pair<long long, object>> cells;  // column, value, in the order written
    std::vector<long long> errors;                    // the columns holding an error value
};

// range_boundaries of openpyxl over `ref`, all four bounds; Unsure when it
// fails or leaves one open.
Box closed_bounds(handle range_boundaries, const std::string &ref) {
    PyObject *t = PyObject_CallOneArg(range_boundaries.ptr(), text_of(ref).ptr());
    if (!t) {
        PyErr_Clear();
        throw Unsure("a reference the library refuses: " + native::excerpt(ref));
    }
    object bounds = nb::steal(t);
    long long b[4];
    for (int i = 0; i < 4; ++i) {
        object v = bounds[nb::int_(i)];
        if (!PyLong_CheckExact(v.ptr())) throw Unsure("an open reference: " + native::excerpt(ref));
        b[i] = PyLong_AsLongLong(v.ptr());
        if (b[i] == -1 && PyErr_Occurred()) pyutil::raise_pending();
    }
    if (b[0] > b[2] || b[1] > b[3]) throw Unsure("a reversed reference: " + native::excerpt(ref));
    return Box{b[0], b[1], b[2], b[3]};
}

// The A1 name of a cell.
std::string cell_name(long long column, long long row) {
    return native::column_name(static_cast<std::uint64_t>(column)) + std::to_string(row);
}

// What a scan keeps: the first row holding a value within the box, all the
// box's rows, or only the extent of the sheet's cells.
enum class Keep { Header, Rows, Extent };

class RangeScan : public native::CellSink {
public:
    RangeScan(FullValues &values, handle range_boundaries, const Box &box, Keep keep, bool extent,
              bool rest)
        : m_values(values), m_range_boundaries(range_boundaries), m_box(box), m_keep(keep),
          m_extent(extent || keep == Keep::Extent), m_rest(rest || m_extent) {}

    void row(long long number, const std::vector<Cell> &cells, std::size_t count) override {
        // The full reading keys cells by their position: a row written
        // twice, or before an earlier one, merges with it there.
        if (number <= m_last_row) throw Unsure("rows out of order");
        m_last_row = number;
        bool keep = m_keep != Keep::Extent && number >= m_box.r1 && number <= m_box.r2;
        RowCells *out = nullptr;
        for (std::size_t i = 0; i < count; ++i) {
            const Cell &cell = cells[i];
            look_at(number, cell);
            long long column = cell.column;
            if (m_extent) extend(column, column, number, number);
            if (!keep || column < m_box.c1 || column > m_box.c2) continue;
            bool error = false;
            object value = m_values.value(cell, error);
            if (!out) {
                m_rows.push_back(RowCells{number, {}, {}});
                out = &m_rows.back();
            }
            if (!value.is_none()) m_valued = true;
            out->cells.emplace_back(column, std::move(value));
            if (error) out->errors.push_back(column);
        }
        if (m_extent) return;
        if (m_keep == Keep::Header && m_valued) m_enough = m_stopped_on_value = true;
        if (number >= m_box.r2) m_enough = true;
    }

    void replaced(long long number, const Cell &cell) override { look_at(number, cell); }

    bool wants_rows() const override { return !m_enough; }
    bool wants_rest() const override { return m_rest; }

    void element(const char *local, const char **attrs, int depth) override {
        if (depth == 2) {
            m_in_merges = std::strcmp(local, "mergeCells") == 0;
            m_in_links = std::strcmp(local, "hyperlinks") == 0;
            // the library keeps the last list of links
            if (m_in_links && m_links_seen++) throw Unsure("two lists of hyperlinks");
        } else if (m_in_links && std::strcmp(local, "hyperlink") == 0) {
            m_links.push_back(native::hyperlink_of(attrs));
        } else if (m_in_merges && std::strcmp(local, "mergeCell") == 0) {
            const char *ref = native::xml::attribute(attrs, "ref");
            if (!ref) throw Unsure("a merged range without reference");
            m_merges.push_back(closed_bounds(m_range_boundaries, ref));
        }
    }

    // After the scan: the cells a merged range covers, but its first, are
    // empty, and every cell of it exists.
    void bind_merges() {
        for (const Box &m : m_merges) {
            extend(m.c1, m.c2, m.r1, m.r2);
            for (RowCells &row : m_rows) {
                if (row.number < m.r1 || row.number > m.r2) continue;
                auto covered = [&](long long column) {
                    return column >= m.c1 && column <= m.c2 &&
                           (row.number != m.r1 || column != m.c1);
                };
                for (auto &cell : row.cells)
                    if (covered(cell.first)) cell.second = nb::none();
                row.errors.erase(std::remove_if(row.errors.begin(), row.errors.end(), covered),
                                 row.errors.end());
            }
        }
    }

    void widen(const Box &b) { extend(b.c1, b.c2, b.r1, b.r2); }

    using Link = native::Hyperlink;
    const std::vector<Link> &links() const { return m_links; }

    // After the merges: the library makes the cell of a link and, where it
    // holds no value, gives it the link's target, or its place within the
    // workbook (`text`, None for neither).
    void bind_link(const Link &link, handle text) {
        for (const Box &m : m_merges)
            if (link.column >= m.c1 && link.column <= m.c2 && link.row >= m.r1 && link.row <= m.r2)
                throw Unsure("a link on a merged cell");
        extend(link.column, link.column, link.row, link.row);
        if (text.is_none() || m_keep == Keep::Extent) return;
        if (link.row < m_box.r1 || link.row > m_box.r2 || link.column < m_box.c1 ||
            link.column > m_box.c2)
            return;
        // Rows past those a header scan kept do not change its header.
        if (m_enough && link.row > m_last_row) return;
        auto at = std::lower_bound(m_rows.begin(), m_rows.end(), link.row,
                                   [](const RowCells &r, long long n) { return r.number < n; });
        if (at == m_rows.end() || at->number != link.row)
            at = m_rows.insert(at, RowCells{link.row, {}, {}});
        for (auto &cell : at->cells)
            if (cell.first == link.column) {
                if (cell.second.is_none()) cell.second = nb::borrow(text);
                return;
            }
        at->cells.emplace_back(link.column, nb::borrow(text));
    }

    // The reader's used range: min_column, min_row, max_column, max_row of
    // the sheet once it has read its cells from A1 on, which makes A1.
    Box extent() const { return m_cells ? Box{1, 1, m_seen.c2, m_seen.r2} : Box{1, 1, 1, 1}; }
    std::vector<RowCells> &rows() { return m_rows; }
    // Whether rows were left unread after the one that ended a header scan.
    bool stopped_early() const { return m_stopped_on_value; }

private:
    // What the library checks of every cell it reads, kept or not.
    void look_at(long long number, const Cell &cell) const {
        m_values.check_style(cell);
        if (!cell.ref.empty() && native::row_of(cell.ref) != number)
            throw Unsure("a cell outside its row");
    }

    void extend(long long c1, long long c2, long long r1, long long r2) {
        if (!m_cells) {
            m_seen = Box{c1, r1, c2, r2};
            m_cells = true;
            return;
        }
        m_seen.c1 = std::min(m_seen.c1, c1);
        m_seen.r1 = std::min(m_seen.r1, r1);
        m_seen.c2 = std::max(m_seen.c2, c2);
        m_seen.r2 = std::max(m_seen.r2, r2);
    }

    FullValues &m_values;
    handle m_range_boundaries;
    Box m_box;
    Keep m_keep;
    bool m_extent, m_rest;
    bool m_enough = false, m_valued = false, m_stopped_on_value = false, m_in_merges = false,
         m_cells = false;
    bool m_in_links = false;
    int m_links_seen = 0;
    std::vector<Link> m_links;
    long long m_last_row = 0;
    Box m_seen;
    std::vector<RowCells> m_rows;
    std::vector<Box> m_merges;
};

// --- the loaded workbook -----------------------------------------------------------

// A range as the reader resolves it: its sheet and its bounds, some of
// them open until the sheet's extent is known.
struct Resolved {
    std::size_t sheet = 0;
    std::optional<long long> bounds[4];  // c1, r1, c2, r2
    bool operator==(const Resolved &o) const {
        for (int i = 0; i < 4; ++i)
            if (bounds[i] != o.bounds[i]) return false;
        return sheet == o.sheet;
    }
};

class Loaded {
public:
    explicit Loaded(File &file)
        : m_filename(nb::borrow(file.name())), m_book(*file.path(), file.settings()),
          m_values(m_book) {
        file.opened(m_book.archive());
        object cells = nb::module_::import_("openpyxl.utils.cell");
        m_range_boundaries = cells.attr("range_boundaries");
        read_names();
    }

    const std::vector<object> &names() const { return m_name_list; }

    // The reader's _resolve.
    Resolved resolve(handle where) {
        const auto &sheets = m_book.worksheets();
        if (!pyutil::truthy(where)) {
            // the first sheet, defined names or not
            if (sheets.empty())
                raise_reader("RangeNotFound", formatted("%s holds no sheet", {m_filename}));
            return Resolved{0, {}};
        }
        if (!PyUnicode_Check(where.ptr())) throw Unsure("a range that is no text");
        std::string text = utf8_of(where);
        for (const Name &n : m_names)
            if (n.name == text) return named(n);
        for (std::size_t i = 0; i < sheets.size(); ++i)
            if (sheets[i].name == text) return Resolved{i, {}};
        object parts = nb::borrow(where).attr("rpartition")("!");
        object sheetname = parts[nb::int_(0)];
        object cells = parts[nb::int_(2)];
        std::size_t sheet = 0;
        if (pyutil::truthy(sheetname)) {
            Py_ssize_t n = nb::len(sheetname);
            std::string s = utf8_of(sheetname);
            if (n > 1 && s.front() == '\'' && s.back() == '\'') {
                sheetname = pyutil::steal(PySequence_GetSlice(sheetname.ptr(), 1, n - 1))
                                .attr("replace")("''", "'");
            }
            sheet = find_sheet(sheetname);
        } else if (sheets.empty()) {
            throw Unsure("an address without sheet in a workbook without sheets");
        }
        object bare = cells.attr("replace")("$", "");
        PyObject *t = PyObject_CallOneArg(m_range_boundaries.ptr(), bare.ptr());
        if (!t) {
            if (!PyErr_ExceptionMatches(PyExc_ValueError) &&
                !PyErr_ExceptionMatches(PyExc_TypeError))
                pyutil::raise_pending();
            PyErr_Clear();
            raise_reader("RangeNotFound", formatted("no range %r in %s", {where, m_filename}));
        }
        return with_bounds(sheet, nb::steal(t));
    }

    // The reader's _range_rows: the range's rows, trailing empty rows left
    // out.  `header` keeps only the first row (when any row holds a value).
    nb::list range_rows(const Resolved &range, bool header) {
        bool open = false;
        Box box;
        long long *slot[4] = {&box.c1, &box.r1, &box.c2, &box.r2};
        for (int i = 0; i < 4; ++i) {
            if (range.bounds[i])
                *slot[i] = *range.bounds[i];
            else
                open = true;
        }
        const native::Worksheet &ws = m_book.worksheets()[range.sheet];
        const native::zip::Member *part = m_book.archive().find(ws.part);
        bool rest = open || !part || native::mentions_bindings(m_book.archive(), *part);
        RangeScan scan(m_values, m_range_boundaries, box,
                       open || !header ? Keep::Rows : Keep::Header, open, rest);
        native::scan_cells(m_book, ws, scan);
        scan.bind_merges();
        bind_links(ws, scan);
        if (open) bind_comments(ws, scan);
        if (open) {
            Box used = scan.extent();
            const long long fill[4] = {used.c1, used.r1, used.c2, used.r2};
            for (int i = 0; i < 4; ++i)
                if (!range.bounds[i]) *slot[i] = fill[i];
        }
        return build_rows(scan, box, header, ws.name);
    }

    // min_column, min_row, max_column, max_row of a sheet.
    Box extent(std::size_t sheet) {
        const native::Worksheet &ws = m_book.worksheets()[sheet];
        RangeScan scan(m_values, m_range_boundaries, Box{}, Keep::Extent, true, true);
        native::scan_cells(m_book, ws, scan);
        scan.bind_merges();
        bind_links(ws, scan);
        bind_comments(ws, scan);
        return scan.extent();
    }

    const std::string &sheet_name(std::size_t sheet) const {
        return m_book.worksheets()[sheet].name;
    }

private:
    struct Name {
        std::string name, sheet;
        object sheet_object;
        object bounds;  // the library's 4-tuple, None for an open bound
    };

    std::size_t find_sheet(handle sheetname) {
        const auto &sheets = m_book.worksheets();
        if (PyUnicode_Check(sheetname.ptr())) {
            std::string s = utf8_of(sheetname);
            for (std::size_t i = 0; i < sheets.size(); ++i)
                if (sheets[i].name == s) return i;
        }
        raise_reader("SheetNotFound", formatted("no sheet %r in %s", {sheetname, m_filename}));
    }

    // A name open on a side fails in the reader (it fills only addresses).
    Resolved named(const Name &n) {
        Resolved r = with_bounds(find_sheet(n.sheet_object), n.bounds);
        for (const auto &b : r.bounds)
            if (!b) throw Unsure("a defined name open on a side");
        return r;
    }

    static Resolved with_bounds(std::size_t sheet, handle bounds) {
        Resolved r{sheet, {}};
        for (int i = 0; i < 4; ++i) {
            object v = bounds[nb::int_(i)];
            if (v.is_none()) continue;
            if (!PyLong_CheckExact(v.ptr())) throw Unsure("a bound that is no integer");
            long long b = PyLong_AsLongLong(v.ptr());
            if (b == -1 && PyErr_Occurred()) pyutil::raise_pending();
            if (b < 1) throw Unsure("a bound before the first row or column");
            r.bounds[i] = b;
        }
        return r;
    }

    // The reader lists the workbook's global names but the library's own
    // (_xlnm.), each with its first destination, in the workbook's order.
    // The library's versions keep duplicates differently: those, and names
    // it would fail on, are left to it.
    void read_names() {
        native::WorkbookNames parsed = native::workbook_names(m_book);
        // The library renames a sheet whose name repeats another's (in any
        // case) or is empty, and refuses some characters.
        nb::set lowered;
        for (const std::string &s : parsed.sheets) {
            if (s.empty() || s.find_first_of("\\*?:/[]") != std::string::npos)
                throw Unsure("a sheet name the library changes");
            object low = text_of(s).attr("lower")();
            if (pyutil::contains(lowered, low)) throw Unsure("two sheets of one name");
            lowered.add(low);
        }
        object defined_name =
            nb::module_::import_("openpyxl.workbook.defined_name").attr("DefinedName");
        for (const auto &entry : parsed.names) {
            if (!entry.global || entry.name.rfind("_xlnm.", 0) == 0) continue;
            for (const Name &n : m_names)
                if (n.name == entry.name) throw Unsure("a defined name given twice");
            if (entry.text.empty()) throw Unsure("a defined name without value");
            pyutil::unless_exception(
                [&] {
                    object defn = defined_name("name"_a = text_of(entry.name),
                                               "attr_text"_a = text_of(entry.text));
                    object first;
                    for (handle dest : nb::iter(defn.attr("destinations"))) {
                        first = nb::borrow(dest);
                        break;
                    }
                    if (!first.is_valid()) return;  // a constant or a formula: no range
                    object cells = first[nb::int_(1)].attr("replace")("$", "");
                    object bounds = m_range_boundaries(cells);
                    object sheet = first[nb::int_(0)];
                    if (!PyUnicode_Check(sheet.ptr())) throw Unsure("a defined name without sheet");
                    m_names.push_back(Name{entry.name, utf8_of(sheet), sheet, bounds});
                    m_name_list.push_back(text_of(entry.name));
                },
                [](nb::python_error &) {
                    throw Unsure("a defined name the library reads its own way");
                });
        }
    }

    // The library binds each link to its cell, the target of its
    // relationship (one outside the archive) or its place in the workbook
    // given to the cell when empty.
    void bind_links(const native::Worksheet &ws, RangeScan &scan) {
        if (scan.links().empty()) return;
        const auto external = native::external_targets(m_book, ws);
        for (const RangeScan::Link &link : scan.links()) {
            std::optional<std::string> text;
            if (link.id && !link.id->empty()) {
                auto it = external.find(*link.id);
                if (it == external.end())
                    throw Unsure("a link to a part of the archive, or to no relationship");
                text = it->second;
            }
            if (!text || text->empty()) text = link.location;
            scan.bind_link(link, text ? cell_text(*text) : object(nb::none()));
        }
    }

    // A text as the library stores it in a cell; Unsure where it would cut
    // it, refuse it, or take it for an error value.
    static object cell_text(const std::string &text) {
        static const char *errors[] = {"#NULL!", "#DIV/0!", "#VALUE!", "#REF!",
                                       "#NAME?", "#NUM!",   "#N/A"};
        for (const char *e : errors)
            if (text == e) throw Unsure("a link target that reads as an error value");
        for (unsigned char c : text)
            if (c < 0x20 && c != '\t' && c != '\n' && c != '\r')
                throw Unsure("a link target the library refuses");
        object value = text_of(text);
        if (nb::len(value) > 32767) throw Unsure("a link target the library cuts");
        return value;
    }

    // The library makes a cell for each comment: the sheet's extent grows.
    void bind_comments(const native::Worksheet &ws, RangeScan &scan) {
        for (const std::string &part : native::comments_parts(m_book, ws))
            for (const std::string &ref : native::comment_refs(m_book, part))
                scan.widen(closed_bounds(m_range_boundaries, ref));
    }

    nb::list build_rows(RangeScan &scan, const Box &box, bool header, const std::string &sheet) {
        nb::list out;
        if (box.c2 < box.c1 || box.r2 < box.r1) return out;  // no column: every row is empty
        const auto width = static_cast<std::size_t>(box.c2 - box.c1 + 1);
        // The last row holding a value: the rows after it are dropped.
        long long last = 0;
        std::uint64_t written = 0;
        for (const RowCells &row : scan.rows())
            for (const auto &cell : row.cells)
                if (!cell.second.is_none() && row.number >= box.r1 && row.number <= box.r2 &&
                    cell.first >= box.c1 && cell.first <= box.c2) {
                    last = row.number;
                    ++written;
                }
        if (last == 0) {
            if (scan.stopped_early()) throw Unsure("a header emptied by a merged range");
            return out;
        }
        if (header) last = box.r1;
        const auto height = static_cast<std::uint64_t>(last - box.r1 + 1);
        native::check_grid(m_book.settings(), sheet, height, width, written);
        try {
            return grid_rows(scan, box, last, width, sheet);
        } catch (std::bad_alloc &) {
            throw native::out_of_memory(sheet, height, width);
        } catch (nb::python_error &e) {
            if (!e.matches(PyExc_MemoryError)) throw;
            throw native::out_of_memory(sheet, height, width);
        }
    }

    // The box's rows up to `last`, each `width` wide, None where no cell is;
    // the cells holding an error value noted in m_errors.
    nb::list grid_rows(RangeScan &scan, const Box &box, long long last, std::size_t width,
                       const std::string &sheet) {
        nb::list out;
        auto it = scan.rows().begin(), end = scan.rows().end();
        for (long long r = box.r1; r <= last; ++r) {
            object line = pyutil::steal(PyList_New(static_cast<Py_ssize_t>(width)));
            for (std::size_t i = 0; i < width; ++i) {
                Py_INCREF(Py_None);
                PyList_SET_ITEM(line.ptr(), static_cast<Py_ssize_t>(i), Py_None);
            }
            while (it != end && it->number < r) ++it;
            if (it != end && it->number == r) {
                for (auto &cell : it->cells) {
                    if (cell.first < box.c1 || cell.first > box.c2) continue;
                    if (PyList_SetItem(line.ptr(), static_cast<Py_ssize_t>(cell.first - box.c1),
                                       nb::borrow(cell.second).release().ptr()) < 0)
                        pyutil::raise_pending();
                }
                for (long long column : it->errors)
                    if (column >= box.c1 && column <= box.c2)
                        m_errors[line.ptr()].push_back(ErrorCell{
                            static_cast<Py_ssize_t>(column - box.c1), cell_name(column, r), sheet});
            }
            out.append(line);
        }
        return out;
    }

public:
    // A cell holding an error value in a row range_rows() gave.
    struct ErrorCell {
        Py_ssize_t position;  // in the row
        std::string coordinate, sheet;
    };
    // The error cells of a row range_rows() gave, by the row's list; null
    // for a row without any.
    const std::vector<ErrorCell> *errors_of(handle row) const {
        auto it = m_errors.find(row.ptr());
        return it == m_errors.end() ? nullptr : &it->second;
    }

private:
    // The rows given are alive as long as the lists holding them: their
    // addresses stay theirs.
    std::map<PyObject *, std::vector<ErrorCell>> m_errors;

    object m_filename;
    native::Book m_book;
    FullValues m_values;
    object m_range_boundaries;
    std::vector<Name> m_names;
    std::vector<object> m_name_list;
};

// The reader's _columns: positions in a row of the columns `fmt` names.
std::vector<Py_ssize_t> columns(handle fmt, handle header, Py_ssize_t width) {
    std::vector<Py_ssize_t> positions;
    if (fmt.is_none()) {
        for (Py_ssize_t i = 0; i < width; ++i) positions.push_back(i);
        return positions;
    }
    object integral = nb::module_::import_("numbers").attr("Integral");
    object w = nb::int_(width), neg = nb::int_(-width);
    for (handle field : nb::iter(fmt)) {
        int is_integral = PyObject_IsInstance(field.ptr(), integral.ptr());
        if (is_integral < 0) pyutil::raise_pending();
        if (is_integral && !nb::isinstance<nb::bool_>(field)) {
            if (!(neg <= field && field < w))
                raise_reader("ColumnOutOfRange",
                             formatted("column %d outside a range of %d columns", {field, w}));
            long long v = pyutil::as_index(nb::int_(field));
            positions.push_back(static_cast<Py_ssize_t>(v < 0 ? v + width : v));
        } else if (nb::isinstance<nb::str>(field)) {
            if (header.is_none() || !pyutil::contains(header, field))
                raise_reader("ColumnNotFound", formatted("no column titled %r", {field}));
            positions.push_back(
                static_cast<Py_ssize_t>(pyutil::as_index(header.attr("index")(field))));
        } else {
            raise_with(
                PyExc_TypeError,
                formatted("a column is given by its position or its title, not %r", {field}));
        }
    }
    return positions;
}

nb::list pick(handle row, const std::vector<Py_ssize_t> &positions) {
    nb::list out;
    for (Py_ssize_t p : positions) out.append(nb::borrow(PyList_GET_ITEM(row.ptr(), p)));
    return out;
}

// The reader's error for the first picked cell of `row` holding an error
// value; invalid when none does.
object error_in(const Loaded &book, handle row, const std::vector<Py_ssize_t> &positions) {
    const auto *errors = book.errors_of(row);
    if (!errors) return object();
    for (Py_ssize_t p : positions)
        for (const auto &e : *errors)
            if (e.position == p) {
                object cls = toolkit::excel_error("ErrorCell");
                if (!cls.is_valid()) throw Unsure("the reader raises its own ErrorCell");
                return cls(formatted("cell %s of sheet %r holds the error %s",
                                     {text_of(e.coordinate), text_of(e.sheet),
                                      nb::borrow(PyList_GET_ITEM(row.ptr(), p))}));
            }
    return object();
}

// The reader's load(): the titles of its range.
nb::list load_titles(Loaded &book, handle arange, handle fmt) {
    nb::list rows = book.range_rows(book.resolve(arange), true);
    object header = nb::len(rows) ? object(rows[0]) : object(nb::list());
    return pick(header, columns(fmt, header, nb::len(header)));
}

// Runs `read` on the workbook; none where the native reader is unsure.
template <typename Read>
auto attempt(File &file, Read &&read) -> std::optional<decltype(read(std::declval<Loaded &>()))> {
    if (!file.path()) return std::nullopt;
    handle filename = file.name();
    try {
        Loaded book(file);
        return read(book);
    } catch (Unsure &e) {
        if (file.settings().native_only) raise_unsure(filename, e);
    } catch (native::Refused &e) {
        raise_refusal(filename, e);
    } catch (std::bad_alloc &) {
        raise_refusal(filename, native::Refused(native::Refused::Kind::Memory,
                                                "out of memory reading the workbook"));
    }
    return std::nullopt;
}

}  // namespace

bool reads(handle reader_class, const File &file) {
    handle filename = file.name();
    return toolkit::is_bound_excel(reader_class) &&
           (nb::isinstance<nb::str>(filename) || nb::hasattr(filename, "__fspath__"));
}

void before_reader_class(handle reader_class, const File &file, handle filetype) {
    if (!file.settings().native_only || !is_workbook_type(filetype)) return;
    const char *why = !toolkit::is_bound_excel(reader_class)
                          ? "its reader class is not the module's own Excel"
                      : !file.path() ? "it is given as no path"
                                     : "the native reader leaves it";
    if (same_text(filetype, "xls")) why = "an .xls workbook is read by the reader class";
    raise_unsure(file.name(), Unsure(why));
}

std::optional<object> titles(File &file, handle datarange, handle datafmt) {
    return attempt(file,
                   [&](Loaded &book) -> object { return load_titles(book, datarange, datafmt); });
}

std::optional<object> range_names(File &file) {
    return attempt(file, [&](Loaded &book) -> object {
        book.resolve(pyutil::text(""));  // what loading the reader resolves, and may fail on
        nb::list names;
        for (const object &n : book.names()) names.append(n);
        if (nb::len(names)) return names;
        Box used = book.extent(0);
        std::string address = book.sheet_name(0) + "!" + cell_name(used.c1, used.r1) + ":" +
                              cell_name(used.c2, used.r2);
        nb::list one;
        one.append(text_of(address));
        return one;
    });
}

std::optional<RangeRows> iter_data(File &file, handle arange, handle load_fmt, handle header_only,
                                   handle where, handle fmt, handle skipline) {
    return attempt(file, [&](Loaded &book) -> RangeRows {
        object loaded_range =
            pyutil::truthy(arange) ? object(nb::borrow(arange)) : object(pyutil::text(""));
        Resolved first = book.resolve(loaded_range);
        object wanted = pyutil::truthy(where) ? object(nb::borrow(where)) : loaded_range;
        Resolved range = book.resolve(wanted);
        nb::list rows = book.range_rows(range, false);
        // Loading computed the titles of its own range, which may fail.
        if (!load_fmt.is_none()) {
            if (first == range) {
                object header = nb::len(rows) ? object(rows[0]) : object(nb::list());
                columns(load_fmt, header, nb::len(header));
            } else {
                load_titles(book, loaded_range, load_fmt);
            }
        }
        if (pyutil::truthy(skipline)) {
            object cut = nb::slice(skipline, nb::none(), nb::none());
            rows = nb::borrow<nb::list>(object(handle(rows)[cut]));
        }
        RangeRows out;
        if (nb::len(rows) == 0) return out;
        object header = rows[0];
        handle used_fmt = fmt.is_none() ? load_fmt : fmt;
        std::vector<Py_ssize_t> positions = columns(used_fmt, header, nb::len(header));
        out.rows.append(pick(header, positions));
        if (pyutil::truthy(header_only)) return out;
        Py_ssize_t n = nb::len(rows);
        for (Py_ssize_t i = 1; i < n; ++i) {
            object row = rows[i];
            // The reader yields the rows before the first data row holding
            // an error value, then raises.
            out.error = error_in(book, row, positions);
            if (out.error.is_valid()) break;
            out.rows.append(pick(row, positions));
        }
        return out;
    });
}

}  // namespace mine::ranged
