// The named cell formats of a result workbook.  Every call registers a new
// format with the workbook; NUM_FORMAT is read when the factory runs.
#include "reportbook/reportbook.hpp"

namespace rb {
namespace {

object add_format(handle Book, nb::dict properties) { return Book.attr("add_format")(properties); }

object centred_number(handle Book, handle num_format) {
    nb::dict p;
    p["num_format"] = num_format;
    p["align"] = "center";
    return add_format(Book, p);
}

object coloured(handle Book, const char *bg, const char *font) {
    nb::dict p;
    p["bg_color"] = bg;
    p["font_color"] = font;
    return add_format(Book, p);
}

}  // namespace

object getLevFormat(handle Book) { return centred_number(Book, NUM_FORMAT()); }
object getResFormat(handle Book) { return centred_number(Book, NUM_FORMAT()); }
object getMeasuredFormat(handle Book) { return centred_number(Book, NUM_FORMAT()); }
object getRoundoffFormat(handle Book) { return centred_number(Book, nb::str("0.00E+00")); }
object getIDformat(handle Book) { return centred_number(Book, nb::str("\"#\"0")); }
object getIntegerformat(handle Book) { return centred_number(Book, nb::str("0")); }

object getTextCenteredFormat(handle Book) {
    nb::dict p;
    p["align"] = "center";
    return add_format(Book, p);
}

object getMaxrecFormat(handle Book) { return coloured(Book, "#FFC7CE", "#9C0006"); }
object getThresholdFormat(handle Book) { return coloured(Book, "#FF00FF", "#9C0006"); }

void bind_formats(nb::module_ &m) {
    m.def("getLevFormat", &getLevFormat, py::arg("Book"),
          nb::sig("def getLevFormat(Book: xlsxwriter.workbook.Workbook) "
                  "-> xlsxwriter.format.Format"));
    m.def("getResFormat", &getResFormat, py::arg("Book"),
          nb::sig("def getResFormat(Book: xlsxwriter.workbook.Workbook) "
                  "-> xlsxwriter.format.Format"));
    m.def("getRoundoffFormat", &getRoundoffFormat, py::arg("Book"),
          nb::sig("def getRoundoffFormat(Book: xlsxwriter.workbook.Workbook) "
                  "-> xlsxwriter.format.Format"));
    m.def("getMeasuredFormat", &getMeasuredFormat, py::arg("Book"),
          nb::sig("def getMeasuredFormat(Book: xlsxwriter.workbook.Workbook) "
                  "-> xlsxwriter.format.Format"));
    m.def("getTextCenteredFormat", &getTextCenteredFormat, py::arg("Book"),
          nb::sig("def getTextCenteredFormat(Book: xlsxwriter.workbook.Workbook) "
                  "-> xlsxwriter.format.Format"));
    m.def("getIDformat", &getIDformat, py::arg("Book"),
          nb::sig("def getIDformat(Book: xlsxwriter.workbook.Workbook) "
                  "-> xlsxwriter.format.Format"));
    m.def("getIntegerformat", &getIntegerformat, py::arg("Book"),
          nb::sig("def getIntegerformat(Book: xlsxwriter.workbook.Workbook) "
                  "-> xlsxwriter.format.Format"));
    m.def("getMaxrecFormat", &getMaxrecFormat, py::arg("Book"),
          nb::sig("def getMaxrecFormat(Book: xlsxwriter.workbook.Workbook) "
                  "-> xlsxwriter.format.Format"));
    m.def("getThresholdFormat", &getThresholdFormat, py::arg("Book"),
          nb::sig("def getThresholdFormat(Book: xlsxwriter.workbook.Workbook) "
                  "-> xlsxwriter.format.Format"));
}

}  // namespace rb
