// The checks a workbook passes before a library (openpyxl, through pandas or
// the toolkit's readers) opens it.  openpyxl parses its parts with lxml when
// lxml is installed and with the standard library otherwise, and only the
// latter refuses entities; so every XML part is looked at here first, through
// zipfile, the very archive reader openpyxl uses.  Only a part's prolog
// needs inflating: a document type declaration can stand nowhere else.
// Worksheets are then streamed once for their extent as openpyxl places
// their cells, so that no library builds a grid beyond the sheet's limits or
// out of all proportion to the cells written.
#include "datareader/tablemine/tablemine.hpp"

#include "datareader/tablemine/native/book.hpp"
#include "datareader/tablemine/native/errors.hpp"
#include "datareader/tablemine/native/prolog.hpp"
#include "datareader/tablemine/native/sheet.hpp"
#include "datareader/tablemine/native/xml.hpp"
#include "datareader/tablemine/native/zip.hpp"

#include <algorithm>
#include <cstring>
#include <map>

namespace mine {
namespace {

using native::PrologCheck;
using native::Refused;

constexpr auto kLocalHeader = static_cast<long long>(native::zip::kLocalHeader);
// The bounds the native reader holds members to.
constexpr auto kMaxRatio = static_cast<long long>(native::zip::kMaxRatio);
constexpr auto kRatioFloor = static_cast<long long>(native::zip::kRatioFloor);

long long attr_int(handle o, const char *name) { return pyutil::as_index(nb::getattr(o, name)); }

// Runs `body`, closing `closable` after it whatever happens.
template <typename Body>
void closing(handle closable, Body &&body) {
    try {
        body();
    } catch (...) {
        try {
            closable.attr("close")();
        } catch (nb::python_error &) {
        }
        throw;
    }
    closable.attr("close")();
}

void check_members(handle infos) {
    struct Span {
        long long offset, end;
        std::string name;
    };
    std::vector<Span> spans;
    for (handle info : infos) {
        long long packed = attr_int(info, "compress_size");
        long long size = attr_int(info, "file_size");
        std::string name = pyutil::utf8(nb::getattr(info, "filename"));
        if (size > kRatioFloor && size / kMaxRatio > packed)
            throw Refused(Refused::Kind::Zip, "member " + name + " would inflate " +
                                                  std::to_string(packed) + " bytes to " +
                                                  std::to_string(size));
        long long offset = attr_int(info, "header_offset");
        spans.push_back(Span{offset, offset + kLocalHeader + packed, name});
    }
    std::sort(spans.begin(), spans.end(),
              [](const Span &a, const Span &b) { return a.offset < b.offset; });
    for (std::size_t i = 0; i + 1 < spans.size(); ++i)
        if (spans[i + 1].offset < spans[i].end)
            throw Refused(Refused::Kind::Zip,
                          "members " + spans[i].name + " and " + spans[i + 1].name + " overlap");
}

// The member opened through zipfile; invalid when zipfile cannot open it
// (the library then fails on it in its own words).
object open_member(handle archive, handle info) {
    return pyutil::unless_exception([&] { return archive.attr("open")(info); },
                                    [](nb::python_error &) { return object(); });
}

// The verdict on one member's prolog; Clean when the member cannot be read
// (the library then fails on it in its own words).
PrologCheck::Verdict prolog_of(handle archive, handle info) {
    object member = open_member(archive, info);
    if (!member.is_valid()) return PrologCheck::Verdict::Clean;
    PrologCheck check;
    PrologCheck::Verdict verdict = PrologCheck::Verdict::NeedMore;
    closing(member, [&] {
        pyutil::unless_exception(
            [&] {
                while (verdict == PrologCheck::Verdict::NeedMore) {
                    object chunk = member.attr("read")(4096);
                    char *data = nullptr;
                    Py_ssize_t size = 0;
                    if (PyBytes_AsStringAndSize(chunk.ptr(), &data, &size) < 0)
                        pyutil::raise_pending();
                    verdict = size == 0 ? check.finish()
                                        : check.feed(reinterpret_cast<const unsigned char *>(data),
                                                     static_cast<std::size_t>(size));
                }
            },
            [&](nb::python_error &) { verdict = PrologCheck::Verdict::Clean; });
    });
    return verdict;
}

void check_prologs(handle archive, handle infos) {
    for (handle info : infos) {
        std::string name = pyutil::utf8(nb::getattr(info, "filename"));
        switch (prolog_of(archive, info)) {
        case PrologCheck::Verdict::Doctype:
            throw Refused(Refused::Kind::Doctype, "document type declaration in " + name);
        case PrologCheck::Verdict::Encoding:
            throw Refused(Refused::Kind::Encoding,
                          "XML part " + name + " in an encoding that is not checked");
        case PrologCheck::Verdict::TooLong:
            throw Refused(Refused::Kind::Xml,
                          "XML part " + name + " with a prolog of more than 1 MiB");
        default:
            break;
        }
    }
}

// zipfile cuts a member's name at a NUL and keeps the last member of a
// name; the native reader would read another part than the library.
void check_names(handle infos) {
    std::map<std::string, int> seen;
    for (handle info : infos) {
        object original = nb::getattr(info, "orig_filename");
        if (pyutil::contains(original, pyutil::text(std::string(1, '\0'))))
            throw Refused(Refused::Kind::Zip,
                          "a member name with a NUL byte: " + pyutil::utf8(nb::repr(original)));
        std::string name = pyutil::utf8(nb::getattr(info, "filename"));
        if (++seen[name] == 2) throw Refused(Refused::Kind::Zip, "two members named " + name);
    }
}

constexpr auto kMaxRow = static_cast<long long>(native::kMaxRow);

// The extent of a worksheet part as openpyxl lays out its cells: in full
// mode by each cell's own reference, in read-only mode by the row's number;
// the larger of the two is taken.  Counts the cells with a value.  Any
// other part ends the scan at its root.
class ExtentScan : public native::xml::Handler {
public:
    long long rows = 0, columns = 0, cells = 0;

    void start(const char *name, const char **attrs) override {
        ++m_depth;
        const char *local = native::xml::local_name(name);
        if (m_depth == 1) {
            done = std::strcmp(local, "worksheet") != 0;
            return;
        }
        if (m_row_depth == 0) {
            if (std::strcmp(local, "row") == 0) begin_row(attrs);
        } else if (m_depth == m_row_depth + 1) {
            begin_cell(attrs);
        } else if (m_depth == m_row_depth + 2) {
            if (std::strcmp(local, "v") == 0) m_in_value = true;
            if (std::strcmp(local, "is") == 0) m_valued = true;
        }
    }

    void end(const char *) override {
        if (m_row_depth > 0) {
            if (m_depth == m_row_depth + 2) m_in_value = false;
            if (m_depth == m_row_depth + 1 && m_valued) ++m_row_valued;
            if (m_depth == m_row_depth) end_row();
        }
        --m_depth;
    }

    void text(const char *, std::size_t len) override {
        if (m_in_value && len > 0) m_valued = true;
    }

    // The library reads deep nesting: its cells count all the same.
    bool reads_deep() const override { return true; }

private:
    // The library keeps one cell per position: a cell named again and
    // again counts once, so no row counts more cells than its width.
    void end_row() {
        cells += std::min(m_row_valued, m_row_width);
        m_row_depth = 0;
    }

    void begin_row(const char **attrs) {
        m_row_depth = m_depth;
        m_column = 0;
        m_row_valued = m_row_width = 0;
        const char *r = native::xml::attribute(attrs, "r");
        if (!r) {
            ++m_row;
        } else if (!number(r, m_row)) {
            done = true;  // openpyxl fails on the row: nothing is built
            return;
        }
        if (m_row > kMaxRow) throw native::row_beyond(r, static_cast<std::uint64_t>(m_row));
    }

    void begin_cell(const char **attrs) {
        m_valued = m_in_value = false;
        const char *ref = native::xml::attribute(attrs, "r");
        long long row = m_row;
        if (ref && *ref) {
            long long column = 0;
            if (!coordinate(ref, row, column)) return;  // openpyxl fails on the cell
            m_column = column;
            if (column > native::kMaxColumn) throw native::cell_past_last_column(ref);
            if (row > kMaxRow) throw native::cell_past_last_row(ref);
        } else if (++m_column > native::kMaxColumn) {
            throw native::cells_past_last_column(m_row, static_cast<std::uint64_t>(m_column));
        }
        m_row_width = std::max(m_row_width, m_column);
        if (row < 1 || m_row < 1) return;
        rows = std::max({rows, row, m_row});
        columns = std::max(columns, m_column);
    }

    // A Python integer clamped to the range that matters here.
    static long long clamp(handle v) {
        if (v > nb::int_(kMaxRow)) return kMaxRow + 1;
        if (v < nb::int_(-kMaxRow)) return -kMaxRow;
        return pyutil::as_index(v);
    }

    // int(text), or an integral float(text), as openpyxl reads a row number.
    static bool number(const char *text, long long &out) {
        long long v = 0;
        const char *p = text;
        for (; *p >= '0' && *p <= '9'; ++p) v = std::min(v * 10 + (*p - '0'), kMaxRow + 1);
        if (!*p && p != text) {
            out = v;
            return true;
        }
        return pyutil::unless_exception(
            [&] {
                object t = pyutil::text(text);
                try {
                    out = clamp(pyutil::builtin("int")(t));
                    return true;
                } catch (nb::python_error &e) {
                    if (!e.matches(PyExc_ValueError)) throw;
                }
                object f = pyutil::builtin("float")(t);
                if (!pyutil::truthy(f.attr("is_integer")())) return false;
                out = clamp(pyutil::builtin("int")(f));
                return true;
            },
            [](nb::python_error &) { return false; });
    }

    // openpyxl's coordinate_to_tuple: "$"s, letters of either case, digits.
    static bool coordinate(const char *ref, long long &row, long long &column) {
        const char *p = ref;
        if (*p == '$') ++p;
        const char *letters = p;
        long long c = 0;
        for (; (*p >= 'A' && *p <= 'Z') || (*p >= 'a' && *p <= 'z'); ++p)
            c = std::min<long long>(c * 26 + ((*p | 0x20) - 'a' + 1), native::kMaxColumn + 1);
        bool plain = p != letters;
        if (*p == '$') ++p;
        const char *digits = p;
        long long r = 0;
        for (; *p >= '0' && *p <= '9'; ++p) r = std::min(r * 10 + (*p - '0'), kMaxRow + 1);
        if (plain && !*p && p != digits) {
            if (r == 0) return false;
            row = r, column = c;
            return true;
        }
        // Other digits, a final newline: what openpyxl's pattern takes too.
        return pyutil::unless_exception(
            [&] {
                object cell = nb::module_::import_("openpyxl.utils.cell");
                std::vector<object> pair =
                    pyutil::unpack(cell.attr("coordinate_to_tuple")(pyutil::text(ref)), 2);
                row = clamp(pair[0]),
                column = std::min<long long>(clamp(pair[1]), native::kMaxColumn + 1);
                return true;
            },
            [](nb::python_error &) { return false; });
    }

    int m_depth = 0, m_row_depth = 0;
    long long m_row = 0, m_column = 0, m_row_valued = 0, m_row_width = 0;
    bool m_in_value = false, m_valued = false;
};

// A member read through zipfile.
class ZipSource : public native::xml::Source {
public:
    ZipSource(handle member, std::string name, std::uint64_t size)
        : m_member(nb::borrow(member)), m_name(std::move(name)), m_size(size) {}
    std::size_t read(char *buf, std::size_t cap) override {
        object chunk = m_member.attr("read")(cap);
        char *data = nullptr;
        Py_ssize_t size = 0;
        if (PyBytes_AsStringAndSize(chunk.ptr(), &data, &size) < 0) pyutil::raise_pending();
        std::size_t n = std::min(cap, static_cast<std::size_t>(size));
        std::memcpy(buf, data, n);
        return n;
    }
    const std::string &name() const override { return m_name; }
    std::uint64_t size() const override { return m_size; }

private:
    object m_member;
    std::string m_name;
    std::uint64_t m_size;
};

// The sheet a worksheet part holds, by the workbook's own words when the
// native reader can tell them.
std::string sheet_of(const std::string &path, const std::string &part,
                     const native::Settings &settings) {
    try {
        native::Book book(path, settings);
        for (const auto &ws : book.worksheets())
            if (ws.part == part) return ws.name;
    } catch (native::Unsure &) {
    } catch (native::Refused &) {
    }
    return "in part " + part;
}

void check_extents(const std::string &path, handle archive, handle infos,
                   const native::Settings &settings) {
    for (handle info : infos) {
        std::string part = pyutil::utf8(nb::getattr(info, "filename"));
        object member = open_member(archive, info);
        if (!member.is_valid()) continue;
        ExtentScan scan;
        closing(member, [&] {
            ZipSource source(member, part, static_cast<std::uint64_t>(attr_int(info, "file_size")));
            // Malformed, or unreadable through zipfile: the library says so;
            // the extent so far stands.
            try {
                pyutil::unless_exception([&] { native::xml::parse(source, scan); },
                                         [](nb::python_error &) {});
            } catch (native::Unsure &) {
            } catch (native::Beyond &beyond) {
                throw beyond.refusal(sheet_of(path, part, settings));
            }
        });
        if (scan.done && scan.rows == 0) continue;
        auto rows = static_cast<std::uint64_t>(scan.rows),
             columns = static_cast<std::uint64_t>(scan.columns);
        auto cells = static_cast<std::uint64_t>(scan.cells);
        try {
            native::check_grid(settings, part, rows, columns, cells);
        } catch (Refused &) {
            native::check_grid(settings, sheet_of(path, part, settings), rows, columns, cells);
            throw;
        }
    }
}

// A reason as a message gives it: the parts of a file it quotes are
// excerpts already, a name of a member or an element may still be long.
std::string shortened(const std::string &why) {
    constexpr std::size_t kMost = 300;
    if (why.size() <= kMost) return why;
    std::size_t cut = kMost;
    while (cut > 0 && (static_cast<unsigned char>(why[cut]) & 0xC0) == 0x80) --cut;
    return why.substr(0, cut) + "...";
}

object optional_text(const std::optional<std::string> &s) {
    return s ? pyutil::text(*s) : object(nb::none());
}

}  // namespace

void guard_workbook(const File &file) {
    handle filename = file.name();
    object zipfile = nb::module_::import_("zipfile");
    std::string path;
    // Only what names a file: an open stream is the caller's.  No zip: the
    // library reports it as it always has.
    object archive = pyutil::unless_exception(
        [&] {
            object os = nb::module_::import_("os");
            object encoded = os.attr("fsencode")(os.attr("fspath")(filename));
            char *data = nullptr;
            Py_ssize_t size = 0;
            if (PyBytes_AsStringAndSize(encoded.ptr(), &data, &size) < 0) pyutil::raise_pending();
            path.assign(data, static_cast<std::size_t>(size));
            return zipfile.attr("ZipFile")(os.attr("fspath")(filename));
        },
        [&](nb::python_error &e) {
            // A workbook cut short or damaged: the library would say so in
            // the same words, naming no file.
            if (e.matches(zipfile.attr("BadZipFile").ptr()) && !path.empty() &&
                zip_by_content(path))
                pyutil::raise(zipfile.attr("BadZipFile")(
                    pyutil::text(shown_file(filename) + ": " + pyutil::utf8(e.value()))));
            return object();
        });
    if (!archive.is_valid()) return;
    try {
        closing(archive, [&] {
            object infos = archive.attr("infolist")();
            check_members(infos);
            check_names(infos);
            check_prologs(archive, infos);
            check_extents(path, archive, infos, file.settings());
        });
    } catch (Refused &refusal) {
        raise_refusal(filename, refusal);
    }
}

void check_before_library(handle filename) { guard_workbook(File(filename)); }

void check_before_library(File &file, handle filetype) {
    if (is_workbook_type(filetype)) file.library_engine();
    guard_workbook(file);
}

void raise_refusal(handle filename, const Refused &refusal) {
    // The error class of each refusal, as the library's own reading would
    // raise it, and how many of the refusal's details it takes as arguments
    // (none: the message alone, after the file's name).
    const char *module = "builtins", *name = "ValueError";
    std::size_t taken = 0;
    switch (refusal.kind) {
    case Refused::Kind::Zip:
        module = "zipfile", name = "BadZipFile";
        break;
    case Refused::Kind::Doctype:
        module = "defusedxml.common", name = "DTDForbidden", taken = 3;
        break;
    case Refused::Kind::Entities:
        module = "defusedxml.common", name = "EntitiesForbidden", taken = 6;
        break;
    case Refused::Kind::Encoding:
        module = "defusedxml.common", name = "DefusedXmlException";
        break;
    case Refused::Kind::Xml:
        module = "xml.etree.ElementTree", name = "ParseError";
        break;
    case Refused::Kind::Sheet:
        break;
    case Refused::Kind::Size:
        break;
    case Refused::Kind::Memory:
        name = "MemoryError";
        break;
    }
    nb::list args;
    if (taken == 0)
        args.append(pyutil::text(shown_file(filename) + ": " + shortened(refusal.what())));
    for (std::size_t i = 0; i < taken; ++i)
        args.append(i < refusal.details.size() ? optional_text(refusal.details[i])
                                               : object(nb::none()));
    object type = nb::module_::import_(module).attr(name);
    pyutil::raise(type(*args));
}

void raise_unsure(handle filename, const native::Unsure &unsure) {
    pyutil::raise(PyExc_RuntimeError, "native reader unsure of %s: %s",
                  shown_file(filename).c_str(), shortened(unsure.what()).c_str());
}

}  // namespace mine
