// What a workbook offers before it is loaded: its ranges, the titles of one
// range and a first look at a range's rows, through the toolkit's readers
// (the module's own Excel reader read natively where it can be).
#include "datareader/tablemine/rangebook.hpp"
#include "datareader/tablemine/tablemine.hpp"
#include "toolkit/toolkit.hpp"

namespace mine {

Titles gettitles(Path filename, Str filetype, Str datarange, handle /*skipline*/,
                 handle /*delimiter*/, Items datafmt) {
    object result = nb::list();
    object reader_class = toolkit::getExcelType(filetype);
    if (pyutil::truthy(reader_class)) {
        check_range_arguments("gettitles", filename, datarange, datafmt);
        File file(filename);
        if (ranged::reads(reader_class, file))
            if (auto titles = ranged::titles(file, datarange, datafmt)) return std::move(*titles);
        ranged::before_reader_class(reader_class, file, filetype);
        check_before_library(file, filetype);
        object reader = reader_class(filename, "arange"_a = datarange, "datafmt"_a = datafmt,
                                     "headerOnly"_a = true, "load"_a = true);
        result = nb::getattr(reader, "titles");
    }
    return result;
}

Strs getranges(Path filename, Str filetype) {
    // The readers' libraries warn about workbook features they drop; the
    // toolkit has always silenced them for the whole run from here.
    nb::module_::import_("warnings").attr("filterwarnings")("ignore");
    object result = nb::list();
    object reader_class;
    if (same_text(filetype, "xlsx") || same_text(filetype, "xlsm"))
        reader_class = toolkit::Excel();
    else if (same_text(filetype, "xls"))
        reader_class = toolkit::ExcelXP();
    else
        return result;
    check_file_argument("getranges", "filename", filename);
    File file(filename);
    if (ranged::reads(reader_class, file))
        if (auto names = ranged::range_names(file)) return std::move(*names);
    ranged::before_reader_class(reader_class, file, filetype);
    check_before_library(file, filetype);
    object mgr = reader_class(filename, "load"_a = true);
    with_context(mgr, [&](handle reader) {
        result = reader.attr("range_names")();
        if (!pyutil::truthy(result)) {
            object first = reader.attr("get_data_ranges")()[nb::int_(0)];
            nb::list one;
            one.append(pyutil::text("!").attr("join")(first));
            result = one;
        }
    });
    return result;
}

RangeLayout analyseRangeData(Path filename, Str filetype, Str datarange, Items datafmt) {
    object marker = nb::borrow((PyObject *)&PyType_Type);
    object titles = nb::list();
    long long count = 0;
    object reader_class;
    if (same_text(filetype, "xls"))
        reader_class = toolkit::ExcelXP();
    else if (same_text(filetype, "xlsx"))
        reader_class = toolkit::Excel();
    if (!reader_class.is_valid()) return nb::make_tuple(marker, count, true, titles);
    check_range_arguments("analyseRangeData", filename, datarange, datafmt);
    File file(filename);
    std::optional<ranged::RangeRows> native_rows;
    if (ranged::reads(reader_class, file)) {
        native_rows = ranged::iter_data(file, pyutil::text(""), nb::none(), nb::bool_(false),
                                        datarange, datafmt, nb::int_(0));
    }
    if (native_rows) {
        if (native_rows->error.is_valid()) pyutil::raise(native_rows->error);
        count = static_cast<long long>(nb::len(native_rows->rows));
        if (count) titles = native_rows->rows[0];
        --count;
    } else {
        ranged::before_reader_class(reader_class, file, filetype);
        check_before_library(file, filetype);
        object mgr = reader_class(filename, "load"_a = true);
        with_context(mgr, [&](handle reader) {
            object rows =
                reader.attr("iterData")(datarange, "datafmt"_a = datafmt, "titlesfirst"_a = true);
            for (handle row : rows) {
                if (count == 0) titles = nb::borrow(row);
                ++count;
            }
        });
        --count;
    }
    return nb::make_tuple(marker, count, true, titles);
}

}  // namespace mine
