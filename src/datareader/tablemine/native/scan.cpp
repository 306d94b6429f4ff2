// The hand-written scanner of a part: the same events expat gives a
// handler, for the plain XML the writers of workbooks make, several times
// faster.  It knows a narrow form of XML and says so as soon as it meets
// anything else: a declaration other than version 1.0 in UTF-8, a DTD, CDATA,
// a comment, a processing instruction, a prefixed element, a namespace
// declared below the root, an entity other than the five predefined and the
// numeric ones, white space other than a space in an attribute value, a
// name outside ASCII, a token beyond 16
// MiB, nesting beyond expat's bound, and any markup it finds malformed.  The
// caller then reads the whole part again through expat, which accepts,
// refuses or reports it in its own words: the scanner never decides what a
// doubtful part holds.
//
// What it saves: the Training sheet of the bench's campaign (49 MB of XML)
// reads in 0.18 s of CPU with it against 0.39 to 0.41 s by expat alone
// (TRELLIS_SCANNER=0), inflating included: the bench row "Training sheet
// CPU, expat / scanner", 2.2 to 2.3 x, on a 2-core machine shared with
// other builds.
#include "datareader/tablemine/native/xml.hpp"

#include "common/pace.hpp"
#include "datareader/tablemine/native/errors.hpp"
#include "datareader/tablemine/native/zip.hpp"

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string_view>
#include <vector>

namespace mine::native::xml {
namespace {

constexpr std::size_t kChunk = 256 * 1024;
// Beyond this a token is left to expat, which refuses it.
constexpr std::size_t kMaxToken = 16u << 20;
constexpr int kMaxDepth = 256;
constexpr std::size_t kMaxAttributes = 64;
constexpr const char *kXmlNs = "http://www.w3.org/XML/1998/namespace";
// The row height Excel writes on every row, in a namespace of its own.
constexpr const char *kDyDescent = "http://schemas.microsoft.com/office/spreadsheetml/2009/9/ac\x01"
                                   "dyDescent";

// Thrown inside the scanner only: the part goes to expat.
struct HandBack {};

// The ASCII characters of names: 1 for those a name may begin with, 2 for
// those it may hold further on.
struct NameChars {
    unsigned char of[256] = {};
    constexpr NameChars() {
        for (int c = 0; c < 256; ++c) {
            bool first = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_';
            bool later = first || (c >= '0' && c <= '9') || c == '-' || c == '.' || c == ':';
            of[c] = static_cast<unsigned char>((first ? 1 : 0) | (later ? 2 : 0));
        }
    }
};
constexpr NameChars kNameChars;

// The bytes of the plain cell's attribute values and <v> text: printable
// ASCII but '&' (no reference), '<' in an attribute, ']' in a text (no
// "]]>" can hide in what is left).  A run's end is found by memchr, and the
// run checked a word at a time: no branch per byte.
constexpr unsigned char kBadInAttribute = 1, kBadInValue = 2;

// Eight bytes at a time: the high bit of each byte of `w` set where the
// byte is below 0x20 or from 0x80 on, or is `special` ('<' or ']') or '&'.
// A byte may be flagged wrongly only above one rightly flagged (a borrow
// runs from a lower byte to higher ones), so the flags of the first n bytes
// are none exactly when none of those bytes is odd.
inline std::uint64_t odd_bytes(std::uint64_t w, unsigned char special) {
    constexpr std::uint64_t ones = 0x0101010101010101u, highs = 0x8080808080808080u;
    auto zero_bytes = [&](std::uint64_t v) { return (v - ones) & ~v & highs; };
    std::uint64_t below_space = (w - 0x20 * ones) & ~w & highs;
    return below_space | (w & highs) | zero_bytes(w ^ ('&' * ones)) |
           zero_bytes(w ^ (special * ones));
}

// Whether every byte of [p, end) is plain for `kind`; `limit` is the end of
// the buffer.  A value of a cell is a few to twenty bytes: eight at a time,
// the last ones read with the bytes after them when the buffer holds them
// (their flags masked: the first bytes of a little-endian word are its low
// ones), else copied, padded with a plain byte.  The bench row "Training
// sheet CPU / inflate alone" counts it.
inline bool plain_run(const char *p, const char *end, const char *limit, unsigned char kind) {
    const unsigned char special = kind == kBadInAttribute ? '<' : ']';
    std::uint64_t w;
    for (; end - p >= 8; p += 8) {
        std::memcpy(&w, p, 8);
        if (odd_bytes(w, special)) return false;
    }
    auto n = static_cast<unsigned>(end - p);
    if (n == 0) return true;
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
    if (limit - p >= 8) {
        std::memcpy(&w, p, 8);
        return (odd_bytes(w, special) & ((std::uint64_t(1) << (8 * n)) - 1)) == 0;
    }
#endif
    char last[8] = {'0', '0', '0', '0', '0', '0', '0', '0'};
    std::memcpy(last, p, n);
    std::memcpy(&w, last, 8);
    return odd_bytes(w, special) == 0;
}

inline bool name_start(unsigned char c) { return kNameChars.of[c] & 1; }
inline bool name_char(unsigned char c) { return kNameChars.of[c] & 2; }
// White space within tags and outside the root, where a carriage return
// needs no care; in text and attribute values it does.
inline bool space(unsigned char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

void append_utf8(std::string &out, unsigned long c) {
    if (c < 0x80) {
        out += static_cast<char>(c);
    } else if (c < 0x800) {
        out += static_cast<char>(0xC0 | (c >> 6));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
        out += static_cast<char>(0xE0 | (c >> 12));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (c >> 18));
        out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    }
}

// A character XML allows in a document (tab and line feed, but no carriage
// return, which expat would normalize).
bool xml_char(unsigned long c) {
    return c == 0x9 || c == 0xA || (c >= 0x20 && c <= 0xD7FF) || (c >= 0xE000 && c <= 0xFFFD) ||
           (c >= 0x10000 && c <= 0x10FFFF);
}

// The length of the well-formed UTF-8 sequence of an allowed character at p,
// 0 where there is none.
std::size_t utf8_length(const unsigned char *p, const unsigned char *end) {
    unsigned char b = *p;
    std::size_t n;
    unsigned long c;
    if (b < 0xC2) return 0;
    if (b < 0xE0)
        n = 2, c = b & 0x1Fu;
    else if (b < 0xF0)
        n = 3, c = b & 0x0Fu;
    else if (b < 0xF5)
        n = 4, c = b & 0x07u;
    else
        return 0;
    if (static_cast<std::size_t>(end - p) < n) return 0;
    for (std::size_t i = 1; i < n; ++i) {
        if ((p[i] & 0xC0) != 0x80) return 0;
        c = (c << 6) | (p[i] & 0x3Fu);
    }
    static const unsigned long least[] = {0, 0, 0x80, 0x800, 0x10000};
    if (c < least[n] || !xml_char(c)) return 0;
    return n;
}

class Scanner {
public:
    // `count_lines`: the line where the scanner gives up is to be told (the
    // lines of the bytes it passes are then counted, a cost it otherwise
    // spares).
    Scanner(Source &source, Handler &handler, Policy policy, bool count_lines)
        : m_source(source), m_handler(handler), m_policy(policy), m_count_lines(count_lines) {}

    bool run() {
        try {
            fill();
            prolog();
            while (!m_handler.done) {
                if (!step()) break;
            }
            return true;
        } catch (HandBack &) {
            return false;
        }
    }

    // The line of the token the scanner stopped at, from 1.
    std::uint64_t line() const {
        return 1 + m_lines_passed +
               static_cast<std::uint64_t>(std::count(
                   m_buf.begin(), m_buf.begin() + static_cast<std::ptrdiff_t>(m_pos), '\n'));
    }

private:
    // ---- the bytes -------------------------------------------------------

    // At least one more byte past m_end; false at the end of the part.
    bool fill() {
        if (m_eof) return false;
        pace::poll();
        if (m_pos > 0 && (m_pos >= m_buf.size() / 2 || m_end + kChunk > m_buf.size())) {
            if (m_count_lines)
                m_lines_passed += static_cast<std::uint64_t>(std::count(
                    m_buf.begin(), m_buf.begin() + static_cast<std::ptrdiff_t>(m_pos), '\n'));
            std::memmove(m_buf.data(), m_buf.data() + m_pos, m_end - m_pos);
            m_end -= m_pos;
            m_pos = 0;
        }
        if (m_end - m_pos > kMaxToken) throw HandBack();
        if (m_buf.size() < m_end + kChunk) {
            std::size_t chunk =
                static_cast<std::size_t>(std::min<std::uint64_t>(kChunk, m_source.size() + 1));
            m_buf.resize(std::max(m_buf.size() * 2, m_end + chunk));
        }
        std::size_t got = m_source.read(m_buf.data() + m_end, m_buf.size() - m_end);
        if (got == 0) {
            m_eof = true;
            return false;
        }
        m_end += got;
        return true;
    }

    const unsigned char *data() const {
        return reinterpret_cast<const unsigned char *>(m_buf.data());
    }

    // ---- prolog, body and epilog -----------------------------------------

    void prolog() {
        // Only the declaration the writers make: version 1.0, UTF-8.
        while (m_end - m_pos < 6 && fill()) {
        }
        if (m_end - m_pos >= 5 && std::memcmp(m_buf.data() + m_pos, "<?xml", 5) == 0) {
            std::size_t at = find_from(m_pos, "?>");
            declaration(std::string_view(m_buf.data() + m_pos + 5, at - m_pos - 5));
            m_pos = at + 2;
        }
    }

    // The index of `what` from `from` on, filling as needed; hands back at
    // the end of the part.
    std::size_t find_from(std::size_t from, const char *what) {
        std::size_t len = std::strlen(what);
        std::size_t offset = from - m_pos;
        for (;;) {
            std::string_view hay(m_buf.data() + m_pos, m_end - m_pos);
            std::size_t at = hay.find(what, offset);
            if (at != std::string_view::npos) return m_pos + at;
            offset = hay.size() >= len ? hay.size() - len + 1 : 0;
            if (!fill()) throw HandBack();
        }
    }

    static void declaration(std::string_view d) {
        // version="1.0" [encoding="UTF-8"] [standalone="yes"|"no"], spaces
        // between, either quote
        std::size_t i = 0;
        auto pseudo = [&](const char *name, std::string_view &value) {
            std::size_t start = i;
            if (i >= d.size() || !space(static_cast<unsigned char>(d[i]))) return false;
            while (i < d.size() && space(static_cast<unsigned char>(d[i]))) ++i;
            std::size_t n = std::strlen(name);
            if (d.substr(i, n) != name) {
                i = start;
                return false;
            }
            i += n;
            if (i + 1 >= d.size() || d[i] != '=' || (d[i + 1] != '"' && d[i + 1] != '\''))
                throw HandBack();
            char quote = d[i + 1];
            std::size_t close = d.find(quote, i + 2);
            if (close == std::string_view::npos) throw HandBack();
            value = d.substr(i + 2, close - i - 2);
            i = close + 1;
            return true;
        };
        std::string_view version, encoding, standalone;
        if (!pseudo("version", version) || version != "1.0") throw HandBack();
        if (pseudo("encoding", encoding) && encoding != "UTF-8" && encoding != "utf-8")
            throw HandBack();
        if (pseudo("standalone", standalone) && standalone != "yes" && standalone != "no")
            throw HandBack();
        while (i < d.size() && space(static_cast<unsigned char>(d[i]))) ++i;
        if (i != d.size()) throw HandBack();
    }

    // One token; false at the end of the part.
    bool step() {
        if (m_pos == m_end && !fill()) {
            if (m_depth != 0 || !m_seen_root) throw HandBack();  // expat: no element, or unclosed
            return false;
        }
        if (m_buf[m_pos] == '<') {
            tag();
        } else {
            text();
        }
        return true;
    }

    // ---- text --------------------------------------------------------------

    void text() {
        // The run up to the next '<' (or the end of the part).
        std::size_t scanned = m_pos;
        std::size_t stop;
        for (;;) {
            const void *lt = std::memchr(m_buf.data() + scanned, '<', m_end - scanned);
            if (lt) {
                stop = static_cast<std::size_t>(static_cast<const char *>(lt) - m_buf.data());
                break;
            }
            scanned = m_end;
            std::size_t before = m_pos;
            if (!fill()) {
                stop = m_end;
                break;
            }
            scanned -= before - m_pos;  // the buffer may have moved
        }
        const unsigned char *p = data() + m_pos, *end = data() + stop;
        if (m_depth == 0) {
            // only white space outside the root
            for (; p < end; ++p)
                if (!space(*p)) throw HandBack();
            m_pos = stop;
            return;
        }
        // A '>' after "]]" is an error in text; so is a '&' that begins no
        // reference, and a character XML does not allow.
        const unsigned char *plain_end = p;
        bool decoded = false;
        m_text.clear();
        for (const unsigned char *q = p; q < end;) {
            unsigned char c = *q;
            if (c >= 0x20 && c < 0x80 && c != '&' && c != ']') {
                ++q;
                continue;
            }
            if (c == '\t' || c == '\n') {
                ++q;
                continue;
            }
            if (c == ']') {
                if (end - q >= 3 && q[1] == ']' && q[2] == '>') throw HandBack();
                ++q;
                continue;
            }
            if (c >= 0x80) {
                std::size_t n = utf8_length(q, end);
                if (!n) throw HandBack();
                q += n;
                continue;
            }
            if (c != '&' && c != '\r') throw HandBack();  // a control character
            if (!decoded) {
                decoded = true;
                m_text.assign(reinterpret_cast<const char *>(p), static_cast<std::size_t>(q - p));
            } else {
                m_text.append(reinterpret_cast<const char *>(plain_end),
                              static_cast<std::size_t>(q - plain_end));
            }
            if (c == '\r') {
                // a line ends in "\r\n" or "\r": "\n" to the handler, as XML
                // has it (the run ends at a '<', so no "\n" is still to come)
                m_text += '\n';
                q += q + 1 < end && q[1] == '\n' ? 2 : 1;
            } else {
                q = reference(q, end, m_text);
            }
            plain_end = q;
        }
        if (decoded) {
            m_text.append(reinterpret_cast<const char *>(plain_end),
                          static_cast<std::size_t>(end - plain_end));
            m_handler.text(m_text.data(), m_text.size());
        } else if (end > p) {
            m_handler.text(reinterpret_cast<const char *>(p), static_cast<std::size_t>(end - p));
        }
        m_pos = stop;
        if (m_eof && m_pos == m_end && m_depth != 0) throw HandBack();
    }

    // The reference at q ('&'), decoded into out; the position after it.
    static const unsigned char *reference(const unsigned char *q, const unsigned char *end,
                                          std::string &out) {
        const unsigned char *semi = static_cast<const unsigned char *>(
            std::memchr(q, ';', static_cast<std::size_t>(std::min<std::ptrdiff_t>(end - q, 12))));
        if (!semi) throw HandBack();
        std::string_view name(reinterpret_cast<const char *>(q + 1),
                              static_cast<std::size_t>(semi - q - 1));
        if (name == "lt")
            out += '<';
        else if (name == "gt")
            out += '>';
        else if (name == "amp")
            out += '&';
        else if (name == "quot")
            out += '"';
        else if (name == "apos")
            out += '\'';
        else if (name.size() >= 2 && name[0] == '#') {
            bool hex = name[1] == 'x';
            std::size_t from = hex ? 2 : 1;
            if (from >= name.size() || name.size() - from > 7) throw HandBack();
            unsigned long c = 0;
            for (std::size_t i = from; i < name.size(); ++i) {
                char d = name[i];
                unsigned long v;
                if (d >= '0' && d <= '9')
                    v = static_cast<unsigned long>(d - '0');
                else if (hex && d >= 'a' && d <= 'f')
                    v = static_cast<unsigned long>(d - 'a' + 10);
                else if (hex && d >= 'A' && d <= 'F')
                    v = static_cast<unsigned long>(d - 'A' + 10);
                else
                    throw HandBack();
                c = c * (hex ? 16 : 10) + v;
            }
            // a reference may give a carriage return; a NUL or a surrogate
            // is an error
            if (!xml_char(c) && c != 0xD) throw HandBack();
            append_utf8(out, c);
        } else {
            throw HandBack();
        }
        return semi + 1;
    }

    // ---- tags --------------------------------------------------------------

    // The whole tag from m_pos ('<') to its '>', quotes minded; its end.
    std::size_t tag_end() {
        std::size_t i = m_pos + 1;
        char quote = 0;
        for (;;) {
            for (; i < m_end; ++i) {
                char c = m_buf[i];
                if (quote) {
                    if (c == quote) quote = 0;
                } else if (c == '"' || c == '\'') {
                    quote = c;
                } else if (c == '>') {
                    return i;
                }
            }
            std::size_t before = m_pos;
            if (!fill()) throw HandBack();
            i -= before - m_pos;
        }
    }

    void tag() {
        if (m_policy == Policy::Worksheet && m_depth == 3 && m_in_rows && plain_cell()) return;
        if (m_policy == Policy::SharedStrings && m_depth == 1 && plain_string()) return;
        std::size_t close = tag_end();
        const unsigned char *p = data() + m_pos + 1, *end = data() + close;
        if (p < end && *p == '/') {
            end_tag(p + 1, end);
        } else {
            // "<!" (DTD, comment, CDATA) and "<?" are expat's
            if (p == end || !name_start(*p)) throw HandBack();
            start_tag(p, end);
        }
        m_pos = close + 1;
    }

    // A cell in the form the writers make, read at once when it lies whole
    // in the buffer: <c> with attributes r, s, t only, of plain values, and
    // nothing in it but one <v> of plain text, or nothing.  False, with
    // nothing read, for anything else: the events take it.
    bool plain_cell() {
        const char *b = m_buf.data(), *p = b + m_pos, *end = b + m_end;
        if (end - p < 4 || p[1] != 'c') return false;
        p += 2;
        constexpr std::ptrdiff_t kMaxValue = 24;
        char values[3][kMaxValue + 1];
        bool seen[3] = {false, false, false};
        for (;;) {
            if (p == end) return false;
            if (*p == '>' || *p == '/') break;
            if (*p != ' ') return false;
            while (p < end && *p == ' ') ++p;
            if (p == end) return false;
            if (*p == '>' || *p == '/') break;
            int k = *p == 'r' ? 0 : *p == 's' ? 1 : *p == 't' ? 2 : -1;
            if (k < 0 || seen[k] || end - p < 3 || p[1] != '=' || p[2] != '"') return false;
            p += 3;
            const char *v = p;
            p = static_cast<const char *>(
                std::memchr(p, '"', static_cast<std::size_t>(std::min(end - p, kMaxValue + 1))));
            if (!p || !plain_run(v, p, end, kBadInAttribute)) return false;
            std::memcpy(values[k], v, static_cast<std::size_t>(p - v));
            values[k][p - v] = '\0';
            seen[k] = true;
            ++p;
        }
        Handler::PlainCell cell{seen[0] ? values[0] : nullptr,
                                seen[1] ? values[1] : nullptr,
                                seen[2] ? values[2] : nullptr,
                                nullptr,
                                0,
                                false};
        if (*p == '/') {
            if (end - p < 2 || p[1] != '>') return false;
            p += 2;
        } else if (end - ++p >= 4 && std::memcmp(p, "</c>", 4) == 0) {
            p += 4;
        } else {
            if (end - p < 3 || std::memcmp(p, "<v>", 3) != 0) return false;
            p += 3;
            const char *v = p;
            p = static_cast<const char *>(std::memchr(p, '<', static_cast<std::size_t>(end - p)));
            if (!p || !plain_run(v, p, end, kBadInValue)) return false;
            if (end - p < 8 || std::memcmp(p, "</v></c>", 8) != 0) return false;
            cell.value = v;
            cell.value_len = static_cast<std::size_t>(p - v);
            cell.has_value = true;
            p += 8;
        }
        if (!m_handler.cell(cell)) return false;
        m_pos = static_cast<std::size_t>(p - b);
        return true;
    }

    // A shared string in the form the writers make, read at once when it
    // lies whole in the buffer: <si><t> (or <t xml:space="preserve">), text
    // without references, </t></si>.  False, with nothing read, otherwise.
    bool plain_string() {
        const unsigned char *b = data(), *p = b + m_pos, *end = b + m_end;
        static const char kOpen[] = "<si><t", kPreserve[] = " xml:space=\"preserve\"";
        if (static_cast<std::size_t>(end - p) < sizeof kOpen ||
            std::memcmp(p, kOpen, sizeof kOpen - 1) != 0)
            return false;
        p += sizeof kOpen - 1;
        if (static_cast<std::size_t>(end - p) > sizeof kPreserve &&
            std::memcmp(p, kPreserve, sizeof kPreserve - 1) == 0)
            p += sizeof kPreserve - 1;
        if (p == end || *p != '>') return false;
        const unsigned char *text = ++p;
        while (p < end && *p != '<') {
            unsigned char c = *p;
            if (c >= 0x80) {
                std::size_t n = utf8_length(p, end);
                if (!n) return false;
                p += n;
                continue;
            }
            // no "]]>" can hide in what is left
            if ((c < 0x20 && c != '\t' && c != '\n') || c == '&' || c == ']') return false;
            ++p;
        }
        if (end - p < 10 || std::memcmp(p, "</t></si>", 9) != 0) return false;
        if (!m_handler.plain_string(reinterpret_cast<const char *>(text),
                                    static_cast<std::size_t>(p - text)))
            return false;
        m_pos = static_cast<std::size_t>(p + 9 - b);
        return true;
    }

    static const unsigned char *name_end(const unsigned char *p, const unsigned char *end) {
        if (p == end || !name_start(*p)) throw HandBack();
        while (p < end && name_char(*p)) ++p;
        return p;
    }

    void end_tag(const unsigned char *p, const unsigned char *end) {
        const unsigned char *n = name_end(p, end);
        std::string_view raw(reinterpret_cast<const char *>(p), static_cast<std::size_t>(n - p));
        for (; n < end; ++n)
            if (!space(*n)) throw HandBack();
        if (m_depth == 0 || m_stack[static_cast<std::size_t>(m_depth - 1)].raw != raw)
            throw HandBack();
        --m_depth;
        m_handler.end(m_stack[static_cast<std::size_t>(m_depth)].qualified.c_str());
        ended();
    }

    struct RawAttr {
        std::string_view name;
        const unsigned char *value, *value_end;
    };
    struct Prefix {
        std::string prefix, uri;
        int depth;  // of the element declaring it
    };

    struct Attr {
        std::string_view raw;
        std::size_t name_at, value_at;  // in m_attr_text
    };

    void start_tag(const unsigned char *p, const unsigned char *end) {
        bool empty = end > p && end[-1] == '/';
        if (empty) --end;
        const unsigned char *n = name_end(p, end);
        std::string_view raw(reinterpret_cast<const char *>(p), static_cast<std::size_t>(n - p));
        if (m_depth == 0 && m_seen_root) throw HandBack();  // a second root
        if (m_depth >= kMaxDepth) throw HandBack();
        bool root = m_depth == 0;
        m_raw.clear();
        for (;;) {
            const unsigned char *q = n;
            while (n < end && space(*n)) ++n;
            if (n == end) break;
            if (n == q) throw HandBack();  // attributes are parted by white space
            const unsigned char *an = name_end(n, end);
            std::string_view name(reinterpret_cast<const char *>(n),
                                  static_cast<std::size_t>(an - n));
            n = an;
            while (n < end && space(*n)) ++n;
            if (n == end || *n != '=') throw HandBack();
            ++n;
            while (n < end && space(*n)) ++n;
            if (n == end || (*n != '"' && *n != '\'')) throw HandBack();
            unsigned char quote = *n++;
            const unsigned char *v = n;
            while (n < end && *n != quote) ++n;
            if (n == end) throw HandBack();
            const unsigned char *vend = n++;
            if (m_raw.size() >= kMaxAttributes) throw HandBack();
            for (const RawAttr &seen : m_raw)
                if (seen.name == name) throw HandBack();
            m_raw.push_back(RawAttr{name, v, vend});
        }
        // The namespaces declared here hold for this element and those within.
        for (const RawAttr &r : m_raw) {
            if (r.name == "xmlns") {
                std::string value;
                attribute_value(r.value, r.value_end, value);
                // a default namespace below the root, none, or a reserved
                // one is expat's
                if (!root || value.empty() || value == kXmlNs ||
                    value == "http://www.w3.org/2000/xmlns/")
                    throw HandBack();
                m_default_ns = value;
            } else if (r.name.substr(0, 6) == "xmlns:") {
                std::string_view prefix = r.name.substr(6);
                std::string value;
                attribute_value(r.value, r.value_end, value);
                // reserved names and namespaces are expat's to refuse
                if (value.empty() || prefix.empty() || prefix == "xml" || prefix == "xmlns" ||
                    prefix.find(':') != std::string_view::npos || value == kXmlNs ||
                    value == "http://www.w3.org/2000/xmlns/")
                    throw HandBack();
                m_prefixes.push_back(Prefix{std::string(prefix), value, m_depth + 1});
            }
        }
        m_attr_text.clear();
        m_attrs.clear();
        for (const RawAttr &r : m_raw) {
            if (r.name == "xmlns" || r.name.substr(0, 6) == "xmlns:") continue;
            Attr a{r.name, m_attr_text.size(), 0};
            qualify(r.name, false, m_attr_text);
            m_attr_text += '\0';
            a.value_at = m_attr_text.size();
            attribute_value(r.value, r.value_end, m_attr_text);
            m_attr_text += '\0';
            m_attrs.push_back(a);
        }
        if (root) {
            m_seen_root = true;
        }
        // two prefixes of one namespace may still name one attribute twice
        for (std::size_t i = 0; i < m_attrs.size(); ++i)
            for (std::size_t j = 0; j < i; ++j)
                if (m_attrs[i].raw.find(':') != std::string_view::npos &&
                    std::strcmp(m_attr_text.c_str() + m_attrs[i].name_at,
                                m_attr_text.c_str() + m_attrs[j].name_at) == 0)
                    throw HandBack();
        m_pointers.clear();
        for (const Attr &at : m_attrs) {
            m_pointers.push_back(m_attr_text.c_str() + at.name_at);
            m_pointers.push_back(m_attr_text.c_str() + at.value_at);
        }
        m_pointers.push_back(nullptr);

        if (static_cast<std::size_t>(m_depth) == m_stack.size()) m_stack.emplace_back();
        Open &open = m_stack[static_cast<std::size_t>(m_depth)];
        open.raw.assign(raw);
        open.qualified.clear();
        // a prefixed root, or a prefixed element of the hot parts, is expat's
        if (raw.find(':') != std::string_view::npos && (root || m_policy != Policy::Any)) {
            if (m_policy == Policy::SharedStrings || root ||
                (m_policy == Policy::Worksheet && m_in_rows))
                throw HandBack();
        }
        qualify(raw, true, open.qualified);
        ++m_depth;
        policy_start(raw);
        m_handler.start(open.qualified.c_str(), m_pointers.data());
        if (empty && !m_handler.done) {
            --m_depth;
            m_handler.end(open.qualified.c_str());
            ended();
        }
    }

    const std::string *namespace_of(std::string_view prefix) {
        if (prefix == "xml") return &m_xml_ns;
        for (auto p = m_prefixes.rbegin(); p != m_prefixes.rend(); ++p)
            if (p->prefix == prefix) return &p->uri;
        return nullptr;
    }

    // A name as expat gives it: "uri\x01local" in a namespace, else as it
    // stands (an unprefixed attribute is in none).
    void qualify(std::string_view name, bool element, std::string &out) {
        std::size_t colon = name.find(':');
        if (colon != std::string_view::npos) {
            const std::string *ns = namespace_of(name.substr(0, colon));
            if (!ns || name.find(':', colon + 1) != std::string_view::npos ||
                colon + 1 == name.size())
                throw HandBack();
            out += *ns;
            out += kSeparator;
            out.append(name.substr(colon + 1));
        } else if (element && !m_default_ns.empty()) {
            out += m_default_ns;
            out += kSeparator;
            out.append(name);
        } else {
            out.append(name);
        }
    }

    // The end of an element: the namespaces it declared end with it.
    void ended() {
        while (!m_prefixes.empty() && m_prefixes.back().depth > m_depth) m_prefixes.pop_back();
        if (m_policy == Policy::Worksheet && m_depth == 1) m_in_rows = false;
    }

    // An attribute value, its references decoded, into out.  White space
    // other than a space (which expat would normalize), '<' and any
    // character XML does not allow are expat's.
    static void attribute_value(const unsigned char *v, const unsigned char *end,
                                std::string &out) {
        const unsigned char *plain = v;
        while (v < end) {
            unsigned char c = *v;
            if (c >= 0x20 && c < 0x80 && c != '&' && c != '<') {
                ++v;
                continue;
            }
            if (c >= 0x80) {
                std::size_t n = utf8_length(v, end);
                if (!n) throw HandBack();
                v += n;
                continue;
            }
            if (c != '&') throw HandBack();
            out.append(reinterpret_cast<const char *>(plain), static_cast<std::size_t>(v - plain));
            v = reference(v, end, out);
            plain = v;
        }
        out.append(reinterpret_cast<const char *>(plain), static_cast<std::size_t>(end - plain));
    }

    // ---- what each part may hold ---------------------------------------------

    // Within the rows of a worksheet and the items of the shared strings,
    // only the elements and attributes their readers know: a rich or
    // phonetic run, or anything new, is read by the proven path.
    void policy_start(std::string_view raw) {
        switch (m_policy) {
        case Policy::Any:
            return;
        case Policy::Worksheet:
            if (m_depth == 2) {
                m_in_rows = raw == "sheetData";
                if (m_in_rows && !m_attrs.empty()) throw HandBack();
            } else if (m_depth >= 3 && m_in_rows) {
                worksheet_element(raw);
            }
            return;
        case Policy::SharedStrings:
            if (m_depth == 2) {
                if (raw != "si" || !m_attrs.empty()) throw HandBack();
            } else if (m_depth == 3) {
                if (raw != "t") throw HandBack();
                only({"http://www.w3.org/XML/1998/namespace\x01space"});
            } else if (m_depth > 3) {
                throw HandBack();
            }
            return;
        }
    }

    void worksheet_element(std::string_view raw) {
        switch (m_depth) {
        case 3:
            if (raw != "row") throw HandBack();
            only({"r", "spans", "s", "customFormat", "ht", "hidden", "customHeight", "outlineLevel",
                  "collapsed", "thickTop", "thickBot", "ph", kDyDescent});
            break;
        case 4:
            if (raw != "c") throw HandBack();
            only({"r", "s", "t", "cm", "vm", "ph"});
            m_inline = false;
            break;
        case 5:
            if (raw == "v") {
                only({});
            } else if (raw == "f") {
                only({"t", "ref", "si", "aca", "ca", "dt2D", "dtr", "del1", "del2", "r1", "r2",
                      "bx"});
            } else if (raw == "is") {
                only({});
                m_inline = true;
            } else {
                throw HandBack();
            }
            break;
        case 6:
            if (!m_inline || raw != "t") throw HandBack();
            only({"http://www.w3.org/XML/1998/namespace\x01space"});
            break;
        default:
            throw HandBack();
        }
    }

    void only(std::initializer_list<const char *> known) {
        for (const Attr &a : m_attrs) {
            const char *name = m_attr_text.c_str() + a.name_at;
            bool ok = false;
            for (const char *k : known) ok = ok || std::strcmp(name, k) == 0;
            if (!ok) throw HandBack();
        }
    }

    struct Open {
        std::string raw, qualified;
    };

    Source &m_source;
    Handler &m_handler;
    Policy m_policy;
    bool m_count_lines;
    std::uint64_t m_lines_passed = 0;  // in the bytes dropped from m_buf
    std::vector<char> m_buf;
    std::size_t m_pos = 0, m_end = 0;
    bool m_eof = false, m_seen_root = false, m_in_rows = false, m_inline = false;
    int m_depth = 0;
    std::vector<Open> m_stack;
    std::string m_default_ns;
    const std::string m_xml_ns = kXmlNs;
    std::vector<Prefix> m_prefixes;
    std::vector<RawAttr> m_raw;
    std::string m_text, m_attr_text;
    std::vector<Attr> m_attrs;
    std::vector<const char *> m_pointers;
};

}  // namespace

bool scan(Source &source, Handler &handler, Policy policy, const Settings &settings) {
    // TRELLIS_SCANNER=only: what the scanner leaves is told, and where (the
    // tests' proof that it reads a part alone)
    bool tell = settings.scanner_tells;
    Scanner scanner(source, handler, policy, tell);
    if (scanner.run()) return true;
    if (tell)
        throw Unsure("the scanner leaves " + source.name() + " to expat: line " +
                     std::to_string(scanner.line()));
    return false;
}

bool scan(zip::MemberStream &member, Handler &handler, Policy policy, const Settings &settings) {
    MemberSource source(member);
    return scan(source, handler, policy, settings);
}

}  // namespace mine::native::xml
