// The property table of a result workbook ("property" and "value" columns
// under a first sheet row that is never read) read back.
#include "datareader/tablemine/tablemine.hpp"

#include <algorithm>

namespace mine {
namespace {

// The sheet read with its second row as titles; invalid when the file type
// is not a workbook type.
object read_property_sheet(const char *func, handle filename, handle sheetname, handle filetype) {
    object ft = nb::borrow(filetype);
    if (!pyutil::truthy(ft)) {
        check_file_argument(func, "filename", filename, false);
        ft = extension_of(filename);
    }
    if (!is_workbook_type(ft)) return object();
    check_file_argument(func, "filename", filename);
    check_sheet_argument(func, sheetname);
    return read_sheet(filename, sheetname, SheetLayout::PropertyTable);
}

}  // namespace

object property_value(handle frame, handle name) {
    object names = nb::list(frame["property"]);
    object values = nb::list(frame["value"]);
    const size_t n = std::min(nb::len(names), nb::len(values));
    for (size_t i = 0; i < n; ++i)
        if (names[i].equal(name)) return values[i];
    return object();
}

// `keys` is accepted for the toolkit's callers; every property is returned.
CustomValues getcustomproperties(Path filename, SheetKey sheetname, handle /*keys*/, Str filetype) {
    nb::dict result;
    object frame = read_property_sheet("getcustomproperties", filename, sheetname, filetype);
    if (!frame.is_valid()) return result;
    object names = nb::list(frame["property"]);
    object values = nb::list(frame["value"]);
    object text_type = pyutil::module_attr("text_type");
    const size_t n = std::min(nb::len(names), nb::len(values));
    for (size_t i = 0; i < n; ++i) {
        object name = names[i];
        int text = PyObject_IsInstance(name.ptr(), text_type.ptr());
        if (text < 0) pyutil::raise_pending();
        if (text) result[name] = values[i];
    }
    return result;
}

Any getcustomproperty(Path filename, SheetKey sheetname, Str property, Str filetype) {
    object frame = read_property_sheet("getcustomproperty", filename, sheetname, filetype);
    object value = frame.is_valid() ? property_value(frame, property) : object();
    return value.is_valid() ? value : nb::borrow(filename);
}

}  // namespace mine
