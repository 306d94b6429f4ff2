// The parts of a workbook the library's full reading binds to a sheet's
// cells, read without Python.
#include "datareader/tablemine/native/parts.hpp"

#include "datareader/tablemine/native/errors.hpp"
#include "datareader/tablemine/native/sheet.hpp"
#include "datareader/tablemine/native/xml.hpp"

#include <algorithm>
#include <cstring>
#include <string_view>

namespace mine::native {
namespace {

constexpr const char *kCommentsType =
    "http://schemas.openxmlformats.org/officeDocument/2006/relationships/comments";

// The comments parts a worksheet's relationships name, as the library finds
// them: targets relative to the sheet's folder.
struct CommentsLinks : xml::Handler {
    std::vector<std::string> targets;
    int depth = 0;
    void start(const char *name, const char **attrs) override {
        if (++depth != 2 || std::strcmp(xml::local_name(name), "Relationship") != 0) return;
        const char *type = xml::attribute(attrs, "Type");
        if (!type || std::strcmp(type, kCommentsType) != 0) return;
        const char *mode = xml::attribute(attrs, "TargetMode");
        const char *target = xml::attribute(attrs, "Target");
        if (mode && std::strcmp(mode, "External") == 0)
            throw Unsure("comments outside the archive");
        if (!target) throw Unsure("a relationship without target");
        targets.emplace_back(target);
    }
    void end(const char *) override { --depth; }
};

// The targets of a worksheet's relationships outside the archive, by their
// id, as the library keeps them (written as they are).
struct ExternalTargets : xml::Handler {
    std::map<std::string, std::optional<std::string>> external;
    int depth = 0;
    void start(const char *name, const char **attrs) override {
        if (++depth != 2 || std::strcmp(xml::local_name(name), "Relationship") != 0) return;
        const char *id = xml::attribute(attrs, "Id");
        const char *mode = xml::attribute(attrs, "TargetMode");
        const char *target = xml::attribute(attrs, "Target");
        if (!id || !mode || std::strcmp(mode, "External") != 0) return;
        if (target)
            external[id] = std::string(target);
        else
            external[id] = std::nullopt;
    }
    void end(const char *) override { --depth; }
};

// The cells a comments part names.
struct CommentRefs : xml::Handler {
    std::vector<std::string> refs;
    int depth = 0;
    void start(const char *name, const char **attrs) override {
        if (++depth != 3 || std::strcmp(xml::local_name(name), "comment") != 0) return;
        const char *ref = xml::attribute(attrs, "ref");
        if (!ref) throw Unsure("a comment without reference");
        refs.emplace_back(ref);
    }
    void end(const char *) override { --depth; }
};

// A path within the archive as a relative one, normalised by
// posixpath.normpath: "" for the archive's root.
std::string normalised(const std::string &path) {
    std::size_t from = path.find_first_not_of('/');
    std::string norm = normpath(from == std::string::npos ? std::string() : path.substr(from));
    return norm == "." ? std::string() : norm;
}

// The defined names and sheet names of the workbook part.
struct NamesReader : xml::Handler {
    std::vector<DefinedName> &names;
    std::vector<std::string> &sheets;
    int depth = 0;
    bool in_names = false, in_sheets = false, capturing = false;

    explicit NamesReader(WorkbookNames &out) : names(out.names), sheets(out.sheets) {}

    void start(const char *name, const char **attrs) override {
        ++depth;
        capturing = false;
        const char *local = xml::local_name(name);
        if (depth == 2) {
            in_names = std::strcmp(local, "definedNames") == 0;
            in_sheets = std::strcmp(local, "sheets") == 0;
        } else if (depth == 3 && in_sheets) {
            const char *n = xml::attribute(attrs, "name");
            sheets.emplace_back(n ? n : "");
        } else if (depth == 3 && in_names) {
            const char *n = xml::attribute(attrs, "name");
            if (!n) throw Unsure("a defined name without name");
            const char *local_id = xml::attribute(attrs, "localSheetId");
            DefinedName entry{n, "", true};
            if (local_id) {
                plain_integer(local_id, 1LL << 31);
                entry.global = false;
            }
            names.push_back(std::move(entry));
            capturing = true;
        } else if (depth > 3 && in_names) {
            throw Unsure("a defined name with content of its own");
        }
    }
    void end(const char *) override {
        capturing = false;
        --depth;
    }
    void text(const char *s, std::size_t len) override {
        if (!capturing) return;
        if (names.back().text.size() + len > xml::kMaxText)
            throw Refused(Refused::Kind::Xml, "a defined name of more than 16 MiB");
        names.back().text.append(s, len);
    }
};

// The handler run over member `name`, when the archive holds it.
template <typename H>
bool parse_part(const Book &book, const std::string &name, H &handler) {
    const zip::Member *m = book.archive().find(name);
    if (!m) return false;
    zip::MemberStream stream(book.archive(), *m);
    xml::parse(stream, handler);
    return true;
}

}  // namespace

bool mentions_bindings(const zip::Archive &archive, const zip::Member &member) {
    static constexpr std::string_view kWords[] = {"mergeCell", "hyperlink"};
    constexpr std::size_t kChunk = 256 * 1024, kCarry = 16;
    zip::MemberStream stream(archive, member);
    std::string buf(kChunk + kCarry, '\0');
    std::size_t carry = 0;
    for (;;) {
        std::size_t got = stream.read(&buf[carry], kChunk);
        if (got == 0) return false;
        std::string_view seen(buf.data(), carry + got);
        for (std::string_view word : kWords)
            if (seen.find(word) != std::string_view::npos) return true;
        // a word cut by the chunk's end is found whole in the next
        carry = std::min(seen.size(), kCarry);
        std::memmove(&buf[0], seen.data() + seen.size() - carry, carry);
    }
}

Hyperlink hyperlink_of(const char **attrs) {
    static const std::string rel_id = xml::qualified(xml::kRelNs, "id");
    Hyperlink link;
    const char *ref = nullptr;
    for (; *attrs; attrs += 2) {
        const char *name = attrs[0], *value = attrs[1];
        if (std::strcmp(name, "ref") == 0)
            ref = value;
        else if (std::strcmp(name, "location") == 0)
            link.location = value;
        else if (rel_id == name)
            link.id = value;
        else if (std::strcmp(name, "tooltip") != 0 && std::strcmp(name, "display") != 0 &&
                 xml::unqualified(name))
            throw Unsure("a link attribute the library refuses");
    }
    if (!ref) throw Unsure("a link without reference");
    // one cell in plain A1 form; ranges and other forms are the library's
    const char *p = ref;
    long long column = 0, row = 0;
    for (; *p >= 'A' && *p <= 'Z' && column <= kMaxColumn; ++p)
        column = column * 26 + (*p - 'A' + 1);
    const char *digits = p;
    for (; *p >= '0' && *p <= '9' && row <= static_cast<long long>(kMaxRow); ++p)
        row = row * 10 + (*p - '0');
    if (*p || p == digits || digits == ref || column > kMaxColumn || row < 1 ||
        row > static_cast<long long>(kMaxRow))
        throw Unsure("a link on a reference other than one cell");
    link.row = row, link.column = column;
    return link;
}

long long row_of(const std::string &ref) {
    std::size_t at = ref.find_first_of("0123456789");
    long long row = 0;
    for (std::size_t i = at; i < ref.size(); ++i) {
        row = row * 10 + (ref[i] - '0');
        if (row > (1LL << 40)) throw Unsure("a cell reference past every row");
    }
    return row;
}

std::map<std::string, std::optional<std::string>> external_targets(const Book &book,
                                                                   const Worksheet &ws) {
    ExternalTargets rels;
    parse_part(book, rels_path(ws.part), rels);
    return std::move(rels.external);
}

std::vector<std::string> comments_parts(const Book &book, const Worksheet &ws) {
    CommentsLinks links;
    if (!parse_part(book, rels_path(ws.part), links)) return {};
    std::size_t cut = ws.part.rfind('/');
    std::string folder = cut == std::string::npos ? std::string() : ws.part.substr(0, cut);
    std::vector<std::string> parts;
    for (const std::string &target : links.targets) {
        std::string part = target[0] == '/'
                               ? target.substr(1)
                               : normalised((folder.empty() ? "" : folder + "/") + target);
        if (!book.archive().find(part)) throw Unsure("a comments part the archive lacks");
        parts.push_back(std::move(part));
    }
    return parts;
}

std::vector<std::string> comment_refs(const Book &book, const std::string &part) {
    CommentRefs refs;
    parse_part(book, part, refs);
    return std::move(refs.refs);
}

WorkbookNames workbook_names(const Book &book) {
    WorkbookNames out;
    NamesReader reader(out);
    if (!parse_part(book, book.workbook_part(), reader)) throw Unsure("no workbook part");
    return out;
}

}  // namespace mine::native
