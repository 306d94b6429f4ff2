// The property table of a result workbook ("property" and "value" columns
// under a first sheet row that is never read) read back.
#include "datareader/tablemine/tablemine.hpp"

#include <algorithm>
#include <optional>

namespace mine {
namespace {

// The sheet's property table (its second row the titles); none when the file
// type is not a workbook type.
std::optional<PropertyColumns> read_property_sheet(const char *func, handle filename,
                                                   handle sheetname, handle filetype) {
    object ft = nb::borrow(filetype);
    if (!pyutil::truthy(ft)) {
        check_file_argument(func, "filename", filename, false);
        ft = extension_of(filename);
    }
    if (!is_workbook_type(ft)) return std::nullopt;
    check_file_argument(func, "filename", filename);
    check_sheet_argument(func, sheetname);
    return read_property_columns(filename, sheetname, read_settings(), nullptr);
}

}  // namespace

object property_value(const PropertyColumns &table, handle name) {
    const size_t n = std::min(nb::len(table.names), nb::len(table.values));
    for (size_t i = 0; i < n; ++i)
        if (table.names[i].equal(name)) return table.values[i];
    return object();
}

// `keys` is accepted for the toolkit's callers; every property is returned.
CustomValues getcustomproperties(Path filename, SheetKey sheetname, handle /*keys*/, Str filetype) {
    nb::dict result;
    auto table = read_property_sheet("getcustomproperties", filename, sheetname, filetype);
    if (!table) return result;
    object text_type = pyutil::module_attr("text_type");
    const size_t n = std::min(nb::len(table->names), nb::len(table->values));
    for (size_t i = 0; i < n; ++i) {
        object name = table->names[i];
        int text = PyObject_IsInstance(name.ptr(), text_type.ptr());
        if (text < 0) pyutil::raise_pending();
        if (text) result[name] = table->values[i];
    }
    return result;
}

Any getcustomproperty(Path filename, SheetKey sheetname, Str property, Str filetype) {
    auto table = read_property_sheet("getcustomproperty", filename, sheetname, filetype);
    object value = table ? property_value(*table, property) : object();
    return value.is_valid() ? value : nb::borrow(filename);
}

}  // namespace mine
