#include "datareader/tablemine/native/book.hpp"

#include "datareader/tablemine/native/errors.hpp"
#include "datareader/tablemine/native/xml.hpp"

#include <cstring>
#include <map>

namespace mine::native {
namespace {

constexpr const char *kSharedStringsType =
    "application/vnd.openxmlformats-officedocument.spreadsheetml.sharedStrings+xml";
// In the order openpyxl looks for them.
constexpr const char *kWorkbookTypes[] = {
    "application/vnd.ms-excel.template.macroEnabled.main+xml",
    "application/vnd.openxmlformats-officedocument.spreadsheetml.template.main+xml",
    "application/vnd.ms-excel.sheet.macroEnabled.main+xml",
    "application/vnd.openxmlformats-officedocument.spreadsheetml.sheet.main+xml",
};
// Parts read whole (all but the worksheets and the shared strings) are a few
// kilobytes in any workbook.
constexpr std::uint64_t kMaxSmallPart = 64u << 20;
// The shared strings are held while the sheet is read: a million long
// strings fit well under this.
constexpr std::uint64_t kMaxStrings = 512u << 20;

// A handler of type H made by `make`, run over a member of the archive: by
// the scanner, or by expat with a new handler where the scanner gives up.
template <typename H, typename Make>
void parse_member(const Settings &settings, const zip::Archive &archive, const zip::Member &member,
                  std::optional<H> &handler, Make make, xml::Policy policy = xml::Policy::Any) {
    if (settings.scanner) {
        zip::MemberStream stream(archive, member);
        make(handler);
        if (xml::scan(stream, *handler, policy, settings)) return;
    }
    zip::MemberStream stream(archive, member);
    make(handler);
    xml::parse(stream, *handler);
}

template <typename H>
void parse_member(const Settings &settings, const zip::Archive &archive, const zip::Member &member,
                  std::optional<H> &handler) {
    parse_member(settings, archive, member, handler, [](std::optional<H> &h) { h.emplace(); });
}

// A sound part this reader will not hold: the archive is not at fault.
Refused too_large(const std::string &part, std::uint64_t size, std::uint64_t most) {
    return Refused(Refused::Kind::Size, "part " + part + " inflates to " + std::to_string(size) +
                                            " bytes, more than the " + std::to_string(most) +
                                            " a read holds");
}

const zip::Member &small_member(const zip::Archive &archive, const std::string &name) {
    const zip::Member *m = archive.find(name);
    if (!m) throw Unsure("no part " + name);
    if (m->size > kMaxSmallPart) throw too_large(name, m->size, kMaxSmallPart);
    return *m;
}

bool local_is(const char *name, const char *local) {
    return std::strcmp(xml::local_name(name), local) == 0;
}

// Unqualified attributes other than `known`: openpyxl passes them to a
// constructor that refuses them.
void only_attributes(const char **attrs, std::initializer_list<const char *> known) {
    for (; *attrs; attrs += 2) {
        if (!xml::unqualified(attrs[0])) continue;
        bool ok = false;
        for (const char *k : known) ok = ok || std::strcmp(attrs[0], k) == 0;
        if (!ok) throw Unsure(std::string("unexpected attribute ") + attrs[0]);
    }
}

// posixpath.dirname
std::string dirname(const std::string &path) {
    std::size_t cut = path.rfind('/');
    std::string head = cut == std::string::npos ? std::string() : path.substr(0, cut + 1);
    if (!head.empty() && head.find_first_not_of('/') != std::string::npos)
        head.erase(head.find_last_not_of('/') + 1);
    return head;
}

// posixpath.join(a, b)
std::string join(const std::string &a, const std::string &b) {
    if (!b.empty() && b[0] == '/') return b;
    if (a.empty() || a.back() == '/') return a + b;
    return a + "/" + b;
}

// openpyxl's Bool descriptor reading an attribute text.
bool xml_bool(const char *text) {
    if (!text) return false;
    return !(std::strcmp(text, "false") == 0 || std::strcmp(text, "f") == 0 ||
             std::strcmp(text, "0") == 0 || *text == '\0');
}

struct ContentTypes : xml::Handler {
    std::vector<std::pair<std::string, std::string>> overrides;  // part name, content type
    std::vector<std::string> defaults;                           // content types
    int depth = 0;

    void start(const char *name, const char **attrs) override {
        if (++depth != 2) return;
        const char *type = xml::attribute(attrs, "ContentType");
        if (local_is(name, "Override")) {
            const char *part = xml::attribute(attrs, "PartName");
            if (!part || !type) throw Unsure("incomplete content type override");
            overrides.emplace_back(part, type);
        } else if (local_is(name, "Default") && type) {
            defaults.emplace_back(type);
        }
    }
    void end(const char *) override { --depth; }

    const std::string *find(const char *type) const {
        for (const auto &o : overrides)
            if (o.second == type) return &o.first;
        return nullptr;
    }
};

struct Relationship {
    std::string type, target;
};

struct Relationships : xml::Handler {
    std::map<std::string, Relationship> by_id;
    int depth = 0;

    void start(const char *name, const char **attrs) override {
        if (++depth == 1) {
            if (std::strcmp(name, xml::qualified(xml::kPackageRelNs, "Relationships").c_str()) != 0)
                throw Unsure("unexpected relationships root");
            return;
        }
        if (depth != 2 || !local_is(name, "Relationship")) return;
        only_attributes(attrs, {"Id", "Type", "type", "Target", "TargetMode"});
        const char *id = xml::attribute(attrs, "Id");
        const char *type = xml::attribute(attrs, "Type");
        const char *target = xml::attribute(attrs, "Target");
        if (!id || !type || !target) throw Unsure("incomplete relationship");
        const char *mode = xml::attribute(attrs, "TargetMode");
        Relationship rel{type, target};
        if (!by_id.emplace(id, rel).second) throw Unsure("duplicate relationship id");
        if (mode && std::strcmp(mode, "External") == 0)
            by_id[id].target = std::string(1, '\0') + target;
    }
    void end(const char *) override { --depth; }
};

struct SheetEntry {
    std::string name;
    std::optional<std::string> id;
};

struct WorkbookPart : xml::Handler {
    std::vector<SheetEntry> sheets;
    bool date1904 = false;
    int depth = 0;
    bool in_sheets = false;

    void start(const char *name, const char **attrs) override {
        ++depth;
        if (depth == 1) {
            if (std::strcmp(name, xml::qualified(xml::kMainNs, "workbook").c_str()) != 0)
                throw Unsure("not a transitional workbook part");
        } else if (depth == 2) {
            if (local_is(name, "workbookPr"))
                date1904 = xml_bool(xml::attribute(attrs, "date1904"));
            in_sheets = local_is(name, "sheets");
        } else if (depth == 3 && in_sheets) {
            if (!local_is(name, "sheet")) throw Unsure("unexpected element among the sheets");
            only_attributes(attrs, {"name", "sheetId", "state"});
            const char *sheet_name = xml::attribute(attrs, "name");
            const char *sheet_id = xml::attribute(attrs, "sheetId");
            const char *state = xml::attribute(attrs, "state");
            if (!sheet_name) throw Unsure("sheet without a name");
            if (sheet_id) plain_integer(sheet_id, 1LL << 31);
            if (state && std::strcmp(state, "visible") != 0 && std::strcmp(state, "hidden") != 0 &&
                std::strcmp(state, "veryHidden") != 0)
                throw Unsure("unknown sheet state");
            SheetEntry entry{sheet_name, std::nullopt};
            const char *rid = xml::attribute(attrs, xml::qualified(xml::kRelNs, "id").c_str());
            if (rid && *rid) entry.id = rid;
            sheets.push_back(std::move(entry));
        }
    }
    void end(const char *) override {
        if (depth-- == 2) in_sheets = false;
    }
};

struct StringTable : xml::Handler {
    explicit StringTable(SharedStrings &out) : out(out) {}
    SharedStrings &out;
    TextContent text_content;
    int depth = 0;
    const std::string sst = xml::qualified(xml::kMainNs, "sst"),
                      si = xml::qualified(xml::kMainNs, "si");

    void start(const char *name, const char **attrs) override {
        ++depth;
        if (depth == 1) {
            if (std::strcmp(name, sst.c_str()) != 0) throw Unsure("unexpected shared strings root");
        } else if (depth == 2) {
            if (std::strcmp(name, si.c_str()) != 0)
                throw Unsure("unexpected element among the shared strings");
            text_content.begin(attrs);
        } else {
            text_content.start(name, attrs, depth - 2);
        }
    }
    void end(const char *) override {
        if (depth > 2) text_content.end(depth - 2);
        if (depth == 2) {
            text_content.content(buffer);
            add();
        }
        --depth;
    }
    void text(const char *s, std::size_t len) override {
        if (depth > 2) text_content.text(s, len);
    }
    bool plain_string(const char *s, std::size_t len) override {
        if (depth != 1) return false;
        if (len > xml::kMaxText) throw Refused(Refused::Kind::Xml, "a text of more than 16 MiB");
        buffer.assign(s, len);
        add();
        return true;
    }
    // openpyxl drops every "x005F_" of a shared string (the escape of an
    // underscore), whatever stands around it.
    void add() {
        std::size_t at;
        while ((at = buffer.find("x005F_")) != std::string::npos) buffer.erase(at, 6);
        out.add(buffer);
    }
    std::string buffer;
};

struct Styles : xml::Handler {
    std::map<long long, std::string> custom;
    std::vector<long long> xf_formats;
    int depth = 0;
    enum { None, NumFmts, CellXfs } block = None;

    void start(const char *name, const char **attrs) override {
        ++depth;
        if (depth == 2) {
            block = None;
            // a later block replaces an earlier one, as in openpyxl
            if (local_is(name, "numFmts")) {
                block = NumFmts;
                custom.clear();
            } else if (local_is(name, "cellXfs")) {
                block = CellXfs;
                xf_formats.clear();
            }
        } else if (depth == 3 && block == NumFmts && local_is(name, "numFmt")) {
            const char *id = xml::attribute(attrs, "numFmtId");
            const char *code = xml::attribute(attrs, "formatCode");
            if (!id || !code) throw Unsure("incomplete number format");
            custom[plain_integer(id, 1LL << 31)] = code;
        } else if (depth == 3 && block == CellXfs && local_is(name, "xf")) {
            const char *id = xml::attribute(attrs, "numFmtId");
            xf_formats.push_back(id ? plain_integer(id, 1LL << 31) : 0);
        }
    }
    void end(const char *) override {
        if (depth-- == 2) block = None;
    }
};

}  // namespace

long long plain_integer(const char *text, long long max) {
    if (!*text) throw Unsure("empty number");
    long long value = 0;
    for (const char *p = text; *p; ++p) {
        if (*p < '0' || *p > '9') throw Unsure("not a plain integer: " + excerpt(text));
        value = value * 10 + (*p - '0');
        if (value > max) throw Unsure("integer out of range: " + excerpt(text));
    }
    return value;
}

std::string rels_path(const std::string &part) {
    std::size_t cut = part.rfind('/');
    std::string name = cut == std::string::npos ? part : part.substr(cut + 1);
    return join(join(dirname(part), "_rels"), name + ".rels");
}

std::string normpath(const std::string &path) {
    if (path.empty()) return ".";
    int slashes = 0;
    if (path[0] == '/')
        slashes = (path.compare(0, 2, "//") == 0 && path.compare(0, 3, "///") != 0) ? 2 : 1;
    std::vector<std::string> parts;
    std::size_t pos = 0;
    while (pos <= path.size()) {
        std::size_t next = path.find('/', pos);
        if (next == std::string::npos) next = path.size();
        std::string comp = path.substr(pos, next - pos);
        pos = next + 1;
        if (comp.empty() || comp == ".") continue;
        if (comp != ".." || (slashes == 0 && parts.empty()) ||
            (!parts.empty() && parts.back() == ".."))
            parts.push_back(comp);
        else if (!parts.empty())
            parts.pop_back();
    }
    std::string out(static_cast<std::size_t>(slashes), '/');
    for (std::size_t i = 0; i < parts.size(); ++i) {
        if (i) out += '/';
        out += parts[i];
    }
    return out.empty() ? "." : out;
}

void SharedStrings::add(const std::string &text) {
    m_text += text;
    m_ends.push_back(m_text.size());
}

std::string_view SharedStrings::operator[](std::size_t i) const {
    std::size_t begin = i ? m_ends[i - 1] : 0;
    return std::string_view(m_text).substr(begin, m_ends[i] - begin);
}

void TextContent::begin(const char **attrs) {
    only_attributes(attrs, {});
    m_plain.reset();
    m_runs.clear();
    m_target = nullptr;
    m_capturing = false;
}

void TextContent::capture_into(std::optional<std::string> &slot) {
    slot = std::string();
    m_target = &slot;
    m_capturing = true;
}

void TextContent::start(const char *name, const char **attrs, int depth) {
    if (m_capturing) m_capturing = false;  // .text ends at the first child
    const char *local = xml::local_name(name);
    if (depth == 1) {
        if (std::strcmp(local, "t") == 0) {
            capture_into(m_plain);
            m_target_depth = 1;
        } else if (std::strcmp(local, "r") == 0) {
            only_attributes(attrs, {});
            m_runs.emplace_back();
        } else {
            throw Unsure("unexpected element in a string: " + excerpt(local));
        }
    } else if (depth == 2 && !m_runs.empty() && m_target == nullptr) {
        if (std::strcmp(local, "t") == 0) {
            capture_into(m_runs.back());
            m_target_depth = 2;
        } else if (std::strcmp(local, "rPr") != 0) {
            throw Unsure("unexpected element in a text run: " + excerpt(local));
        }
    }
}

void TextContent::end(int depth) {
    if (m_target && depth == m_target_depth) {
        m_target = nullptr;
        m_capturing = false;
    }
}

void TextContent::text(const char *s, std::size_t len) {
    if (!m_capturing) return;
    if ((*m_target)->size() + len > xml::kMaxText)
        throw Refused(Refused::Kind::Xml, "a text of more than 16 MiB");
    (*m_target)->append(s, len);
}

void TextContent::content(std::string &out) const {
    out.clear();
    if (m_plain) out += *m_plain;
    for (const auto &run : m_runs)
        if (run) out += *run;
}

Book::Book(const std::string &path, const Settings &settings)
    : m_archive(path), m_settings(settings) {
    read_content_types();
    read_strings();
    read_workbook();
    read_styles();
}

void Book::read_content_types() {
    std::optional<ContentTypes> parsed;
    parse_member(m_settings, m_archive, small_member(m_archive, "[Content_Types].xml"), parsed);
    const ContentTypes &types = *parsed;
    const std::string *workbook = nullptr;
    for (const char *type : kWorkbookTypes)
        if (!workbook) workbook = types.find(type);
    if (workbook) {
        m_workbook_part = workbook->substr(workbook->empty() ? 0 : 1);
    } else {
        bool by_default = false;
        for (const auto &d : types.defaults)
            for (const char *type : kWorkbookTypes) by_default = by_default || d == type;
        if (!by_default) throw Unsure("no workbook part");
        m_workbook_part = "xl/workbook.xml";
    }
    if (const std::string *strings = types.find(kSharedStringsType))
        m_strings_part = strings->substr(strings->empty() ? 0 : 1);
}

void Book::read_strings() {
    if (m_strings_part.empty()) return;
    const zip::Member *m = m_archive.find(m_strings_part);
    if (!m) throw Unsure("no shared strings part " + m_strings_part);
    if (m->size > kMaxStrings) throw too_large(m_strings_part, m->size, kMaxStrings);
    std::optional<StringTable> table;
    parse_member(
        m_settings, m_archive, *m, table,
        [this](std::optional<StringTable> &t) {
            m_strings = SharedStrings();
            t.emplace(m_strings);
        },
        xml::Policy::SharedStrings);
}

void Book::read_workbook() {
    std::optional<WorkbookPart> parsed;
    parse_member(m_settings, m_archive, small_member(m_archive, m_workbook_part), parsed);
    const WorkbookPart &workbook = *parsed;
    m_date1904 = workbook.date1904;
    if (workbook.sheets.empty()) return;

    std::string rels_name = rels_path(m_workbook_part);
    std::optional<Relationships> parsed_rels;
    parse_member(m_settings, m_archive, small_member(m_archive, rels_name), parsed_rels);
    const Relationships &rels = *parsed_rels;
    // Targets are relative to the folder of the workbook part.
    std::string parent = dirname(dirname(rels_name));
    for (const SheetEntry &sheet : workbook.sheets) {
        // openpyxl warns and leaves such a sheet out: the library's path
        // tells it in its own words.
        if (!sheet.id) throw Unsure("sheet without relationship id");
        auto rel = rels.by_id.find(*sheet.id);
        if (rel == rels.by_id.end()) throw Unsure("sheet relationship missing");
        const std::string &target = rel->second.target;
        if (!target.empty() && target[0] == '\0') continue;  // external: never a member
        std::string part =
            !target.empty() && target[0] == '/' ? target.substr(1) : normpath(join(parent, target));
        if (!m_archive.find(part)) continue;
        if (rel->second.type.find("chartsheet") != std::string::npos) {
            // openpyxl fails on a chartsheet without relationships
            if (!m_archive.find(rels_path(part))) throw Unsure("chartsheet without relationships");
            m_chartsheets.push_back(sheet.name);
            continue;
        }
        m_worksheets.push_back(Worksheet{sheet.name, part});
    }
}

void Book::read_styles() {
    const zip::Member *m = m_archive.find("xl/styles.xml");
    if (!m) return;
    std::optional<Styles> parsed;
    parse_member(m_settings, m_archive, small_member(m_archive, "xl/styles.xml"), parsed);
    const Styles &styles = *parsed;
    for (long long id : styles.xf_formats) {
        StyleFormat format;
        format.id = id;
        auto custom = styles.custom.find(id);
        if (custom != styles.custom.end()) format.custom = custom->second;
        m_formats.push_back(std::move(format));
    }
}

}  // namespace mine::native
