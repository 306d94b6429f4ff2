// Sheet lookup by name and the sheets that only need their view set.
#include "reportbook/reportbook.hpp"

namespace rb {

// The writer only knows a sheet once a Frame was written under its name, so
// an unknown name is an ordinary answer (None), never an error.  `sheets` is
// read once for the test and once for the lookup, as the writer may build
// the mapping afresh on every read.
object getSheet(handle writer, handle sheetname) {
    if (py::contains(py::getattr(writer, "sheets"), sheetname))
        return py::item(py::getattr(writer, "sheets"), sheetname);
    return nb::none();
}

object enrichSimpleSheet(handle Book, handle Sheet, handle Frame, handle writer) {
    (void)Book;
    (void)Frame;
    object sheet = nb::borrow(Sheet);
    if (py::is_text(sheet) && !writer.is_none()) sheet = getSheet(writer, sheet);
    if (sheet.is_none()) return nb::none();
    sheet.attr("set_zoom")(150);
    return nb::none();
}

object enrichRecapSheet(handle Book, handle Sheet, handle Frame) {
    (void)Book;
    (void)Frame;
    Sheet.attr("set_zoom")(150);
    return nb::none();
}

void bind_sheetutils(nb::module_ &m) {
    m.def("getSheet", &getSheet, py::arg("writer"), py::arg("sheetname"));
    m.def("enrichSimpleSheet", &enrichSimpleSheet, py::arg("Book"), py::arg("Sheet"),
          py::arg("Frame"), py::arg("writer") = nb::none());
    m.def("enrichRecapSheet", &enrichRecapSheet, py::arg("Book"), py::arg("Sheet"),
          py::arg("Frame"));
}

}  // namespace rb
