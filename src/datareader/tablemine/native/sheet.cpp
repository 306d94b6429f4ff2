#include "datareader/tablemine/native/sheet.hpp"

#include "datareader/tablemine/native/errors.hpp"
#include "datareader/tablemine/native/xml.hpp"

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>

namespace mine::native {
namespace {

CellType cell_type(const char *t) {
    if (!t || std::strcmp(t, "n") == 0) return CellType::Number;
    if (std::strcmp(t, "s") == 0) return CellType::Shared;
    if (std::strcmp(t, "b") == 0) return CellType::Bool;
    if (std::strcmp(t, "e") == 0) return CellType::Error;
    if (std::strcmp(t, "d") == 0) return CellType::Date;
    if (std::strcmp(t, "str") == 0) return CellType::Str;
    if (std::strcmp(t, "inlineStr") == 0) return CellType::Inline;
    return CellType::Other;
}

// A reference as it may stand in a message: a hostile one can be megabytes.
std::string shown(const char *text) {
    std::string s(text);
    if (s.size() > 40) s = s.substr(0, 40) + "...";
    return s;
}

// The digits of a plain decimal number, saturated just past `max`: any
// size is told from a number within the sheet.
bool saturated_digits(const char *p, std::uint64_t max, std::uint64_t &value) {
    if (!*p) return false;
    value = 0;
    for (; *p; ++p) {
        if (*p < '0' || *p > '9') return false;
        value = std::min<std::uint64_t>(value * 10 + static_cast<std::uint64_t>(*p - '0'), max + 1);
    }
    return true;
}

std::string sheet_prefix(const std::string &sheet) { return "sheet '" + sheet + "': "; }

}  // namespace

std::string column_name(std::uint64_t column) {
    std::string name;
    for (; column > 0; column = (column - 1) / 26)
        name.insert(name.begin(), static_cast<char>('A' + (column - 1) % 26));
    return name;
}

std::uint64_t grid_limit(const Settings &settings) {
    if (!settings.max_cells) return kDefaultGridLimit;
    const char *v = settings.max_cells->c_str();
    std::uint64_t limit = 0;
    const std::uint64_t most = std::uint64_t(1) << 62;
    if (!saturated_digits(v, most, limit) || limit > most)
        throw Refused(Refused::Kind::Sheet,
                      "TRELLIS_MAX_CELLS is " + shown(v) +
                          ": expected a plain count of cells, such as 200000000");
    return limit;
}

void check_grid(const Settings &settings, const std::string &sheet, std::uint64_t rows,
                std::uint64_t columns, std::uint64_t cells) {
    // Saturated: rows and columns are each within a sheet's limits here, but
    // a caller's counts need not be.
    std::uint64_t grid = columns && rows > UINT64_MAX / columns ? UINT64_MAX : rows * columns;
    std::uint64_t limit = grid_limit(settings);
    bool sparse = cells <= UINT64_MAX / kSparseFactor && grid > cells * kSparseFactor;
    if (grid <= limit || !sparse) return;
    throw Refused(Refused::Kind::Sheet,
                  sheet_prefix(sheet) + "a grid of " + std::to_string(rows) + " rows x " +
                      std::to_string(columns) + " columns (" + std::to_string(grid) +
                      " cells) for " + std::to_string(cells) + " cells written: more than " +
                      std::to_string(limit) + " cells and more than " +
                      std::to_string(kSparseFactor) +
                      " times the cells written (TRELLIS_MAX_CELLS raises the bound)");
}

Refused out_of_memory(const std::string &sheet, std::uint64_t rows, std::uint64_t columns) {
    std::uint64_t grid = columns && rows > UINT64_MAX / columns ? UINT64_MAX : rows * columns;
    return Refused(Refused::Kind::Memory,
                   sheet_prefix(sheet) + "out of memory building a grid of " +
                       std::to_string(rows) + " rows x " + std::to_string(columns) + " columns (" +
                       std::to_string(grid) + " cells)");
}

Refused Beyond::refusal(const std::string &sheet) const {
    return Refused(Refused::Kind::Sheet, sheet_prefix(sheet) + detail);
}

Beyond row_beyond(const char *r, std::uint64_t number) {
    return Beyond{"row " + (r ? shown(r) : std::to_string(number)) +
                  " is beyond the last row of a sheet (1048576)"};
}

Beyond cell_past_last_column(const char *ref) {
    return Beyond{"cell " + shown(ref) + " is beyond the last column of a sheet (XFD)"};
}

Beyond cell_past_last_row(const char *ref) {
    return Beyond{"cell " + shown(ref) + " is beyond the last row of a sheet (1048576)"};
}

Beyond cells_past_last_column(long long row, std::uint64_t column) {
    return Beyond{"the cells of row " + std::to_string(row) +
                  " run past the last column of a sheet (XFD): cell " + column_name(column) +
                  std::to_string(row)};
}

namespace {

// The column of an A1 reference, its row in `row`; Unsure for any other
// form (lower case, "$", row 0), which the library's versions read
// differently, Refused beyond the sheet's last column or row.
std::uint32_t column_of(const char *ref, const std::string &sheet, std::uint64_t &row) {
    std::uint64_t column = 0;
    const char *p = ref;
    for (; *p >= 'A' && *p <= 'Z'; ++p)
        column = std::min<std::uint64_t>(column * 26 + static_cast<std::uint64_t>(*p - 'A' + 1),
                                         kMaxColumn + 1);
    if (p == ref || !saturated_digits(p, kMaxRow, row) || row == 0)
        throw Unsure(std::string("bad cell reference ") + shown(ref));
    if (column > kMaxColumn) throw cell_past_last_column(ref).refusal(sheet);
    if (row > kMaxRow) throw cell_past_last_row(ref).refusal(sheet);
    return static_cast<std::uint32_t>(column);
}

class SheetReader : public xml::Handler {
public:
    SheetReader(RowSink &sink, const std::string &sheet, CellSink *cells = nullptr)
        : m_sink(sink), m_sheet(sheet), m_cell_sink(cells),
          m_ns(std::string(xml::kMainNs) + xml::kSeparator) {}

    void start(const char *name, const char **attrs) override {
        ++m_depth;
        // Names of the main namespace, by their local part.
        const char *local =
            std::strncmp(name, m_ns.data(), m_ns.size()) == 0 ? name + m_ns.size() : nullptr;
        bool row = local && std::strcmp(local, "row") == 0;
        if (row && (m_depth != 3 || !m_in_data)) throw Unsure("a row outside the sheet's data");
        if (m_depth > 5) {
            if (m_in_inline) m_text.start(name, attrs, m_depth - 5);
            m_in_value = false;  // ElementTree's .text ends at the first child
            return;
        }
        switch (m_depth) {
        case 1:
            if (!local) throw Unsure("not a transitional worksheet");
            break;
        case 2:
            m_in_data = local && std::strcmp(local, "sheetData") == 0;
            if (m_cell_sink && local && !m_in_data) m_cell_sink->element(local, attrs, 2);
            break;
        case 3:
            if (row && m_cell_sink && !m_cell_sink->wants_rows() && !m_cell_sink->wants_rest())
                done = true;
            if (row && (!m_cell_sink || m_cell_sink->wants_rows())) begin_row(attrs);
            if (m_cell_sink && local && !m_in_data) m_cell_sink->element(local, attrs, 3);
            break;
        case 4:
            if (!m_in_row) break;
            if (!local || std::strcmp(local, "c") != 0)
                throw Unsure("a row holds something else than cells");
            begin_cell(attrs);
            break;
        case 5:
            if (!m_cell || !local) break;
            if (!m_seen_value && std::strcmp(local, "v") == 0) {
                m_seen_value = m_in_value = true;
            } else if (!m_seen_inline && m_cell->type == CellType::Inline &&
                       std::strcmp(local, "is") == 0) {
                m_seen_inline = m_in_inline = true;
                m_text.begin(attrs);
            }
            break;
        }
    }

    void end(const char *) override {
        switch (m_depth) {
        case 2:
            // The part is read to its end: damaged XML after the rows is an
            // error, and the rows of a later sheetData are rows too.
            m_in_data = false;
            break;
        case 3:
            if (m_in_row) end_row();
            break;
        case 4:
            if (m_cell) end_cell();
            break;
        case 5:
            m_in_value = m_in_inline = false;
            break;
        default:
            if (m_depth > 5 && m_in_inline) m_text.end(m_depth - 5);
            break;
        }
        --m_depth;
    }

    bool cell(const PlainCell &c) override {
        if (m_depth != 3 || !m_in_row) return false;
        begin_cell(c.r, c.t, c.s);
        if (c.has_value) {
            if (c.value_len > xml::kMaxText)
                throw Refused(Refused::Kind::Xml, "a cell value of more than 16 MiB");
            m_seen_value = true;
            m_cell->value.assign(c.value, c.value_len);
        }
        end_cell();
        return true;
    }

    void text(const char *s, std::size_t len) override {
        if (m_in_value) {
            if (m_cell->value.size() + len > xml::kMaxText)
                throw Refused(Refused::Kind::Xml, "a cell value of more than 16 MiB");
            m_cell->value.append(s, len);
        } else if (m_in_inline) {
            m_text.text(s, len);
        }
    }

private:
    void begin_row(const char **attrs) {
        const char *r = xml::attribute(attrs, "r");
        std::uint64_t number = static_cast<std::uint64_t>(m_row_number) + 1;
        // Other forms (signs, spaces, exponents) are the library's to read.
        if (r && !saturated_digits(r, kMaxRow, number))
            throw Unsure(std::string("odd row number ") + shown(r));
        if (number > kMaxRow) throw row_beyond(r, number).refusal(m_sheet);
        m_row_number = static_cast<long long>(number);
        m_in_row = true;
        m_count = 0;
        m_column = 0;
    }

    void begin_cell(const char **attrs) {
        const char *ref = nullptr, *t = nullptr, *s = nullptr;
        for (; *attrs; attrs += 2) {
            const char *a = attrs[0];
            if (a[0] && !a[1]) {
                if (a[0] == 'r')
                    ref = attrs[1];
                else if (a[0] == 't')
                    t = attrs[1];
                else if (a[0] == 's')
                    s = attrs[1];
            }
        }
        begin_cell(ref, t, s);
    }

    void begin_cell(const char *ref, const char *t, const char *s) {
        std::uint64_t row = 0;
        m_column = ref && *ref ? column_of(ref, m_sheet, row) : m_column + 1;
        if (m_column > kMaxColumn)
            throw cells_past_last_column(m_row_number, m_column).refusal(m_sheet);
        m_cell = cell_at(m_column);
        m_cell->ref.assign(ref ? ref : "");
        m_cell->column = m_column;
        m_cell->type = cell_type(t);
        m_cell->style = !s ? 0 : *s ? plain_integer(s, 1LL << 31) : -1;
        m_cell->value.clear();
        m_seen_value = m_seen_inline = false;
    }

    void end_cell() {
        if (m_cell->type == CellType::Inline) {
            m_cell->has_value = m_seen_inline;
            if (m_seen_inline) m_text.content(m_cell->value);
        } else {
            // findtext() or None: an empty <v> is no value
            m_cell->has_value = !m_cell->value.empty();
        }
        m_cell = nullptr;
    }

    // The cell of a column in the row: a new one, or the one the column
    // already holds, which the library replaces (the last written wins).
    // A row holds a cell per position at most, however often one is named.
    Cell *cell_at(std::uint32_t column) {
        if (m_slots.empty()) m_slots.assign(kMaxColumn + 1, 0);
        std::uint32_t &slot = m_slots[column];
        if (slot > 0 && slot <= m_count && m_cells[slot - 1].column == column) {
            if (m_cell_sink) m_cell_sink->replaced(m_row_number, m_cells[slot - 1]);
            m_last_column = column;
            return &m_cells[slot - 1];
        }
        if (m_count == m_cells.size()) m_cells.emplace_back();
        slot = static_cast<std::uint32_t>(++m_count);
        m_last_column = column;
        return &m_cells[m_count - 1];
    }

    // Rows the library skips, fills in and lays out.
    void end_row() {
        m_in_row = false;
        if (m_cell_sink) {
            m_cell_sink->row(m_row_number, m_cells, m_count);
            return;
        }
        while (m_next_row < m_row_number) {
            ++m_next_row;
            m_dense.clear();
            m_sink.row(m_dense);
        }
        if (m_next_row > m_row_number) return;  // a row number met before
        ++m_next_row;
        m_dense.clear();
        if (m_count > 0) {
            std::uint32_t width = m_last_column;
            m_dense.assign(width, nullptr);
            for (std::size_t i = 0; i < m_count; ++i)
                if (m_cells[i].column <= width) m_dense[m_cells[i].column - 1] = &m_cells[i];
        }
        m_sink.row(m_dense);
    }

    RowSink &m_sink;
    const std::string &m_sheet;
    CellSink *m_cell_sink;
    const std::string m_ns;
    int m_depth = 0;
    bool m_in_data = false, m_in_row = false, m_in_value = false, m_in_inline = false;
    bool m_seen_value = false, m_seen_inline = false;
    long long m_row_number = 0, m_next_row = 1;
    std::uint32_t m_column = 0;
    // The row's cells, kept from row to row so that their texts keep their
    // buffers.
    std::vector<Cell> m_cells;
    std::size_t m_count = 0;
    // The place in m_cells of each column's cell in the row (1-based; stale
    // entries are told by the cell's column), and the column written last,
    // which makes the row's width.
    std::vector<std::uint32_t> m_slots;
    std::uint32_t m_last_column = 0;
    Cell *m_cell = nullptr;
    TextContent m_text;
    std::vector<const Cell *> m_dense;
};

}  // namespace

void scan_rows(const Book &book, const Worksheet &sheet, RowSink &sink) {
    const zip::Member *member = book.archive().find(sheet.part);
    if (!member) throw Unsure("no worksheet part " + sheet.part);
    if (book.settings().scanner) {
        zip::MemberStream stream(book.archive(), *member);
        SheetReader reader(sink, sheet.name);
        if (xml::scan(stream, reader, xml::Policy::Worksheet, book.settings())) return;
        sink.restart();
    }
    zip::MemberStream stream(book.archive(), *member);
    SheetReader reader(sink, sheet.name);
    xml::parse(stream, reader);
}

void scan_cells(const Book &book, const Worksheet &sheet, CellSink &sink) {
    struct NoRows : RowSink {
        void row(const std::vector<const Cell *> &) override {}
        void restart() override {}
    } unused;
    const zip::Member *member = book.archive().find(sheet.part);
    if (!member) throw Unsure("no worksheet part " + sheet.part);
    zip::MemberStream stream(book.archive(), *member);
    SheetReader reader(unused, sheet.name, &sink);
    xml::parse(stream, reader);
}

}  // namespace mine::native
