#include "datareader/tablemine/native/xml.hpp"

#include "common/pace.hpp"
#include "datareader/tablemine/native/errors.hpp"
#include "datareader/tablemine/native/zip.hpp"

#include <algorithm>
#include <climits>
#include <cstring>
#include <exception>
#include <new>

#include <expat.h>

namespace mine::native::xml {
namespace {

constexpr std::size_t kChunk = 256 * 1024;

// Where the parser stands.  Expat 2.9 gives the place in 64 bits everywhere
// and deprecates the XML_Size forms, which older releases alone have.
#if XML_MAJOR_VERSION > 2 || (XML_MAJOR_VERSION == 2 && XML_MINOR_VERSION >= 9)
std::uint64_t line_number(XML_Parser p) { return XML_GetCurrentLineNumber64(p); }
std::uint64_t column_number(XML_Parser p) { return XML_GetCurrentColumnNumber64(p); }
#else
std::uint64_t line_number(XML_Parser p) { return XML_GetCurrentLineNumber(p); }
std::uint64_t column_number(XML_Parser p) { return XML_GetCurrentColumnNumber(p); }
#endif
// Bytes fed without a single event: one token (a start tag, a comment) that
// long only comes from a hostile file, and expat would buffer all of it.
constexpr std::size_t kMaxQuiet = 16u << 20;

class Session {
public:
    Session(Source &member, Handler &handler) : m_member(member), m_handler(handler) {
        m_parser = XML_ParserCreateNS(nullptr, kSeparator);
        if (!m_parser) throw std::bad_alloc();
        XML_SetUserData(m_parser, this);
        XML_SetElementHandler(m_parser, on_start, on_end);
        XML_SetCharacterDataHandler(m_parser, on_text);
        XML_SetCommentHandler(m_parser, on_comment);
        XML_SetProcessingInstructionHandler(m_parser, on_instruction);
        XML_SetStartDoctypeDeclHandler(m_parser, on_doctype);
        XML_SetEndDoctypeDeclHandler(m_parser, on_doctype_end);
        XML_SetEntityDeclHandler(m_parser, on_entity);
        XML_SetUnparsedEntityDeclHandler(m_parser, on_unparsed_entity);
        XML_SetParamEntityParsing(m_parser, XML_PARAM_ENTITY_PARSING_NEVER);
    }
    ~Session() { XML_ParserFree(m_parser); }
    Session(const Session &) = delete;
    Session &operator=(const Session &) = delete;

    void run() {
        std::size_t quiet = 0;
        // Small parts get small buffers: no page mapped and unmapped for a
        // few hundred bytes.
        std::size_t chunk =
            static_cast<std::size_t>(std::min<std::uint64_t>(kChunk, m_member.size() + 1));
        for (;;) {
            pace::poll();
            void *buf = XML_GetBuffer(m_parser, static_cast<int>(chunk));
            if (!buf) throw std::bad_alloc();
            std::size_t got = m_member.read(static_cast<char *>(buf), chunk);
            unsigned long before = m_events;
            XML_Status status = XML_ParseBuffer(m_parser, static_cast<int>(got), got == 0);
            if (status != XML_STATUS_OK) {
                if (m_error) std::rethrow_exception(m_error);
                if (m_handler.done) return;
                throw Unsure(std::string("malformed XML in ") + m_member.name() + ": " +
                             XML_ErrorString(XML_GetErrorCode(m_parser)) + where());
            }
            if (got == 0) return;
            quiet = m_events == before ? quiet + got : 0;
            if (quiet > kMaxQuiet)
                throw Refused(Refused::Kind::Xml,
                              "a single token of more than 16 MiB in " + m_member.name() + where());
        }
    }

private:
    static Session &of(void *data) { return *static_cast<Session *>(data); }

    // Where expat stands, as Python's parsers tell it: after an error, its
    // place; in a handler, the start of the event; else, past the last
    // event.  Columns count from 0, as expat's do.
    std::string where() const {
        return ": line " + std::to_string(static_cast<unsigned long long>(line_number(m_parser))) +
               ", column " +
               std::to_string(static_cast<unsigned long long>(column_number(m_parser)));
    }

    // Handlers run inside expat's C frames: an exception must not cross
    // them, so it is kept and the parse stopped.
    template <typename F>
    void guarded(F &&f) {
        if (m_error) return;
        ++m_events;
        try {
            f();
            if (m_handler.done) XML_StopParser(m_parser, XML_FALSE);
        } catch (...) {
            m_error = std::current_exception();
            XML_StopParser(m_parser, XML_FALSE);
        }
    }

    static void on_start(void *data, const XML_Char *name, const XML_Char **attrs) {
        Session &s = of(data);
        s.guarded([&] {
            if (++s.m_depth > kMostNesting)
                throw Refused(Refused::Kind::Xml, "XML nested deeper than " +
                                                      std::to_string(kMostNesting) + " levels in " +
                                                      s.m_member.name() + s.where());
            if (s.m_depth > kDeepNesting && !s.m_handler.reads_deep())
                throw Unsure("XML nested deeper than " + std::to_string(kDeepNesting) +
                             " levels in " + s.m_member.name() + s.where());
            s.m_handler.start(name, attrs);
        });
    }

    static void on_end(void *data, const XML_Char *name) {
        Session &s = of(data);
        s.guarded([&] {
            --s.m_depth;
            s.m_handler.end(name);
        });
    }

    static void on_text(void *data, const XML_Char *text, int len) {
        Session &s = of(data);
        s.guarded([&] { s.m_handler.text(text, static_cast<std::size_t>(len)); });
    }

    static void on_comment(void *data, const XML_Char *) {
        of(data).guarded([] {});
    }

    static void on_instruction(void *data, const XML_Char *, const XML_Char *) {
        of(data).guarded([] {});
    }

    static std::optional<std::string> text_or_none(const XML_Char *s, int len = -1) {
        if (!s) return std::nullopt;
        return len < 0 ? std::string(s) : std::string(s, static_cast<std::size_t>(len));
    }

    static void on_doctype(void *data, const XML_Char *name, const XML_Char *sysid,
                           const XML_Char *pubid, int) {
        Session &s = of(data);
        s.guarded(
            [&] { s.m_doctype = {text_or_none(name), text_or_none(sysid), text_or_none(pubid)}; });
    }

    // Reached only when the declaration held no entity.
    static void on_doctype_end(void *data) {
        Session &s = of(data);
        s.guarded([&] {
            throw Refused(Refused::Kind::Doctype,
                          "document type declaration in " + s.m_member.name() + s.where(),
                          s.m_doctype);
        });
    }

    static void on_entity(void *data, const XML_Char *name, int, const XML_Char *value,
                          int value_len, const XML_Char *base, const XML_Char *sysid,
                          const XML_Char *pubid, const XML_Char *notation) {
        Session &s = of(data);
        s.guarded([&] {
            // the value of a bomb's entity is large: a glimpse of it will do
            std::optional<std::string> glimpse = text_or_none(value, std::min(value_len, 200));
            throw Refused(Refused::Kind::Entities,
                          std::string("entity ") + name + " declared in " + s.m_member.name() +
                              s.where(),
                          {text_or_none(name), glimpse, text_or_none(base), text_or_none(sysid),
                           text_or_none(pubid), text_or_none(notation)});
        });
    }

    static void on_unparsed_entity(void *data, const XML_Char *name, const XML_Char *base,
                                   const XML_Char *sysid, const XML_Char *pubid,
                                   const XML_Char *notation) {
        on_entity(data, name, 0, nullptr, 0, base, sysid, pubid, notation);
    }

    Source &m_member;
    Handler &m_handler;
    XML_Parser m_parser = nullptr;
    std::exception_ptr m_error;
    std::vector<std::optional<std::string>> m_doctype;
    unsigned long m_events = 0;
    int m_depth = 0;
};

}  // namespace

std::string qualified(const char *ns, const char *local) {
    std::string name(ns);
    name += kSeparator;
    name += local;
    return name;
}

const char *local_name(const char *name) {
    const char *sep = std::strchr(name, kSeparator);
    return sep ? sep + 1 : name;
}

bool unqualified(const char *name) { return std::strchr(name, kSeparator) == nullptr; }

const char *attribute(const char **attrs, const char *name) {
    for (; *attrs; attrs += 2)
        if (std::strcmp(attrs[0], name) == 0) return attrs[1];
    return nullptr;
}

std::size_t MemberSource::read(char *buf, std::size_t cap) { return m_stream.read(buf, cap); }
const std::string &MemberSource::name() const { return m_stream.member().name; }
std::uint64_t MemberSource::size() const { return m_stream.member().size; }

void parse(zip::MemberStream &member, Handler &handler) {
    MemberSource source(member);
    parse(source, handler);
}

void parse(Source &source, Handler &handler) {
    Session session(source, handler);
    session.run();
}

}  // namespace mine::native::xml
