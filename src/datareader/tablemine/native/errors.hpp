// The two ways the native workbook reader gives up.  Neither touches Python:
// the reading glue turns them into a fallback or a Python exception.
#pragma once

#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace mine::native {

// The file is outside what the native reader understands (zip64, encryption,
// strict OOXML, a construct whose reading differs between library versions,
// a damaged part, ...): the library reads it instead and gives today's result
// or today's error.
struct Unsure : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// The file is hostile: it must not reach any parser.
struct Refused : std::runtime_error {
    enum class Kind {
        Zip,       // archive structure: overlapping, truncated, lying sizes, inflate ratio
        Doctype,   // a document type declaration in an XML part
        Entities,  // an entity declaration in an XML part
        Encoding,  // an XML part in an encoding whose prolog cannot be checked
        Xml,       // nesting, a token or a text beyond every sane workbook
        Sheet,  // a row or column beyond a sheet's, a grid beyond reason, a sheet that is none
        Size,  // a sound part too large to read
        Memory,  // a read that ran out of memory: the sheet and the shape it was building
    };
    Refused(Kind kind, const std::string &what,
            std::vector<std::optional<std::string>> details = {})
        : std::runtime_error(what), kind(kind), details(std::move(details)) {}
    Kind kind;
    // Doctype: its name, system and public id; Entities: the entity's name,
    // value, base, system id, public id and notation (what the refusals of
    // defusedxml carry).
    std::vector<std::optional<std::string>> details;
};

// A text as a message may quote it: a hostile cell holds megabytes, of
// which the first `most` bytes (never a UTF-8 sequence cut) and the size say
// enough.
inline std::string excerpt(const std::string &text, std::size_t most = 80) {
    if (text.size() <= most) return "'" + text + "'";
    std::size_t cut = most;
    while (cut > 0 && (static_cast<unsigned char>(text[cut]) & 0xC0) == 0x80) --cut;
    return "'" + text.substr(0, cut) + "...' (" + std::to_string(text.size()) + " bytes)";
}

}  // namespace mine::native
