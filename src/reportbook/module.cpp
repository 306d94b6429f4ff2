// vireo.trellis.reportbook: finishes the result workbooks of a training
// campaign.  This unit holds the module constants and the order in which the
// function table is bound; each concern binds its own functions.
#include "reportbook/reportbook.hpp"
#include "toolkit/toolkit.hpp"

namespace {

void bind_borrowed_names(nb::module_ &m) {
    nb::module_ utility = nb::module_::import_("xlsxwriter.utility");
    for (const char *name : {"xl_rowcol_to_cell", "xl_range", "xl_range_abs", "xl_col_to_name"})
        m.attr(name) = utility.attr(name);
    m.attr("np") = nb::module_::import_("numpy");
    toolkit::bind_writer_siblings(m);
}

void bind_constants(nb::module_ &m) {
    m.attr("simpleRangeType") = nb::list(nb::make_tuple("csv", "txt"));
    m.attr("multiRangesType") = nb::list(nb::make_tuple("xls", "xlsx", "xlsm"));
    m.attr("VBA_USE") = 1;
    m.attr("NUM_FORMAT") = "0.000";
    m.attr("levsumcomment") = "The sum of leverages must be an integer equal the number of "
                              "parameters of the model ( %s )";

    nb::object props = nb::module_::import_("collections").attr("OrderedDict")();
    const char *table[][2] = {
        {"title", "Graph machine demo results"},
        {"subject", "graph machine example"},
        {"author", "Orrin Vale, Tamsin Hale"},
        {"company", "Halvard"},
        {"category", "Example neuronal model or graph machine"},
        {"keywords", "Sample, Example, Zezidovoraro"},
        {"comments", "Created with Python and kestrel or Bramble"},
    };
    for (auto &row : table) props[row[0]] = row[1];
    m.attr("gmProperties") = props;
}

}  // namespace

NB_MODULE(reportbook, m) {
    pyutil::set_home_module(m);
    bind_borrowed_names(m);
    bind_constants(m);

    // help() and the stubs show each binding's parameter types (those of
    // common/pytypes.hpp, `object` where the operation uses none) and the
    // defaults of its nb::arg.  Calls stay duck-typed.
    rb::bind_resources(m);
    rb::bind_formats(m);
    rb::bind_scatter_charts(m);
    rb::bind_simple_sheets(m);
    rb::bind_minmax_block(m);
    rb::bind_result_sheet(m);
    rb::bind_evaluation_sheets(m);
    rb::bind_line_charts(m);
    rb::bind_recap(m);
    rb::bind_workbook_open(m);
    rb::bind_sheetset(m);
}
