#include "datareader/tablemine/native/prolog.hpp"

#include <algorithm>
#include <cctype>
#include <cstring>

namespace mine::native {
namespace {

// A real prolog is a declaration and perhaps a comment: well under a
// kilobyte.
constexpr std::size_t kMaxProlog = 1u << 20;

bool space(char32_t c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

bool starts_with(const std::string &s, const char *prefix) {
    return s.compare(0, std::strlen(prefix), prefix) == 0;
}

// Encodings in which every parser reads "<!DOCTYPE" as the same bytes this
// check reads: the ASCII-compatible ones for parts of single bytes, and the
// Unicode forms matching a part of wider units.
bool readable_encoding(const std::string &enc, int width) {
    if (width == 2) return starts_with(enc, "utf-16") || enc == "utf16" || enc == "ucs-2";
    if (width == 4) return starts_with(enc, "utf-32") || enc == "utf32" || enc == "ucs-4";
    static const char *exact[] = {"utf-8",  "utf8",    "us-ascii", "ascii",
                                  "latin1", "latin-1", "l1",       "iso-latin-1"};
    for (const char *e : exact)
        if (enc == e) return true;
    for (const char *p : {"iso-8859-", "iso8859-", "iso_8859-", "windows-125", "cp125"})
        if (starts_with(enc, p) && enc.size() > std::strlen(p)) return true;
    return false;
}

}  // namespace

PrologCheck::Verdict PrologCheck::decide_encoding() {
    auto b = [&](std::size_t i) {
        return i < m_head.size() ? static_cast<unsigned char>(m_head[i]) : 0x100u;
    };
    std::size_t skip = 0;
    m_width = 1;
    if (b(0) == 0xEF && b(1) == 0xBB && b(2) == 0xBF) {
        skip = 3;
    } else if (b(0) == 0 && b(1) == 0 && b(2) == 0xFE && b(3) == 0xFF) {
        m_width = 4, m_big_endian = true, skip = 4;
    } else if (b(0) == 0xFF && b(1) == 0xFE && b(2) == 0 && b(3) == 0) {
        m_width = 4, skip = 4;
    } else if (b(0) == 0xFE && b(1) == 0xFF) {
        m_width = 2, m_big_endian = true, skip = 2;
    } else if (b(0) == 0xFF && b(1) == 0xFE) {
        m_width = 2, skip = 2;
    } else if (b(0) == 0 && b(1) == 0 && b(2) == 0 && b(3) == '<') {
        m_width = 4, m_big_endian = true;
    } else if (b(0) == '<' && b(1) == 0 && b(2) == 0 && b(3) == 0) {
        m_width = 4;
    } else if (b(0) == 0 && b(1) == '<') {
        m_width = 2, m_big_endian = true;
    } else if (b(0) == '<' && b(1) == 0) {
        m_width = 2;
    } else if (b(0) == 0x4C && b(1) == 0x6F && b(2) == 0xA7 && b(3) == 0x94) {
        return Verdict::Encoding;  // EBCDIC
    }
    std::string rest = m_head.substr(std::min(skip, m_head.size()));
    m_head.clear();
    return feed(reinterpret_cast<const unsigned char *>(rest.data()), rest.size());
}

PrologCheck::Verdict PrologCheck::feed(const unsigned char *data, std::size_t len) {
    if (m_width == 0) {
        m_head.append(reinterpret_cast<const char *>(data), len);
        return m_head.size() < 4 ? Verdict::NeedMore : decide_encoding();
    }
    for (std::size_t i = 0; i < len; ++i) {
        m_unit += static_cast<char>(data[i]);
        if (m_unit.size() < static_cast<std::size_t>(m_width)) continue;
        char32_t c = 0;
        for (int k = 0; k < m_width; ++k) {
            int at = m_big_endian ? k : m_width - 1 - k;
            c = (c << 8) | static_cast<unsigned char>(m_unit[static_cast<std::size_t>(at)]);
        }
        m_unit.clear();
        Verdict v = step(c);
        if (v != Verdict::NeedMore) return v;
    }
    return Verdict::NeedMore;
}

PrologCheck::Verdict PrologCheck::finish() {
    if (m_width == 0) {
        Verdict v = decide_encoding();
        if (v != Verdict::NeedMore) return v;
    }
    return Verdict::Clean;
}

PrologCheck::Verdict PrologCheck::check_declaration() {
    const std::string &d = m_declaration;
    if (d.size() < 4 || d.compare(0, 3, "xml") != 0 || !space(static_cast<unsigned char>(d[3])))
        return Verdict::NeedMore;
    std::size_t at = d.find("encoding");
    if (at == std::string::npos) return Verdict::NeedMore;
    at += 8;
    while (at < d.size() && space(static_cast<unsigned char>(d[at]))) ++at;
    if (at >= d.size() || d[at] != '=') return Verdict::NeedMore;
    ++at;
    while (at < d.size() && space(static_cast<unsigned char>(d[at]))) ++at;
    if (at >= d.size() || (d[at] != '"' && d[at] != '\'')) return Verdict::NeedMore;
    std::size_t close = d.find(d[at], at + 1);
    if (close == std::string::npos) return Verdict::Encoding;
    std::string lower = d.substr(at + 1, close - at - 1);
    std::transform(lower.begin(), lower.end(), lower.begin(), [](char ch) {
        return static_cast<char>(std::tolower(static_cast<unsigned char>(ch)));
    });
    return readable_encoding(lower, m_width) ? Verdict::NeedMore : Verdict::Encoding;
}

PrologCheck::Verdict PrologCheck::step(char32_t c) {
    if (++m_seen > kMaxProlog) return Verdict::TooLong;
    char ascii = c < 0x80 ? static_cast<char>(c) : '\x80';
    switch (m_state) {
    case State::Start:
    case State::Top:
        if (space(c)) {
            m_state = State::Top;
            return Verdict::NeedMore;
        }
        if (c != '<') return Verdict::Clean;
        m_state = State::Open;
        return Verdict::NeedMore;
    case State::Open:
        if (c == '?') {
            m_state = State::Instruction;
            m_tail.clear();
            m_declaration.clear();
            return Verdict::NeedMore;
        }
        if (c == '!') {
            m_state = State::Bang;
            return Verdict::NeedMore;
        }
        return Verdict::Clean;
    case State::Bang:
        if (c != '-') return Verdict::Doctype;
        m_state = State::BangDash;
        return Verdict::NeedMore;
    case State::BangDash:
        if (c != '-') return Verdict::Doctype;
        m_state = State::Comment;
        m_tail.clear();
        return Verdict::NeedMore;
    case State::Comment:
        m_tail = (m_tail + ascii).substr(m_tail.size() >= 2 ? m_tail.size() - 2 : 0);
        if (m_tail == "-->") m_state = State::Top;
        return Verdict::NeedMore;
    case State::Instruction:
        if (m_first_instruction && m_declaration.size() < 1024) m_declaration += ascii;
        m_tail = (m_tail + ascii).substr(m_tail.empty() ? 0 : m_tail.size() - 1);
        if (m_tail == "?>") {
            m_state = State::Top;
            if (m_first_instruction) {
                m_first_instruction = false;
                return check_declaration();
            }
        }
        return Verdict::NeedMore;
    }
    return Verdict::NeedMore;
}

}  // namespace mine::native
