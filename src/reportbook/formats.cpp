// The named cell formats of a result workbook.  Every call registers a new
// format with the workbook; NUM_FORMAT is read when the factory runs.
#include "reportbook/reportbook.hpp"

#include <string>
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
    // Every factory takes the workbook and gives the format it registered.
    const std::pair<const char *, object (*)(handle)> factories[] = {
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
    for (const auto &[name, factory] : factories) {
        // nanobind keeps its own copy of the signature text.
        const std::string sig = std::string("def ") + name +
                                "(Book: xlsxwriter.workbook.Workbook) -> xlsxwriter.format.Format";
        m.def(name, factory, pyutil::arg("Book"), nb::sig(sig.c_str()));
    }
}

}  // namespace rb
