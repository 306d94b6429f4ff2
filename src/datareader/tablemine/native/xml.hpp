// One XML part of a workbook, parsed by expat while it is inflated.
//
// A document type declaration (and so any entity, internal or external) is
// refused before its end is reached; so are nesting, a single token (a start
// tag with a huge attribute, a comment) and a text beyond what any workbook
// holds.  Element names come with their namespace: "uri\x01local".
#pragma once

#include "datareader/tablemine/native/settings.hpp"

#include <cstddef>
#include <cstdint>
#include <string>

namespace mine::native {
namespace zip {
class MemberStream;
}

namespace xml {

constexpr char kSeparator = '\x01';
constexpr const char *kMainNs = "http://schemas.openxmlformats.org/spreadsheetml/2006/main";
constexpr const char *kRelNs =
    "http://schemas.openxmlformats.org/officeDocument/2006/relationships";
constexpr const char *kPackageRelNs =
    "http://schemas.openxmlformats.org/package/2006/relationships";
constexpr const char *kContentTypesNs =
    "http://schemas.openxmlformats.org/package/2006/content-types";
// The most text one element may carry (Excel's own limit is 32,767
// characters a cell).
constexpr std::size_t kMaxText = 16u << 20;
// Workbooks nest a dozen levels.  Deeper nesting is left to the library,
// which reads it (Unsure); beyond kMostNesting it is refused, as every level
// costs the library's parser an element held until the row ends.
constexpr int kDeepNesting = 256;
constexpr int kMostNesting = 100000;

// "uri\x01local" of a name in namespace `ns`.
std::string qualified(const char *ns, const char *local);
// The part of a name after its namespace.
const char *local_name(const char *name);
// Whether a name has no namespace.
bool unqualified(const char *name);
// The value of attribute `name` in expat's attribute array, or null.
const char *attribute(const char **attrs, const char *name);

class Handler {
public:
    virtual ~Handler() = default;
    virtual void start(const char *name, const char **attrs) = 0;
    virtual void end(const char *name) = 0;
    virtual void text(const char * /*s*/, std::size_t /*len*/) {}

    // A cell of a worksheet's rows in its plain form, a <c> with no
    // attribute but r, s and t (each NUL-ended, null where absent) holding
    // nothing or one <v> of plain text, given whole by the scanner: the
    // events of its two elements at once.  False when the handler takes it
    // as events instead.
    struct PlainCell {
        const char *r, *s, *t;
        const char *value;
        std::size_t value_len;
        bool has_value;  // a <v> element, empty or not
    };
    virtual bool cell(const PlainCell & /*c*/) { return false; }
    // A shared string in its plain form, <si><t>text</t></si>, given whole
    // by the scanner; false when the handler takes it as events instead.
    virtual bool plain_string(const char * /*s*/, std::size_t /*len*/) { return false; }
    // Whether the handler follows nesting past kDeepNesting (up to kMostNesting)
    // rather than leaving the part to the library.
    virtual bool reads_deep() const { return false; }
    // Set by a handler that has what it wants: the parse ends there.
    bool done = false;
};

// The bytes of a part, from whichever archive reader.
class Source {
public:
    virtual ~Source() = default;
    // Up to `cap` bytes into `buf`; 0 at the end.
    virtual std::size_t read(char *buf, std::size_t cap) = 0;
    // The part's name, for messages.
    virtual const std::string &name() const = 0;
    // Its size, as far as known: small parts get small buffers.
    virtual std::uint64_t size() const = 0;
};

// A zip member, inflated as it is read.
class MemberSource : public Source {
public:
    explicit MemberSource(zip::MemberStream &stream) : m_stream(stream) {}
    std::size_t read(char *buf, std::size_t cap) override;
    const std::string &name() const override;
    std::uint64_t size() const override;

private:
    zip::MemberStream &m_stream;
};

// Feeds the whole member (or up to `done`) through `handler`.  Errors of the
// handler pass unchanged; malformed XML is Unsure (the library reports it in
// its own words); hostile XML is Refused.
void parse(zip::MemberStream &member, Handler &handler);
void parse(Source &source, Handler &handler);

// What the scanner lets through besides plain markup: in the rows of a
// worksheet and the items of the shared strings, only what their readers
// know.
enum class Policy { Any, Worksheet, SharedStrings };

// Feeds the part through `handler` with the hand-written scanner, which
// gives the events expat gives for the plain XML workbooks hold.  False when
// it meets anything else, part way: the handler has then seen a part of the
// part and is to be dropped, and the part read again by parse().  Errors of
// the handler and of the archive pass unchanged.  Called where
// `settings.scanner`; with `settings.scanner_tells`, what the scanner
// leaves is Unsure, saying where.
bool scan(zip::MemberStream &member, Handler &handler, Policy policy, const Settings &settings);
bool scan(Source &source, Handler &handler, Policy policy, const Settings &settings);

}  // namespace xml
}  // namespace mine::native
