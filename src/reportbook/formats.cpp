// The named cell formats of a result workbook.  Every call registers a new
// format with the workbook; NUM_FORMAT is read when the factory runs.
#include "reportbook/reportbook.hpp"

#include <utility>

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

Format getLevFormat(Workbook Book) { return centred_number(Book, NUM_FORMAT()); }
Format getResFormat(Workbook Book) { return centred_number(Book, NUM_FORMAT()); }
Format getMeasuredFormat(Workbook Book) { return centred_number(Book, NUM_FORMAT()); }
Format getRoundoffFormat(Workbook Book) { return centred_number(Book, nb::str("0.00E+00")); }
Format getIDformat(Workbook Book) { return centred_number(Book, nb::str("\"#\"0")); }
Format getIntegerformat(Workbook Book) { return centred_number(Book, nb::str("0")); }

Format getTextCenteredFormat(Workbook Book) {
    nb::dict p;
    p["align"] = "center";
    return add_format(Book, p);
}

Format getMaxrecFormat(Workbook Book) { return coloured(Book, "#FFC7CE", "#9C0006"); }
Format getThresholdFormat(Workbook Book) { return coloured(Book, "#FF00FF", "#9C0006"); }

void bind_formats(nb::module_ &m) {
    // Every factory takes the workbook and gives the format it registered.
    const std::pair<const char *, Format (*)(Workbook)> factories[] = {
        {"getLevFormat", &getLevFormat},
        {"getResFormat", &getResFormat},
        {"getRoundoffFormat", &getRoundoffFormat},
        {"getMeasuredFormat", &getMeasuredFormat},
        {"getTextCenteredFormat", &getTextCenteredFormat},
        {"getIDformat", &getIDformat},
        {"getIntegerformat", &getIntegerformat},
        {"getMaxrecFormat", &getMaxrecFormat},
        {"getThresholdFormat", &getThresholdFormat},
    };
    for (const auto &[name, factory] : factories) m.def(name, factory, pyutil::arg("Book"));
}

}  // namespace rb
