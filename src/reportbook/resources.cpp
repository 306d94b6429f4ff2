// Workbook resources: the name a result workbook will get, the VBA project
// attached to it, the custom properties that describe the run, and the
// information text file written beside the results.
#include "reportbook/checks.hpp"
#include "reportbook/files.hpp"
#include "reportbook/options.hpp"
#include "reportbook/reportbook.hpp"
#include "toolkit/toolkit.hpp"

namespace rb {
namespace {

object os_path() { return nb::module_::import_("os").attr("path"); }

object join(handle a, handle b) { return os_path().attr("join")(a, b); }
object join(handle a, const char *b) { return join(a, nb::str(b)); }

void store_option(handle mapping, const char *name, handle options, const char *attr,
                  const char *tag) {
    store(mapping, name, nb::getattr(options, attr), tag);
}

// A few thresholds are optional in older option sets: their rows are left
// out when the option cannot be read or stored, whatever the reason.
void store_if_possible(handle mapping, const char *name, Option &option, const char *tag) {
    pyutil::unless_exception([&] { store(mapping, name, option.get(), tag); },
                             [](nb::python_error &) {});
}

void store_sort_field(handle mapping, const char *name, handle options, const char *attr) {
    store(mapping, name, toolkit::substitute_field(nb::getattr(options, attr)), "text");
}

bool asks_for(Option &actionlist, const char *a, const char *b) {
    return toolkit::hasOneOf(actionlist.get(), nb::list(nb::make_tuple(a, b)));
}

// "key: value" with both in their str() form.
object info_line(handle key, handle value) {
    return nb::str("{}: {}").format(nb::str(key), nb::str(value));
}

}  // namespace

Str getExcelFileName(Any options, Str forcename, Str ext) {
    object sourceroot = nb::getattr(options, "root");
    object fname = join(nb::getattr(options, "targetfolder"), sourceroot);
    nb::list decor;
    if (pyutil::truthy(forcename)) {
        fname = nb::str("{}_{}").format(fname, forcename);
        decor.append("_");
    }
    return toolkit::decorfile(fname, options, ext, decor, nb::str("(%s)"));
}

Str getVbaProjectBin(Str targetfolder) {
    if (!pyutil::truthy(VBA_USE())) return nb::str("");
    object folder = nb::borrow(targetfolder);
    object home = toolkit::home();
    if (!pyutil::truthy(folder)) folder = home;

    object folders[] = {
        home,   join(home, "bin"), join(home, "data"), join(folder, "bin"), join(folder, "data"),
        folder, nb::str("/bin"),   nb::str("/data/"),  nb::str("/")};
    nb::list candidates;
    for (auto &f : folders) candidates.append(join(f, "vbaProject.bin"));

    object path = os_path();
    for (handle candidate : candidates) {
        object absolute = path.attr("abspath")(candidate);
        if (pyutil::truthy(path.attr("exists")(absolute))) return absolute;
    }
    nb::print(nb::str("cannot find 'vbaProject.bin' among candidates:\n\t{}")
                  .format(nb::str("\n\t").attr("join")(candidates)));
    return nb::str("");
}

bool attach_vba_project(handle workbook) {
    object vbaProjectBin = getVbaProjectBin(nb::str(""));
    if (!pyutil::truthy(vbaProjectBin)) return false;
    workbook.attr("add_vba_project")(vbaProjectBin);
    workbook.attr("set_vba_name")("ThisWorkbook");
    return true;
}

void store(handle mapping, const char *name, handle value, const char *tag) {
    mapping[name] = nb::make_tuple(value, tag);
}

CustomProperties getCustomDict(Any options, CustomProperties versionDict) {
    // The values the table is computed from, checked before the first entry
    // is stored; a missing attribute fails at its own step, as before.
    if (!versionDict.is_none())
        checks::mapping(versionDict, "versionDict",
                        "a mapping of property names to (value, tag) pairs, or None");
    // Each option read once, as finishExcel reads its own.
    Option threshold{options, "leveragethreshold"}, counts{options, "multimaxrec"},
        source{options, "source"}, grouplist{options, "grouplist"};
    if (threshold.present())
        checks::real(threshold.get(), "options.leveragethreshold",
                     "a number (infinity for no threshold)");
    if (counts.present())
        checks::sequence(counts.get(), "options.multimaxrec",
                         "a list of model counts such as [5] or [5, 3]");

    object d = versionDict.is_none()
                   ? object(nb::module_::import_("collections").attr("OrderedDict")())
                   : nb::borrow(versionDict);
    store(d, "Mark", nb::str(""), "text");
    store(d, "Source file", toolkit::make_extern(source.get(), options), "text");
    store_option(d, "Property name", options, "propertyName", "text");
    store_option(d, "Data range", options, "datarange", "text");
    store_option(d, "Data fields", options, "datafields", "text");
    if (grouplist.present()) store(d, "field groups", grouplist.get(), "text");

    object test = nb::getattr(options, "test");
    if (!pyutil::truthy(test)) test = source.get();
    store(d, "Test file", toolkit::make_extern(test, options), "text");
    store_option(d, "Test range", options, "testrange", "text");
    store_option(d, "Test fields", options, "testfields", "text");
    store_option(d, "Training epochs", options, "epochs", "number");
    store_option(d, "Training init count", options, "initcount", "number");
    store(d, "Hidden neurons", nb::int_(-1), "number");
    store_option(d, "Input count", options, "inputcount", "number");
    store(d, "Parameter count", nb::int_(-1), "number");
    store_option(d, "Random seed", options, "seed", "number");
    store_option(d, "Random std-dev", options, "initstddev", "number");

    if (pyutil::truthy(pyutil::module_attr("np").attr("isinf")(threshold.get())))
        store(d, "Test selection threshold", nb::str("infinite"), "text");
    else
        store(d, "Test selection threshold", threshold.get(), "number");
    store_option(d, "Best trainings", options, "maxrec", "number");

    if (nb::len(counts.get()) > 1) {
        nb::list texts;
        for (handle count : counts.get()) texts.append(nb::str(count));
        store(d, "Best counts", nb::str(",").attr("join")(texts), "text");
    }
    Option roundthreshold{options, "roundthreshold"},
        looleveragethreshold{options, "looleveragethreshold"};
    store_if_possible(d, "Roundoff threshold", roundthreshold, "number");
    store_if_possible(d, "Leveragethreshold", threshold, "number");
    store_if_possible(d, "Looleveragethreshold", looleveragethreshold, "number");
    store_sort_field(d, "Sort field", options, "orderfield");
    store(d, "Call type", toolkit::callerstr(nb::getattr(options, "caller")), "text");

    Option actionlist{options, "actionlist"};
    if (asks_for(actionlist, "bootstrap", "bootstraptest")) {
        store_option(d, "Bootstrapcount", options, "bootstrapcount", "number");
        store_option(d, "Bootstrapinitcount", options, "bootstrapinitcount", "number");
        store_option(d, "Bootstrapinittype", options, "bootstrapinittype", "number");
        store_option(d, "Bootstrapepochs", options, "bootstrapepochs", "number");
        store_option(d, "Bootstraptype", options, "bootstraptype", "number");
        store_sort_field(d, "Bootstrap Sort field", options, "bootstraporderfield");
    }
    if (asks_for(actionlist, "loo", "lootest")) {
        store_option(d, "Looinitcount", options, "looinitcount", "number");
        store_option(d, "Looittype", options, "looinittype", "number");
        store_option(d, "Looepochs", options, "looepochs", "number");
        store_option(d, "Loomaxrec", options, "loomaxrec", "number");
        store_sort_field(d, "LOO Sort field", options, "looorderfield");
    }
    return d;
}

Str createFileInfo(Str filename, Properties gmProperties,
                   ConstCustomProperties gmCustomProperties) {
    nb::list lines;
    for (handle kv : gmProperties.attr("items")()) {
        std::vector<object> pair = pyutil::unpack(kv, 2);
        lines.append(info_line(pair[0], pair[1]));
    }
    lines.append("");
    for (handle kv : gmCustomProperties.attr("items")()) {
        std::vector<object> pair = pyutil::unpack(kv, 2);
        lines.append(info_line(pair[0], pair[1][nb::int_(0)]));
    }
    object text = nb::str("\n").attr("join")(lines);
    if (pyutil::truthy(filename)) write_text_file(filename, text);
    return text;
}

void bind_resources(nb::module_ &m) {
    m.def("getExcelFileName", &getExcelFileName, pyutil::arg("options"),
          pyutil::arg("forcename") = "", pyutil::arg("ext") = ".xlsm");
    m.def("getVbaProjectBin", &getVbaProjectBin, pyutil::arg("targetfolder") = "");
    m.def("getCustomDict", &getCustomDict, pyutil::arg("options"),
          pyutil::arg("versionDict") = nb::none());
    m.def("createFileInfo", &createFileInfo, pyutil::arg("filename"), pyutil::arg("gmProperties"),
          pyutil::arg("gmCustomProperties"));
}

}  // namespace rb
