// Sheet lookup by name and the sheets that only need their view set.
#include "reportbook/reportbook.hpp"

namespace rb {

// The writer only knows a sheet once a Frame was written under its name, so
// an unknown name is an ordinary answer (None), never an error.  `sheets` is
// read once for the test and once for the lookup, as the writer may build
// the mapping afresh on every read.
Optional<Worksheet> getSheet(ExcelWriter writer, Str sheetname) {
    if (pyutil::contains(nb::getattr(writer, "sheets"), sheetname))
        return nb::getattr(writer, "sheets")[sheetname];
    return nb::none();
}

NoneType enrichSimpleSheet(handle /* Book */, Union<Worksheet, Str> Sheet, handle /* Frame */,
                           ExcelWriter writer) {
    object sheet = nb::borrow(Sheet);
    if (nb::isinstance<nb::str>(sheet) && !writer.is_none()) sheet = getSheet(writer, sheet);
    if (sheet.is_none()) return nb::none();
    sheet.attr("set_zoom")(150);
    return nb::none();
}

NoneType enrichRecapSheet(handle /* Book */, Worksheet Sheet, handle /* Frame */) {
    Sheet.attr("set_zoom")(150);
    return nb::none();
}

void bind_simple_sheets(nb::module_ &m) {
    m.def("getSheet", &getSheet, pyutil::arg("writer"), pyutil::arg("sheetname"));
    m.def("enrichSimpleSheet", &enrichSimpleSheet, pyutil::arg("Book"), pyutil::arg("Sheet"),
          pyutil::arg("Frame"), pyutil::arg("writer") = nb::none());
    m.def("enrichRecapSheet", &enrichRecapSheet, pyutil::arg("Book"), pyutil::arg("Sheet"),
          pyutil::arg("Frame"));
}

}  // namespace rb
