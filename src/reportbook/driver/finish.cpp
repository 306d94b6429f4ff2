// Opening and finishing a result workbook: document and custom properties, the
// hidden "Utilities" property table, and the closing sequence that saves the
// workbook, makes it readable by all and gives it its final name.
#include "reportbook/checks.hpp"
#include "reportbook/files.hpp"
#include "reportbook/reportbook.hpp"
#include "toolkit/toolkit.hpp"

#include <cmath>

namespace rb {
namespace {

object os() { return nb::module_::import_("os"); }

void remove_if_present(handle mapping, const char *name) {
    object key = nb::str(name);
    if (pyutil::contains(mapping, key) && PyObject_DelItem(mapping.ptr(), key.ptr()) < 0)
        pyutil::raise_pending();
}

bool is_tag(handle vtype, const char *tag) { return vtype.equal(nb::str(tag)); }

// numpy's isinf for the values it takes; a fraction or another real number
// numpy has no type for is tested as the double it stands for.
bool is_infinite(handle value) {
    if (checks::is_real(value) && !PyFloat_Check(value.ptr()) && !PyLong_Check(value.ptr()))
        return std::isinf(pyutil::as_double(value, 0.0));
    return pyutil::truthy(pyutil::module_attr("np").attr("isinf")(value));
}

// A real number that is infinite or NaN.  An int too large for a double
// counts as finite: its digits are a valid number property.
bool is_non_finite(handle value) {
    return checks::is_real(value) && !std::isfinite(pyutil::as_double(value, 0.0));
}

// A finite real number as XlsxWriter writes it into a number property, its
// str() form: an xs:double for ints, floats and numpy's numbers, but "True"
// for a bool and "1/3" for a fraction, which take their int or float form.
object number_property(handle value) {
    if (PyBool_Check(value.ptr()) || pyutil::is_instance(value, "numpy", "bool_"))
        return nb::int_(pyutil::truthy(value) ? 1 : 0);
    if (PyLong_Check(value.ptr()) || PyFloat_Check(value.ptr()) ||
        pyutil::is_instance(value, "numpy", "number"))
        return nb::borrow(value);
    if (pyutil::is_instance(value, "numbers", "Integral"))
        return pyutil::steal(PyNumber_Long(value.ptr()));
    return pyutil::steal(PyNumber_Float(value.ptr()));
}

// The value and tag a property is stored with.  XlsxWriter only stores text
// properties that are text; anything else the caller tagged "text" (a list
// of fields, a number) is stored in its str() form, the same form the
// "Utilities" cell shows.  A number that is infinite or NaN has no form in a
// number property that applications accept (XlsxWriter would write "inf",
// which is no xs:double, and Excel repairs the file by dropping every
// property); it is stored as the text "inf", "-inf" or "nan".
std::pair<object, object> stored_property(handle value, handle vtype) {
    if (is_tag(vtype, "text") && !nb::isinstance<nb::str>(value))
        return {nb::str(value), nb::borrow(vtype)};
    if (is_tag(vtype, "number") && is_non_finite(value))
        return {nb::str(nb::float_(value)), nb::str("text")};
    if (is_tag(vtype, "number") && checks::is_real(value))
        return {number_property(value), nb::borrow(vtype)};
    return {nb::borrow(value), nb::borrow(vtype)};
}

// Book.set_custom_property, keeping one property per name: XlsxWriter
// appends every call to its list, and a name saved twice makes openpyxl
// (3.1 and later) refuse the whole workbook.  The later value takes the
// place of the earlier one.  A book that keeps its properties otherwise is
// left as it is.
void set_custom_property(handle book, handle name, handle value, handle vtype) {
    book.attr("set_custom_property")(name, value, vtype);
    object props = pyutil::attr_or_none(book, "custom_properties");
    if (!props.is_valid() || !PyList_CheckExact(props.ptr())) return;
    // Free-threaded, the list's items are read under its critical section, as
    // Python code's props[i] would (nothing with a GIL).
    nb::ft_object_guard guard(props);
    const Py_ssize_t last = PyList_GET_SIZE(props.ptr()) - 1;
    if (last < 1) return;
    object added = nb::borrow(PyList_GET_ITEM(props.ptr(), last));
    if (!PyTuple_Check(added.ptr()) || PyTuple_GET_SIZE(added.ptr()) < 1) return;
    handle added_name = PyTuple_GET_ITEM(added.ptr(), 0);
    for (Py_ssize_t i = 0; i < last; ++i) {
        object earlier = nb::borrow(PyList_GET_ITEM(props.ptr(), i));
        if (!PyTuple_Check(earlier.ptr()) || PyTuple_GET_SIZE(earlier.ptr()) < 1) continue;
        if (!handle(PyTuple_GET_ITEM(earlier.ptr(), 0)).equal(added_name)) continue;
        if (PyList_SetSlice(props.ptr(), last, last + 1, nullptr) < 0 ||
            PyList_SetItem(props.ptr(), i, added.release().ptr()) < 0)
            pyutil::raise_pending();
        return;
    }
}

void write_value_cell(handle sheet, long long row, handle value, handle vtype) {
    if (is_tag(vtype, "text")) {
        sheet.attr("write_string")(row, 2, nb::str(value));
    } else if (is_tag(vtype, "number")) {
        // A number cell holds neither infinity nor NaN: their text instead.
        if (is_infinite(value))
            sheet.attr("write_string")(row, 2, "inf");
        else if (is_non_finite(value))
            sheet.attr("write_string")(row, 2, "nan");
        else
            sheet.attr("write_number")(row, 2, value);
    } else {
        sheet.attr("write")(row, 2, value);
    }
}

// Runs `body` with the two warnings that the closing sequence provokes by
// design silenced: pandas closes the workbook a second time (XlsxWriter then
// warns), and pandas 1.5 marks its own save() as leaving the public API.
template <typename Body>
void with_closing_warnings_silenced(Body body) {
    object warnings = nb::module_::import_("warnings");
    object guard = warnings.attr("catch_warnings")();
    guard.attr("__enter__")();
    try {
        warnings.attr("filterwarnings")("ignore",
                                        "message"_a =
                                            "Calling close\\(\\) on already closed file\\.",
                                        "category"_a = handle(PyExc_UserWarning));
        warnings.attr("filterwarnings")("ignore",
                                        "message"_a = "save is not part of the public API",
                                        "category"_a = handle(PyExc_FutureWarning));
        body();
    } catch (nb::python_error &e) {
        guard.attr("__exit__")(e.type(), e.value(), e.traceback());
        throw;
    }
    guard.attr("__exit__")(nb::none(), nb::none(), nb::none());
}

const char *const kNotSaved =
    "finishExcel: the workbook was not saved; it is still open in excelwriter, partly finished";

// body(), an error of which carries `where` as a note: after writing has
// started, the caller learns where the workbook is.
template <typename Body>
void telling(const std::string &where, Body body) {
    try {
        body();
    } catch (nb::python_error &e) {
        pyutil::add_note(e, where);
        throw;
    }
}

std::string text_of(handle path) { return pyutil::utf8(os().attr("fspath")(path)); }

// The workbook is saved into a file of the call's own beside tempres, not
// into the file the writer opened there: two campaigns given one temporary
// path would write into one file at once, and each then take a damaged
// workbook, or the other's, to its final name.
object save_workbook(handle workbook, handle excelwriter, handle tempres, bool with_vba) {
    object own;
    telling(kNotSaved, [&] {
        own = create_file_beside(tempres, nb::str(with_vba ? ".xlsm" : ".xlsx"), 0600);
    });
    const std::string at = text_of(own);
    telling("finishExcel: the workbook was being saved to " + at + " when this happened; that "
            "file may hold part of it",
            [&] {
                nb::setattr(workbook, "filename", own);
                workbook.attr("close")();
            });
    telling("finishExcel: the finished workbook is at " + at, [&] {
        with_closing_warnings_silenced([&] {
            if (pyutil::has_attr(excelwriter, "save")) excelwriter.attr("save")();
            excelwriter.attr("close")();
        });
    });
    return own;
}

// The provisional name may carry an index group such as "model(2)"; the final
// name is indexed afresh, so the group is cut off.  Only the file name is
// searched: a "(" in a folder name must not move the workbook elsewhere.
object strip_index_group(handle base) {
    if (!pyutil::truthy(base.attr("endswith")(")"))) return nb::borrow(base);
    object start = base.attr("rfind")(os().attr("sep")) + nb::int_(1);
    long long open = pyutil::as_index(base.attr("rfind")("(", start));
    if (open < 0) return nb::borrow(base);
    return pyutil::steal(PySequence_GetSlice(base.ptr(), 0, (Py_ssize_t)open));
}

// The entries that describe the model: one architecture, or the lists of a
// recap workbook, whose single-model entries are dropped.
void add_model_entries(handle d, handle modeldic, bool recap) {
    if (!recap) {
        store(d, "Hidden neurons", modeldic["hidden"], "number");
        store(d, "Parameter count", modeldic["paramCount"], "number");
        if (pyutil::contains(modeldic, nb::str("config")))
            store(d, "Configuration string", modeldic["config"], "text");
    } else {
        store(d, "Hidden neuron list", modeldic["hiddenlist"], "text");
        store(d, "Parameter count list", modeldic["paramCount"], "text");
        for (const char *name : {"Hidden neurons", "Parameter count", "Best trainings",
                                 "Test selection threshold"})
            remove_if_present(d, name);
        if (pyutil::contains(modeldic, nb::str("configmem")))
            store(d, "Configuration string", modeldic["configmem"], "text");
    }
    store(d, "Mark", modeldic["mark"], "text");
    if (pyutil::contains(modeldic, nb::str("modelCount")) &&
        (modeldic["modelCount"] > nb::int_(0)))
        store(d, "Model count", modeldic["modelCount"], "number");
    else
        remove_if_present(d, "Model count");
}

}  // namespace

Str outputmarker(Str filename, Bool indirect) {
    if (pyutil::truthy(indirect)) return nb::borrow(filename);
    return nb::str("<container>%s") % filename;
}

namespace {

const char *const kPropertiesExpected =
    "a mapping of property names to (value, tag) pairs, such as an OrderedDict";
const char *const kModelExpected =
    "a mapping that describes the model (keys 'hidden', 'paramCount', 'mark'...)";

// modeldic[key] when present, for a check; an invalid object otherwise (the
// step that needs the key raises its KeyError at its own time).
object model_value(handle modeldic, const char *key) {
    object k = nb::str(key);
    if (!pyutil::contains(modeldic, k)) return object();
    return modeldic[k];
}

void model_number(handle modeldic, const char *key) {
    object v = model_value(modeldic, key);
    if (v.is_valid() && !v.is_none())
        checks::real(v, std::string("modeldic['") + key + "']",
                     "a number (it becomes a number property)");
}

// The mapping, the model description and every entry as initiateExcelWriter
// stores them, checked before anything is written.
void check_properties(handle d, handle modeldic, bool recap) {
    checks::mapping(d, "gmCustomProperties", kPropertiesExpected);
    if (!modeldic.is_none()) {
        checks::mapping(modeldic, "modeldic", kModelExpected);
        if (!recap) {
            model_number(modeldic, "hidden");
            model_number(modeldic, "paramCount");
        }
        model_number(modeldic, "modelCount");
    }
    for (handle entry : d.attr("items")()) {
        std::vector<object> kv = pyutil::unpack(entry, 2);
        checks::property_pair(kv[0], kv[1], "gmCustomProperties");
    }
}

// The workbook takes a new "Utilities" sheet: it is open and has none yet
// (a second call on one writer would find the first one's).
void check_workbook(handle book, bool with_sheet) {
    checks::open_workbook(book, "excelwriter");
    if (with_sheet && !checks::worksheet(book, nb::str("Utilities")).is_none())
        checks::impossible(
            "excelwriter already has a sheet 'Utilities': its workbook was opened by an earlier "
            "call (finishExcel or initiateExcelWriter on the same writer); open a new pandas "
            "ExcelWriter, or name no sheet of yours 'Utilities'");
}

// One attribute of finishExcel's options, read once: at the step that
// needs it first, where a missing one raises its AttributeError, and kept
// for the later steps.
class Option {
public:
    Option(handle options, const char *name) : m_options(options), m_name(name) {}
    // options.<name>, or its AttributeError.
    const object &get() {
        if (!m_value.is_valid()) {
            m_value = nb::getattr(m_options, m_name);
            m_looked = true;
        }
        return m_value;
    }
    // hasattr(options, name).
    bool present() {
        if (!m_looked) {
            m_value = pyutil::attr_or_none(m_options, m_name);
            m_looked = true;
        }
        return m_value.is_valid();
    }
    const char *name() const { return m_name; }
    // options.<name> with the name a refusal gives it, "options.<name>".
    Named named() {
        if (m_qualified.empty()) m_qualified = std::string("options.") + m_name;
        return {get(), m_qualified.c_str()};
    }

private:
    handle m_options;
    const char *m_name;
    object m_value;
    bool m_looked = false;
    std::string m_qualified;
};

// The options finishExcel reads.  Those the sheets take are read only when
// a workbook is asked for, before anything is written.
struct FinishOptions {
    explicit FinishOptions(handle o) : options(o) {}
    handle options;
    Option propertyName{options, "propertyName"}, root{options, "root"},
        copyexcel{options, "copyexcel"};
    Option datacount{options, "datacount"}, testcount{options, "testcount"},
        modelCount{options, "modelCount"}, paramCount{options, "paramCount"};
    Option savedir{options, "savedir"}, leveragethreshold{options, "leveragethreshold"},
        multimaxrec{options, "multimaxrec"}, loomaxrec{options, "loomaxrec"},
        propertyunit{options, "propertyunit"}, maxrec{options, "maxrec"},
        verbosexls{options, "verbosexls"};
    Option configstrMem{options, "configstrMem"}, copytxtcsv{options, "copytxtcsv"},
        targetfolder{options, "targetfolder"}, outfile{options, "outfile"},
        indirectoutput{options, "indirectoutput"};
};

}  // namespace

WriterTuple initiateExcelWriter(ExcelWriter excelwriter, Optional<Properties> modeldic,
                                 CustomProperties gmCustomProperties, Str origin, Bool recap) {
    handle d = gmCustomProperties;
    object book = nb::getattr(excelwriter, "book");
    bool with_sheet = pyutil::truthy(origin);
    check_workbook(book, with_sheet);
    check_properties(d, modeldic, pyutil::truthy(recap));

    book.attr("set_properties")(gmProperties());
    set_custom_property(book, nb::str("IsZezidovoraroResult"), nb::bool_(true), nb::str("bool"));

    if (!modeldic.is_none()) add_model_entries(d, modeldic, pyutil::truthy(recap));

    object sheet;
    if (with_sheet) {
        sheet = book.attr("add_worksheet")("Utilities");
        sheet.attr("set_zoom")(150);
        sheet.attr("write_string")(1, 1, "property");
        sheet.attr("write_string")(1, 2, "value");
    }

    // An empty mapping leaves the table empty: the first free row is then the
    // one below the header.
    long long i = -1;
    for (handle entry : d.attr("items")()) {
        ++i;
        std::vector<object> kv = pyutil::unpack(entry, 2);
        std::vector<object> pair = pyutil::unpack(kv[1], 2);
        handle key = kv[0], value = pair[0], vtype = pair[1];
        if (value.is_none()) continue;
        std::pair<object, object> stored = stored_property(value, vtype);
        set_custom_property(book, key, stored.first, stored.second);
        if (with_sheet) {
            sheet.attr("write_string")(2 + i, 1, nb::str(key));
            write_value_cell(sheet, 2 + i, value, vtype);
        }
    }
    if (with_sheet) sheet.attr("hide")();
    return nb::make_tuple(nb::borrow(excelwriter), i + 3);
}

Str finishExcel(ExcelWriter excelwriter_in, Any options, CustomProperties gmCustomProperties,
                Strs sheetList, Frames frameList, ModelDict modeldic, handle libfilename,
                Ints IDlist, Int trainresultColumn, Int testresultColumn,
                Int LOOResultTrainColumn, handle loowidth, handle traintype, Str tempres) {
    (void)libfilename;  // kept for the toolkit's call; the VBA project is looked up by name
    (void)loowidth;
    (void)traintype;
    handle d = gmCustomProperties;
    FinishOptions o(options);
    // Read first: without them no call goes further.
    o.propertyName.get();
    o.root.get();

    // Everything the call will need of its arguments is checked before the
    // first change: a refused call leaves the mappings, the writer and the
    // file system as they were.
    checks::mapping(d, "gmCustomProperties", kPropertiesExpected);
    checks::mapping(modeldic, "modeldic", kModelExpected);
    const bool workbook_asked = o.copyexcel.present() && pyutil::truthy(o.copyexcel.get());
    for (Option *count : {&o.datacount, &o.testcount, &o.modelCount}) {
        if (count->present() && !count->get().is_none())
            checks::real(count->get(), std::string("options.") + count->name(), "a number");
    }
    // The information file and the workbook both read each pair.
    for (handle entry : d.attr("items")()) {
        std::vector<object> kv = pyutil::unpack(entry, 2);
        checks::property_pair(kv[0], kv[1], "gmCustomProperties", false);
    }
    // Where the results go and where the messages are written: a missing
    // folder or a closed stream would otherwise fail only once the workbook
    // is finished.
    if (workbook_asked || pyutil::truthy(o.copytxtcsv.get())) {
        checks::existing_folder(o.targetfolder.get(), "options.targetfolder");
        checks::text_stream(o.outfile.get(), "options.outfile");
    }
    if (workbook_asked) checks::folder_of_path_exists(tempres, "tempres");
    SheetSet set{};
    if (workbook_asked) {
        const bool with_utilities = pyutil::truthy(o.savedir.get());
        check_workbook(nb::getattr(excelwriter_in, "book"), with_utilities);
        check_properties(d, modeldic, false);

        set.leveragethreshold = o.leveragethreshold.named();
        set.maxreclist = o.multimaxrec.named();
        // One option stands for the LOO trainings shown, the count of
        // selected models and the chart's index alike.
        set.LOOlen = set.LOOmaxrec = set.decorindexLOO = o.loomaxrec.named();
        set.pptyunit = o.propertyunit.get();
        set.decorindex = o.maxrec.named();
        set.verbosexls = o.verbosexls.named();
        set.excelwriter = nb::borrow(excelwriter_in);
        open_sheet_set(set, sheetList, frameList);
        checks::sequence(IDlist, "IDlist", "a list whose first element is the best training");
        if (nb::len(IDlist) == 0)
            pyutil::raise(PyExc_IndexError,
                      "IDlist is empty: its first element is the number of the best training");
        // The count of trainings: the rows of the result Frame, or the groups
        // of four columns after the measured one on the training sheet.
        object resultcount = nb::int_(0);
        const object &resultFrame = set[SheetKind::Result].frame,
                     &trainFrame = set[SheetKind::Training].frame;
        if (!resultFrame.is_none())
            resultcount = nb::int_(checks::frame_shape(resultFrame, "frameList[0]").first);
        else if (!trainFrame.is_none())
            resultcount = pyutil::steal(PyNumber_FloorDivide(
                nb::int_(checks::frame_shape(trainFrame, "frameList[1]").second - 1).ptr(),
                nb::int_(4).ptr()));
        set.pptyname = o.propertyName.get();
        set.besttrainindex = IDlist[nb::int_(0)];
        set.resultcount = resultcount;
        set.trainresultColumn = nb::borrow(trainresultColumn);
        set.testresultColumn = nb::borrow(testresultColumn);
        set.LOOResultTrainColumn = nb::borrow(LOOResultTrainColumn);
        set.infolen = nb::int_(0);  // stands for the row the property table leaves
        check_sheet_set(set, with_utilities ? nullptr
                                            : "options.savedir is empty, so the workbook gets "
                                              "no sheet 'Utilities'");
    }

    object paramcount = o.paramCount.present() ? o.paramCount.get() : modeldic["paramCount"];
    if (o.datacount.present()) store(d, "Data count", o.datacount.get(), "number");
    if (o.testcount.present()) store(d, "Test count", o.testcount.get(), "number");
    if (o.modelCount.present()) {
        const object &count = o.modelCount.get();
        if (count > nb::int_(1)) store(d, "Model count", count, "number");
    }
    store(d, "Target folder", toolkit::make_extern(o.savedir.get(), options), "text");
    // The key must be there (read, not merely named).
    object hidden = modeldic["hidden"];
    (void)hidden;
    if (o.configstrMem.present()) modeldic["configmem"] = o.configstrMem.get();

    object path = os().attr("path");
    if (pyutil::truthy(o.copytxtcsv.get())) {
        object fname = path.attr("join")(o.targetfolder.get(), "traininfo");
        object infofilename = toolkit::decorfile(fname, options, nb::str(".txt"), nb::str("(%d)"));
        // The workbook's model entries, entered now so that the file states
        // the values the workbook will hold rather than the placeholders.
        add_model_entries(d, modeldic, false);
        createFileInfo(infofilename, gmProperties(), d);
        object write = o.outfile.get().attr("write");
        object folder = outputmarker(o.targetfolder.get(), o.indirectoutput.get());
        write(nb::str("results in folder: %s\n") % folder);
    }

    if (!pyutil::truthy(o.copyexcel.get())) return nb::str("");

    object fname = path.attr("join")(o.targetfolder.get(), o.root.get());
    object excelresult = toolkit::decorfile(fname, options, nb::str(".xlsm"), nb::str("(%s)"));
    object excelwriter, workbook;
    bool with_vba = false;
    telling(kNotSaved, [&] {
        std::vector<object> opened = pyutil::unpack(
            initiateExcelWriter(excelwriter_in, modeldic, d, o.savedir.get(), nb::bool_(false)),
            2);
        excelwriter = opened[0];
        set.excelwriter = excelwriter;
        set.infolen = opened[1];
        set.paramcount = paramcount;
        finish_sheet_set(set);

        workbook = nb::getattr(excelwriter, "book");
        workbook.attr("set_size")(1490, 1300);
        with_vba = attach_vba_project(workbook);
    });

    std::vector<object> split = pyutil::unpack(path.attr("splitext")(excelresult), 2);
    object base = strip_index_group(split[0]);
    object wanted = nb::str(with_vba ? "{0}.xlsm" : "{0}.xlsx").format(base);

    // The final name is claimed only once the workbook is complete on disk.
    object saved = save_workbook(workbook, excelwriter, tempres, with_vba);
    object claimed;
    try {
        os().attr("chmod")(saved, kWorkbookFileMode);
        move_to_free_name(saved, wanted, claimed);
    } catch (nb::python_error &e) {
        pyutil::add_note(e, "finishExcel: the finished workbook is at " +
                                text_of(claimed.is_valid() ? claimed : saved));
        throw;
    }
    excelresult = claimed;
    telling("finishExcel: the finished workbook is at " + text_of(excelresult), [&] {
        remove_empty_placeholder(tempres);
        object filename = toolkit::make_extern(excelresult, options);
        o.outfile.get().attr("write")(nb::str("Writing results in file: {}\n").format(filename));
    });
    return excelresult;
}

void bind_workbook_open(nb::module_ &m) {
    m.def("outputmarker", &outputmarker, pyutil::arg("filename"), pyutil::arg("indirect") = false);
    m.def("initiateExcelWriter", &initiateExcelWriter, pyutil::arg("excelwriter"),
          pyutil::arg("modeldic"), pyutil::arg("gmCustomProperties"), pyutil::arg("origin") = "",
          pyutil::arg("recap") = false);
    m.def("finishExcel", &finishExcel, pyutil::arg("excelwriter"), pyutil::arg("options"),
          pyutil::arg("gmCustomProperties"), pyutil::arg("sheetList"), pyutil::arg("frameList"),
          pyutil::arg("modeldic"), pyutil::arg("libfilename"), pyutil::arg("IDlist"),
          pyutil::arg("trainresultColumn"), pyutil::arg("testresultColumn"),
          pyutil::arg("LOOResultTrainColumn"), pyutil::arg("loowidth"), pyutil::arg("traintype"),
          pyutil::arg("tempres"));
}

}  // namespace rb
