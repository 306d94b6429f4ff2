// What openpyxl's full reading binds to a worksheet's cells after reading
// them (merged ranges and links may follow the data; the links' targets
// and the comments lie in parts of their own), and the names the workbook
// part defines.  Unsure or Refused as the layers below decide.
#pragma once

#include "datareader/tablemine/native/book.hpp"

#include <map>
#include <optional>
#include <string>
#include <vector>

namespace mine::native {

// Whether a worksheet part holds the names of the elements the library binds
// to the cells after reading them (merged ranges, hyperlinks).  Without
// them, the scan of a range ends at its last row: no entity or other markup
// can spell an element's name.
bool mentions_bindings(const zip::Archive &archive, const zip::Member &member);

// A link of a worksheet's list of hyperlinks: its cell, and the relationship
// or the place it goes to.
struct Hyperlink {
    long long row = 0, column = 0;
    std::optional<std::string> id, location;
};
// The link a <hyperlink> element's attributes make; Unsure for an attribute
// the library refuses, and for a link on anything but one cell in plain A1
// form (ranges and other forms are the library's).
Hyperlink hyperlink_of(const char **attrs);

// The row of a cell reference the sheet layer has checked: its digits.
long long row_of(const std::string &ref);

// The targets of a worksheet's relationships outside the archive, by their
// id (none for one without target), as the library keeps them: written as
// they are.
std::map<std::string, std::optional<std::string>> external_targets(const Book &book,
                                                                   const Worksheet &ws);

// The comments parts a worksheet's relationships name, as the library finds
// them (targets relative to the sheet's folder); Unsure for comments outside
// the archive or missing from it.
std::vector<std::string> comments_parts(const Book &book, const Worksheet &ws);

// The cells a comments part names, as written.
std::vector<std::string> comment_refs(const Book &book, const std::string &part);

// A name of the workbook part's definedNames, and its text.
struct DefinedName {
    std::string name, text;
    bool global = true;  // no localSheetId
};
struct WorkbookNames {
    std::vector<DefinedName> names;
    std::vector<std::string> sheets;  // the sheets' names, in the workbook's order
};
WorkbookNames workbook_names(const Book &book);

}  // namespace mine::native
