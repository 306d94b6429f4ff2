// The summary sheet of a campaign: one row per trained model, with running
// statistics of the VLOO score appended to the right of the table.
#include "reportbook/a1.hpp"
#include "reportbook/checks.hpp"
#include "reportbook/reportbook.hpp"
#include "reportbook/sheetcells.hpp"

namespace rb {
namespace {

// Column whose running mean and deviation are computed: the VLOO score.
constexpr a1::Index kVlooCol = 2;

void set_column(handle Sheet, const std::string &cols, int width, handle format) {
    Sheet.attr("set_column")(a1::text(cols), width, format);
}

// The result is stored with the formula: readers that do not recalculate
// would otherwise show 0 for every running statistic.
void write_at(handle Sheet, a1::Index row, a1::Index col, const formula::Formula &f,
              sheetcells::Sign sign) {
    sheetcells::write_formula(Sheet, a1::cell(row, col, true, true), f, sign);
}

}  // namespace

Int enrichResultSheet(Workbook Book, Worksheet Sheet, DataFrame Frame) {
    std::vector<object> shape = pyutil::unpack(nb::getattr(Frame, "shape"), 2);
    const object &count = shape[0];
    const object &width = shape[1];
    // The running statistics read column C: written at column C or left of
    // it, they would refer to themselves.
    if (width < nb::int_(2))
        checks::impossible("Frame has " + pyutil::utf8(width) +
                           " column(s), and needs two: the RMSE (sheet column B) and the VLOO "
                           "score (C); with fewer, its running averages would land on column C "
                           "and refer to themselves");

    object levformat = getLevFormat(Book);
    object idformat = getIDformat(Book);
    object roundformat = getRoundoffFormat(Book);

    Sheet.attr("set_zoom")(150);

    const a1::Index n = pyutil::as_index(count);
    // Through Python arithmetic so that no column past the table overflows.
    const a1::Index coldata = pyutil::as_index(width + nb::int_(2)) - 1;

    // set_column only looks at the columns of these ranges; the one-cell form
    // "A2" that a single model gives is refused by it, hence a1::columns.
    set_column(Sheet, a1::columns(1, 0, n, 0), 10, idformat);
    set_column(Sheet, a1::columns(1, 1, n, 2), 12, levformat);
    set_column(Sheet, a1::columns(1, 3, n, 3), 12, roundformat);
    set_column(Sheet, a1::columns(1, coldata, n, coldata + 1), 12, levformat);

    Sheet.attr("write_string")(0, coldata, "Avg VLOO");
    Sheet.attr("write_string")(0, coldata + 1, "StdDev VLOO");

    sheetcells::Cells cells(Book, Sheet);
    using sheetcells::Sign;
    // The first model is its own average, with no spread yet.
    write_at(Sheet, 1, coldata, formula::REF(cells.ref(a1::cell(1, kVlooCol, true, true))),
             Sign::Bare);
    write_at(Sheet, 1, coldata + 1, formula::Formula::number("0.0"), Sign::Equals);

    if (n >= 2) {
        const formula::Leading scores(cells.range(a1::range(1, kVlooCol, n, kVlooCol)));
        for (a1::Index r = 2; r <= n; ++r) {
            const std::string upto = a1::range(1, kVlooCol, r, kVlooCol);
            write_at(Sheet, r, coldata, scores.AVERAGE(upto, r), Sign::Bare);
            write_at(Sheet, r, coldata + 1, scores.STDEVA(upto, r), Sign::Bare);
        }
    }

    Sheet.attr("freeze_panes")(1, 1);
    return nb::int_(3);
}

void bind_result_sheet(nb::module_ &m) {
    m.def("enrichResultSheet", &enrichResultSheet, pyutil::arg("Book"), pyutil::arg("Sheet"),
          pyutil::arg("Frame"));
}

}  // namespace rb
