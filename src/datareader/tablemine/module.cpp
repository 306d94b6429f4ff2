// vireo.trellis.datareader.tablemine: module attributes, error class and the
// function table, bound in the order the toolkit has always found them.
#include "datareader/tablemine/tablemine.hpp"
#include "toolkit/toolkit.hpp"

namespace {

using pyutil::object;

// pandas is optional at load: without it the module still loads, and the
// functions reading through pandas fail on the None binding.
object optional_pandas() {
    PyObject *mod = PyImport_ImportModule("pandas");
    if (mod) return nb::steal(mod);
    if (!PyErr_ExceptionMatches(PyExc_ImportError)) pyutil::raise_pending();
    PyErr_Clear();
    return nb::none();
}

object error_class() {
    return pyutil::steal(PyErr_NewException("vireo.trellis.datareader.tablemine.corvidExcelError",
                                            PyExc_Exception, nullptr));
}

void bind_attributes(nb::module_ &m) {
    m.attr("os") = nb::module_::import_("os");
    m.attr("sys") = nb::module_::import_("sys");
    m.attr("csv") = nb::module_::import_("csv");
    m.attr("np") = nb::module_::import_("numpy");
    object xlrd = nb::module_::import_("xlrd");
    m.attr("XLRDError") = xlrd.attr("XLRDError");
    toolkit::bind_reader_siblings(m);
    m.attr("xlrd") = xlrd;
    m.attr("text_type") = nb::module_::import_("six").attr("text_type");
    m.attr("StringIO") = nb::module_::import_("io").attr("StringIO");
    m.attr("pandas") = optional_pandas();
    m.attr("corvidExcelError") = error_class();
}

const char *search_doc = "Search the Excel file that references the model file passed in.";

const char *dataframe_doc =
    "Return a Pandas DataFrame from an Excel file.\n"
    "\n"
    "Comma-separated files (filetype \"csv\" or \"txt\") are read whole, a workbook\n"
    "through its range datarange, or else its sheet sheetname (the first sheet\n"
    "when none is given).  datafields selects the columns of the range (a list of\n"
    "lists is flattened first).  With indexfield, a column position, that column\n"
    "becomes the row index; drop tells whether it leaves the data columns.";

const char *iterator_doc =
    "Iterate over the rows of a data range.\n"
    "\n"
    "datafmt gives the positions of the data in a row: position 0 the model name,\n"
    "position 1 the SMILES text of the molecule and, when there are more than\n"
    "two entries, position 2 the target value.";

const char *frame_doc =
    "Return a Pandas DataFrame from a workbook or a delimited text file.\n"
    "\n"
    "indexfield names the column used as row index: a field name, matched\n"
    "exactly; or a list or tuple of candidate names, matched without regard to\n"
    "case, the first column (in column order) that matches being taken; any other\n"
    "value is used as the index field itself when it is true.";

}  // namespace

NB_MODULE(tablemine, m) {
    pyutil::set_home_module(m);
    bind_attributes(m);

    // Defaults shared by every call that omits them, as Python would.
    nb::list excluded;
    for (const char *label : {"", "r2", "pearson", "rmse", "vloo score", "sum"})
        excluded.append(label);
    nb::list no_keys;
    nb::list positions;
    for (int i : {0, 1, 2}) positions.append(i);

    // Typed as in the writer (common/pytypes.hpp); calls stay duck-typed.
    // Positional-only, yet named in help() and the stubs: nanobind names an
    // unnamed parameter "arg", and a named one can be passed by keyword.
    m.def("searchExcelFile", &mine::searchExcelFile, nb::arg().none(),
          nb::sig("def searchExcelFile(nnxfile: str | bytes | os.PathLike[str] | "
                  "os.PathLike[bytes], /) -> str"),
          search_doc);
    // A sheetname of None reads every sheet, a list the sheets it names, into
    // a dict of Frames: each has an overload of its own, so that the stubs
    // give that call its result type.  The last overload takes any object.
    auto def_frame_from_excel = [&](auto function) {
        m.def("getFrameFromExcel", function, pyutil::arg("filename"), pyutil::arg("sheetname"),
              pyutil::arg("filetype") = "", pyutil::arg("reduce") = false,
              pyutil::arg("excludedlist") = excluded);
    };
    def_frame_from_excel([](mine::Path filename, pytypes::OnlyNone sheetname, mine::Str filetype,
                            mine::Bool reduce, mine::Strs excludedlist)
                             -> mine::Optional<nb::typed<pytypes::Dict, nb::str, mine::DataFrame>> {
        return mine::getFrameFromExcel(filename, sheetname, filetype, reduce, excludedlist);
    });
    def_frame_from_excel(
        [](mine::Path filename, nb::typed<pytypes::OnlyList, mine::SheetKey> sheetname,
           mine::Str filetype, mine::Bool reduce, mine::Strs excludedlist)
            -> mine::Optional<nb::typed<pytypes::Dict, mine::SheetKey, mine::DataFrame>> {
            return mine::getFrameFromExcel(filename, sheetname, filetype, reduce, excludedlist);
        });
    def_frame_from_excel(&mine::getFrameFromExcel);
    m.def("getcustomproperties", &mine::getcustomproperties, pyutil::arg("filename"),
          pyutil::arg("sheetname"), pyutil::arg("keys") = no_keys, pyutil::arg("filetype") = "");
    m.def("getcustomproperty", &mine::getcustomproperty, pyutil::arg("filename"),
          pyutil::arg("sheetname"), pyutil::arg("property"), pyutil::arg("filetype") = "");
    m.def("gettitles", &mine::gettitles, pyutil::arg("filename"), pyutil::arg("filetype") = "csv",
          pyutil::arg("datarange") = "", pyutil::arg("skipline") = 0,
          pyutil::arg("delimiter") = ";", pyutil::arg("datafmt") = nb::none(),
          "read the titles of a given range in an Excel file.");
    m.def("getranges", &mine::getranges, pyutil::arg("filename"), pyutil::arg("filetype") = "csv",
          "Read the existing ranges in an Excel file.");
    m.def("analyseRangeData", &mine::analyseRangeData, pyutil::arg("filename"),
          pyutil::arg("filetype") = "xls", pyutil::arg("datarange") = "",
          pyutil::arg("datafmt") = nb::none());
    mine::bind_dataiterator(m, positions, iterator_doc);
    m.def("get_dataframe", &mine::get_dataframe, pyutil::arg("filename"),
          pyutil::arg("datarange") = "", pyutil::arg("datafields") = nb::none(),
          pyutil::arg("sheetname") = nb::none(), pyutil::arg("filetype") = "xlsx",
          pyutil::arg("indexfield") = -1, pyutil::arg("drop") = true, dataframe_doc);
    // indexfield: a column title, candidate titles, or any index label.
    m.def("getFrame", &mine::getFrame, pyutil::arg("filename"), pyutil::arg("filetype") = "",
          pyutil::arg("datarange") = "", pyutil::arg("datafields") = nb::none(),
          pyutil::arg("indexfield") = nb::none(), pyutil::arg("skipline") = 0,
          pyutil::arg("delimiter") = ";", frame_doc);
}
