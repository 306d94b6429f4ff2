// What a workbook holds besides its cells, read as openpyxl reads it in
// read-only mode: where its parts are ([Content_Types].xml), its worksheets
// (workbook.xml and its relationships; chartsheets are never opened), its
// date system, the number format of each cell style and the shared strings.
#pragma once

#include "datareader/tablemine/native/settings.hpp"
#include "datareader/tablemine/native/zip.hpp"

#include <cstddef>
#include <exception>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace mine::native {

// A cell style's number format: a custom format code, or the id of a
// built-in format.
struct StyleFormat {
    long long id = 0;
    std::optional<std::string> custom;
};

struct Worksheet {
    std::string name;
    std::string part;
};

// The shared strings, one arena for all their text: memory follows the
// part's size, never the count the part announces.
class SharedStrings {
public:
    void add(const std::string &text);
    std::size_t size() const { return m_ends.size(); }
    std::string_view operator[](std::size_t i) const;

private:
    std::string m_text;
    std::vector<std::size_t> m_ends;
};

// The text of a rich or plain string element (<si>, <is>) as openpyxl's
// Text.content gives it: its last direct <t>, then the last <t> of each
// <r> run.  Phonetic runs, and anything openpyxl would refuse or read in a
// way of its own, are Unsure.
class TextContent {
public:
    void begin(const char **attrs);
    // An element `depth` levels below the string element.
    void start(const char *name, const char **attrs, int depth);
    void end(int depth);
    void text(const char *s, std::size_t len);
    // The text, into `out`.
    void content(std::string &out) const;

private:
    void capture_into(std::optional<std::string> &slot);

    std::optional<std::string> m_plain;
    std::vector<std::optional<std::string>> m_runs;
    // The <t> being read (its text up to its first child, as ElementTree's
    // .text), and how deep it lies.
    std::optional<std::string> *m_target = nullptr;
    bool m_capturing = false;
    int m_target_depth = 0;
};

class Book {
public:
    // Reads the parts every read of openpyxl's needs; Unsure or Refused as
    // the layers below decide.
    Book(const std::string &path, const Settings &settings);

    const zip::Archive &archive() const { return m_archive; }
    // The worksheets in the workbook's order, as pandas numbers them.
    const std::vector<Worksheet> &worksheets() const { return m_worksheets; }
    // The names of the chartsheets, which hold no cells.
    const std::vector<std::string> &chartsheets() const { return m_chartsheets; }
    bool date1904() const { return m_date1904; }
    const SharedStrings &strings() const { return m_strings; }
    // The number format of each cell style (xf), by style index.
    const std::vector<StyleFormat> &style_formats() const { return m_formats; }
    // Where the library finds the workbook part (sheets and defined names).
    const std::string &workbook_part() const { return m_workbook_part; }
    // The switches of the call that opened the book.
    const Settings &settings() const { return m_settings; }

private:
    void read_content_types();
    void read_workbook();
    void read_strings();
    void read_styles();

    zip::Archive m_archive;
    Settings m_settings;
    std::string m_workbook_part;
    std::string m_strings_part;
    std::vector<Worksheet> m_worksheets;
    std::vector<std::string> m_chartsheets;
    bool m_date1904 = false;
    SharedStrings m_strings;
    std::vector<StyleFormat> m_formats;
};

// A book opened on one thread for another to read: the book, or what its
// opening threw (Unsure, Refused, ...).
struct Opened {
    std::optional<Book> book;
    std::exception_ptr error;
};

// Shared by the readers of the parts: an element or attribute value that
// openpyxl would take with int() and the value it gives; Unsure when the
// text is not plain decimal digits (whose reading int() may differ on).
long long plain_integer(const char *text, long long max);
// posixpath.normpath, with which openpyxl resolves a relationship's target.
std::string normpath(const std::string &path);
// openpyxl's get_rels_path: the relationships part of a part,
// folder/_rels/name.rels.
std::string rels_path(const std::string &part);

}  // namespace mine::native
