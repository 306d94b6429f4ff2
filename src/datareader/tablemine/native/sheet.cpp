#include "datareader/tablemine/native/sheet.hpp"

#include "datareader/tablemine/native/errors.hpp"
#include "datareader/tablemine/native/xml.hpp"

#include <cstring>

namespace mine::native {
namespace {

// The last row a sheet can have.  A row number beyond it would have the
// library yield an empty row for every number below.
constexpr long long kMaxRow = 1048576;
// "ZZZ", the last column openpyxl's coordinate tables know.
constexpr std::uint32_t kMaxColumn = 18278;

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

// The column of an A1 reference; Unsure for any other form (lower case,
// "$", row 0), which the library's versions read differently.
std::uint32_t column_of(const char *ref) {
    std::uint32_t column = 0;
    const char *p = ref;
    for (; *p >= 'A' && *p <= 'Z'; ++p) {
        if (p - ref == 3) throw Unsure(std::string("bad cell reference ") + ref);
        column = column * 26 + static_cast<std::uint32_t>(*p - 'A' + 1);
    }
    if (p == ref || !*p) throw Unsure(std::string("bad cell reference ") + ref);
    bool nonzero = false;
    for (; *p; ++p) {
        if (*p < '0' || *p > '9') throw Unsure(std::string("bad cell reference ") + ref);
        nonzero = nonzero || *p != '0';
    }
    if (!nonzero || column > kMaxColumn) throw Unsure(std::string("bad cell reference ") + ref);
    return column;
}

class SheetReader : public xml::Handler {
public:
    explicit SheetReader(RowSink &sink, CellSink *cells = nullptr)
        : m_sink(sink), m_cell_sink(cells), m_ns(std::string(xml::kMainNs) + xml::kSeparator) {}

    void start(const char *name, const char **attrs) override {
        ++m_depth;
        // Names of the main namespace, by their local part.
        const char *local = std::strncmp(name, m_ns.data(), m_ns.size()) == 0 ? name + m_ns.size() : nullptr;
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
            if (row && m_cell_sink && !m_cell_sink->wants_rows() && !m_cell_sink->wants_rest()) done = true;
            if (row && (!m_cell_sink || m_cell_sink->wants_rows())) begin_row(attrs);
            if (m_cell_sink && local && !m_in_data) m_cell_sink->element(local, attrs, 3);
            break;
        case 4:
            if (!m_in_row) break;
            if (!local || std::strcmp(local, "c") != 0) throw Unsure("a row holds something else than cells");
            begin_cell(attrs);
            break;
        case 5:
            if (!m_cell || !local) break;
            if (!m_seen_value && std::strcmp(local, "v") == 0) {
                m_seen_value = m_in_value = true;
            } else if (!m_seen_inline && m_cell->type == CellType::Inline && std::strcmp(local, "is") == 0) {
                m_seen_inline = m_in_inline = true;
                m_text.begin(attrs);
            }
            break;
        }
    }

    void end(const char *) override {
        switch (m_depth) {
        case 2:
            if (m_in_data && !m_cell_sink) done = true;
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
        m_row_number = r ? plain_integer(r, kMaxRow + 1) : m_row_number + 1;
        if (m_row_number > kMaxRow)
            throw Refused(Refused::Kind::Sheet, "row number beyond the last row of a sheet");
        m_in_row = true;
        m_count = 0;
        m_column = 0;
    }

    void begin_cell(const char **attrs) {
        if (m_count == m_cells.size()) m_cells.emplace_back();
        m_cell = &m_cells[m_count++];
        const char *ref = nullptr, *t = nullptr, *s = nullptr;
        for (; *attrs; attrs += 2) {
            const char *a = attrs[0];
            if (a[0] && !a[1]) {
                if (a[0] == 'r') ref = attrs[1];
                else if (a[0] == 't') t = attrs[1];
                else if (a[0] == 's') s = attrs[1];
            }
        }
        m_column = ref && *ref ? column_of(ref) : m_column + 1;
        m_cell->ref.assign(ref ? ref : "");
        if (m_column > kMaxColumn) throw Unsure("cell beyond the last column");
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
            std::uint32_t width = m_cells[m_count - 1].column;
            m_dense.assign(width, nullptr);
            for (std::size_t i = 0; i < m_count; ++i)
                if (m_cells[i].column <= width) m_dense[m_cells[i].column - 1] = &m_cells[i];
        }
        m_sink.row(m_dense);
    }

    RowSink &m_sink;
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
    Cell *m_cell = nullptr;
    TextContent m_text;
    std::vector<const Cell *> m_dense;
};

}  // namespace

void scan_rows(const Book &book, const Worksheet &sheet, RowSink &sink) {
    const zip::Member *member = book.archive().find(sheet.part);
    if (!member) throw Unsure("no worksheet part " + sheet.part);
    zip::MemberStream stream(book.archive(), *member);
    SheetReader reader(sink);
    xml::parse(stream, reader);
}

void scan_cells(const Book &book, const Worksheet &sheet, CellSink &sink) {
    struct NoRows : RowSink {
        void row(const std::vector<const Cell *> &) override {}
    } unused;
    const zip::Member *member = book.archive().find(sheet.part);
    if (!member) throw Unsure("no worksheet part " + sheet.part);
    zip::MemberStream stream(book.archive(), *member);
    SheetReader reader(unused, &sink);
    xml::parse(stream, reader);
}

}  // namespace mine::native
