#include "toolkit/toolkit.hpp"

namespace toolkit {
namespace {

object import_relative(nb::module_ &m, const char *name) {
    object importlib = pyutil::steal(PyImport_ImportModule("importlib"));
    object package = m.attr("__name__").attr("rpartition")(".")[0];
    return importlib.attr("import_module")(name, package);
}

void borrow(nb::module_ &m, handle from, const char *name) {
    m.attr(name) = nb::getattr(from, name);
}

object sibling(const char *name) { return pyutil::module_attr(name); }

}  // namespace

void bind_writer_siblings(nb::module_ &m) {
    object filetoolbox = import_relative(m, ".filetoolbox");
    object utils = import_relative(m, ".utils");
    object corvidconst = import_relative(m, "..corvid.corvidconst");
    for (const char *name : {"decorfile", "IndexFilename"}) borrow(m, filetoolbox, name);
    for (const char *name : {"home", "callerstr", "hasOneOf", "make_extern", "quote", "axisMinMax"})
        borrow(m, utils, name);
    m.attr("C") = corvidconst;
}

object decorfile(handle fname, handle options, handle ext, handle indextemplate) {
    return sibling("decorfile")(fname, options, ext, "indextemplate"_a = indextemplate);
}

object decorfile(handle fname, handle options, handle ext, handle decor, handle indextemplate) {
    return sibling("decorfile")(fname, options, ext, "decor"_a = decor,
                                "indextemplate"_a = indextemplate);
}

object IndexFilename(handle path) { return sibling("IndexFilename")(path); }

object make_extern(handle path, handle options) { return sibling("make_extern")(path, options); }

object callerstr(handle caller) { return sibling("callerstr")(caller); }

bool hasOneOf(handle actions, handle names) {
    return pyutil::truthy(sibling("hasOneOf")(actions, names));
}

object home() { return sibling("home"); }

object quote(handle sheetname) { return sibling("quote")(sheetname, "blankCond"_a = true); }

object axisMinMax(handle minVal, handle maxVal, handle padding) {
    return sibling("axisMinMax")(minVal, maxVal, padding);
}

object substitute_field(handle field) {
    return sibling("C").attr("SUBSTITUTE_FIELD").attr("get")(field, field);
}

namespace {
PyObject *bound_excel = nullptr;
PyObject *bound_excel_module = nullptr;
}  // namespace

void bind_reader_siblings(nb::module_ &m) {
    object excel = import_relative(m, ".excel");
    object datasource = import_relative(m, ".datasource");
    for (const char *name : {"Excel", "ExcelCsv", "ExcelXP"}) borrow(m, excel, name);
    borrow(m, datasource, "getExcelType");
    // Kept for the life of the process, as the class itself is by its module.
    if (!bound_excel) bound_excel = nb::getattr(excel, "Excel").release().ptr();
    if (!bound_excel_module) bound_excel_module = excel.inc_ref().ptr();
}

object excel_error(const char *name) {
    object cls;
    if (bound_excel_module && PyObject_HasAttrString(bound_excel_module, name))
        cls = nb::getattr(handle(bound_excel_module), name);
    return cls;
}

bool is_bound_excel(handle cls) { return bound_excel && cls.ptr() == bound_excel; }

object getExcelType(handle filetype) { return sibling("getExcelType")(filetype); }
object Excel() { return sibling("Excel"); }
object ExcelXP() { return sibling("ExcelXP"); }
object ExcelCsv() { return sibling("ExcelCsv"); }

}  // namespace toolkit
