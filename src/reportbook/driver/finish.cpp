// Opening and finishing a result workbook: document and custom properties, the
// hidden "Utilities" property table, and the closing sequence that saves the
// workbook, makes it readable by all and gives it its final name.
#include "reportbook/reportbook.hpp"
#include "toolkit/toolkit.hpp"

namespace rb {
namespace {

object os() { return nb::module_::import_("os"); }

void store(handle mapping, const char *name, handle value, const char *tag) {
    mapping[name] = nb::make_tuple(value, tag);
}

void remove_if_present(handle mapping, const char *name) {
    object key = nb::str(name);
    if (py::contains(mapping, key) && PyObject_DelItem(mapping.ptr(), key.ptr()) < 0)
        py::raise_pending();
}

bool is_tag(handle vtype, const char *tag) { return vtype.equal(nb::str(tag)); }

bool is_infinite(handle value) {
    return py::truthy(py::module_attr("np").attr("isinf")(value));
}

// XlsxWriter only stores text properties that are text; anything else the
// caller tagged "text" (a list of fields, a number) is stored in its str()
// form, the same form the "Utilities" cell shows.
object property_value(handle value, handle vtype) {
    if (is_tag(vtype, "text") && !nb::isinstance<nb::str>(value)) return nb::str(value);
    return nb::borrow(value);
}

// Book.set_custom_property, keeping one property per name: XlsxWriter
// appends every call to its list, and a name saved twice makes openpyxl
// (3.1 and later) refuse the whole workbook.  The later value takes the
// place of the earlier one.  A book that keeps its properties otherwise is
// left as it is.
void set_custom_property(handle book, handle name, handle value, handle vtype) {
    book.attr("set_custom_property")(name, value, vtype);
    PyObject *found = PyObject_GetAttrString(book.ptr(), "custom_properties");
    if (!found) {
        PyErr_Clear();
        return;
    }
    object props = py::steal(found);
    if (!PyList_CheckExact(props.ptr())) return;
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
            py::raise_pending();
        return;
    }
}

void write_value_cell(handle sheet, long long row, handle value, handle vtype) {
    if (is_tag(vtype, "text")) {
        sheet.attr("write_string")(row, 2, nb::str(value));
    } else if (is_tag(vtype, "number")) {
        if (!is_infinite(value))
            sheet.attr("write_number")(row, 2, value);
        else
            sheet.attr("write_string")(row, 2, "inf");
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

void close_workbook(handle workbook, handle excelwriter) {
    workbook.attr("close")();
    with_closing_warnings_silenced([&] {
        if (py::has_attr(excelwriter, "save")) excelwriter.attr("save")();
        excelwriter.attr("close")();
    });
}

// The provisional name may carry an index group such as "model(2)"; the final
// name is indexed afresh, so the group is cut off.  Only the file name is
// searched: a "(" in a folder name must not move the workbook elsewhere.
object strip_index_group(handle base) {
    if (!py::truthy(base.attr("endswith")(")"))) return nb::borrow(base);
    object start = base.attr("rfind")(os().attr("sep")) + nb::int_(1);
    long long open = py::as_index(base.attr("rfind")("(", start));
    if (open < 0) return nb::borrow(base);
    return py::steal(PySequence_GetSlice(base.ptr(), 0, (Py_ssize_t)open));
}

// Copy for a move across file systems.  The target is created exclusively so
// that a file that appeared meanwhile is never overwritten; a partial copy is
// removed again so that the workbook exists only at its temporary path.
void copy_exclusive(handle source, handle target) {
    with_open_file(source, "rb", [&](handle src) {
        bool created = false;
        try {
            with_open_file(target, "xb", [&](handle dst) {
                created = true;
                nb::module_::import_("shutil").attr("copyfileobj")(src, dst);
            });
            os().attr("chmod")(target, 0666);
        } catch (nb::python_error &) {
            if (created) {
                try {
                    os().attr("unlink")(target);
                } catch (nb::python_error &) {
                }
            }
            throw;
        }
    });
}

// Moves the finished workbook to its final name without ever replacing an
// existing file: a hard link fails on an existing target, where a rename
// would silently replace it.  Where links cannot be made (another file
// system, or one without links) the file is copied instead.
void move_without_overwrite(handle source, handle target) {
    try {
        os().attr("link")(source, target);
    } catch (nb::python_error &e) {
        if (e.matches(PyExc_FileExistsError) || !e.matches(PyExc_OSError)) throw;
        copy_exclusive(source, target);
    }
    os().attr("unlink")(source);
}

// The entries that describe the model: one architecture, or the lists of a
// recap workbook, whose single-model entries are dropped.
void add_model_entries(handle d, handle modeldic, bool recap) {
    if (!recap) {
        store(d, "Hidden neurons", modeldic["hidden"], "number");
        store(d, "Parameter count", modeldic["paramCount"], "number");
        if (py::contains(modeldic, nb::str("config")))
            store(d, "Configuration string", modeldic["config"], "text");
    } else {
        store(d, "Hidden neuron list", modeldic["hiddenlist"], "text");
        store(d, "Parameter count list", modeldic["paramCount"], "text");
        for (const char *name : {"Hidden neurons", "Parameter count", "Best trainings",
                                 "Test selection threshold"})
            remove_if_present(d, name);
        if (py::contains(modeldic, nb::str("configmem")))
            store(d, "Configuration string", modeldic["configmem"], "text");
    }
    store(d, "Mark", modeldic["mark"], "text");
    if (py::contains(modeldic, nb::str("modelCount")) &&
        (modeldic["modelCount"] > nb::int_(0)))
        store(d, "Model count", modeldic["modelCount"], "number");
    else
        remove_if_present(d, "Model count");
}

}  // namespace

object outputmarker(handle filename, handle indirect) {
    if (py::truthy(indirect)) return nb::borrow(filename);
    return nb::str("<container>%s") % filename;
}

object initiateExcelWriter(handle excelwriter, handle modeldic, handle gmCustomProperties,
                           handle origin, handle recap) {
    handle d = gmCustomProperties;
    object book = nb::getattr(excelwriter, "book");
    book.attr("set_properties")(gmProperties());
    set_custom_property(book, nb::str("IsZezidovoraroResult"), nb::bool_(true), nb::str("bool"));

    if (!modeldic.is_none()) add_model_entries(d, modeldic, py::truthy(recap));

    bool with_sheet = py::truthy(origin);
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
        std::vector<object> kv = py::unpack(entry, 2);
        std::vector<object> pair = py::unpack(kv[1], 2);
        handle key = kv[0], value = pair[0], vtype = pair[1];
        if (value.is_none()) continue;
        set_custom_property(book, key, property_value(value, vtype), vtype);
        if (with_sheet) {
            sheet.attr("write_string")(2 + i, 1, nb::str(key));
            write_value_cell(sheet, 2 + i, value, vtype);
        }
    }
    if (with_sheet) sheet.attr("hide")();
    return nb::make_tuple(nb::borrow(excelwriter), i + 3);
}

object finishExcel(handle excelwriter_in, handle options, handle gmCustomProperties,
                   handle sheetList, handle frameList, handle modeldic, handle libfilename,
                   handle IDlist, handle trainresultColumn, handle testresultColumn,
                   handle LOOResultTrainColumn, handle loowidth, handle traintype,
                   handle tempres) {
    (void)libfilename;  // kept for the toolkit's call; the VBA project is looked up by name
    handle d = gmCustomProperties;
    object pptyname = nb::getattr(options, "propertyName");
    object sourceroot = nb::getattr(options, "root");
    object paramcount = py::has_attr(options, "paramCount") ? nb::getattr(options, "paramCount")
                                                            : modeldic["paramCount"];
    if (py::has_attr(options, "datacount"))
        store(d, "Data count", nb::getattr(options, "datacount"), "number");
    if (py::has_attr(options, "testcount"))
        store(d, "Test count", nb::getattr(options, "testcount"), "number");
    if (py::has_attr(options, "modelCount")) {
        object count = nb::getattr(options, "modelCount");
        if (count > nb::int_(1)) store(d, "Model count", count, "number");
    }
    store(d, "Target folder", toolkit::make_extern(nb::getattr(options, "savedir"), options),
          "text");
    modeldic["hidden"];
    if (py::has_attr(options, "configstrMem"))
        modeldic["configmem"] = nb::getattr(options, "configstrMem");

    object path = os().attr("path");
    if (py::truthy(nb::getattr(options, "copytxtcsv"))) {
        object fname = path.attr("join")(nb::getattr(options, "targetfolder"), "traininfo");
        object infofilename = toolkit::decorfile(fname, options, nb::str(".txt"), nb::str("(%d)"));
        // The workbook's model entries, entered now so that the file states
        // the values the workbook will hold rather than the placeholders.
        add_model_entries(d, modeldic, false);
        createFileInfo(infofilename, gmProperties(), d);
        object write = nb::getattr(options, "outfile").attr("write");
        object folder = outputmarker(nb::getattr(options, "targetfolder"),
                                     nb::getattr(options, "indirectoutput"));
        write(nb::str("results in folder: %s\n") % folder);
    }

    if (!py::truthy(nb::getattr(options, "copyexcel"))) return nb::str("");

    object fname = path.attr("join")(nb::getattr(options, "targetfolder"), sourceroot);
    object excelresult = toolkit::decorfile(fname, options, nb::str(".xlsm"), nb::str("(%s)"));
    std::vector<object> opened = py::unpack(
        initiateExcelWriter(excelwriter_in, modeldic, d, nb::getattr(options, "savedir"),
                            nb::bool_(false)),
        2);
    object excelwriter = opened[0], infolen = opened[1];

    std::vector<object> sheets = py::unpack(sheetList, 7);
    std::vector<object> frames = py::unpack(frameList, 7);
    handle resultFrame = frames[0], trainFrame = frames[1];

    // The training sheet holds one group of four columns per training after
    // the measured column; the count of trainings is a whole number.
    object resultcount = nb::int_(0);
    if (!resultFrame.is_none())
        resultcount = nb::getattr(resultFrame, "shape")[nb::int_(0)];
    else if (!trainFrame.is_none())
        resultcount = py::steal(PyNumber_FloorDivide(
            (nb::getattr(trainFrame, "shape")[nb::int_(1)] - nb::int_(1)).ptr(),
            nb::int_(4).ptr()));
    object LOOlen = nb::getattr(options, "loomaxrec");

    object besttrainindex = IDlist[nb::int_(0)];
    object leveragethreshold = nb::getattr(options, "leveragethreshold");
    object maxreclist = nb::getattr(options, "multimaxrec");
    object LOOmaxrec = nb::getattr(options, "loomaxrec");
    object pptyunit = nb::getattr(options, "propertyunit");
    object decorindex = nb::getattr(options, "maxrec");
    object decorindexLOO = nb::getattr(options, "loomaxrec");
    object verbosexls = nb::getattr(options, "verbosexls");
    enrichExcelFile(excelwriter, pptyname, besttrainindex, sheetList, frameList, paramcount,
                    resultcount, leveragethreshold, maxreclist, infolen, trainresultColumn,
                    testresultColumn, LOOResultTrainColumn, loowidth, LOOlen, LOOmaxrec, pptyunit,
                    decorindex, decorindexLOO, traintype, verbosexls);

    object workbook = nb::getattr(excelwriter, "book");
    workbook.attr("set_size")(1490, 1300);
    const bool with_vba = attach_vba_project(workbook);

    std::vector<object> split = py::unpack(path.attr("splitext")(excelresult), 2);
    object base = strip_index_group(split[0]);
    excelresult = nb::str(with_vba ? "{0}.xlsm" : "{0}.xlsx").format(base);
    excelresult = toolkit::IndexFilename(excelresult);

    close_workbook(workbook, excelwriter);
    os().attr("chmod")(tempres, 438);
    move_without_overwrite(tempres, excelresult);

    object filename = toolkit::make_extern(excelresult, options);
    nb::getattr(options, "outfile")
        .attr("write")(nb::str("Writing results in file: {}\n").format(filename));
    return excelresult;
}

void bind_workbook_open(nb::module_ &m) {
    m.def("outputmarker", &outputmarker, py::arg("filename"), py::arg("indirect") = false,
          nb::sig("def outputmarker(filename: str, indirect: bool = False) -> str"));
    m.def("initiateExcelWriter", &initiateExcelWriter, py::arg("excelwriter"),
          py::arg("modeldic"), py::arg("gmCustomProperties"), py::arg("origin") = "",
          py::arg("recap") = false,
          nb::sig("def initiateExcelWriter(excelwriter: pandas.ExcelWriter, "
                  "modeldic: collections.abc.Mapping[str, typing.Any] | None, "
                  "gmCustomProperties: "
                  "collections.abc.MutableMapping[str, tuple[typing.Any, str]], "
                  "origin: str = '', recap: bool = False) -> tuple[pandas.ExcelWriter, int]"));
    m.def("finishExcel", &finishExcel, py::arg("excelwriter"), py::arg("options"),
          py::arg("gmCustomProperties"), py::arg("sheetList"), py::arg("frameList"),
          py::arg("modeldic"), py::arg("libfilename"), py::arg("IDlist"),
          py::arg("trainresultColumn"), py::arg("testresultColumn"),
          py::arg("LOOResultTrainColumn"), py::arg("loowidth"), py::arg("traintype"),
          py::arg("tempres"),
          nb::sig("def finishExcel(excelwriter: pandas.ExcelWriter, options: typing.Any, "
                  "gmCustomProperties: "
                  "collections.abc.MutableMapping[str, tuple[typing.Any, str]], "
                  "sheetList: collections.abc.Sequence[str], "
                  "frameList: collections.abc.Sequence[pandas.DataFrame | None], "
                  "modeldic: collections.abc.MutableMapping[str, typing.Any], "
                  "libfilename: object, IDlist: collections.abc.Sequence[int], "
                  "trainresultColumn: int, testresultColumn: int, LOOResultTrainColumn: int, "
                  "loowidth: object, traintype: object, tempres: str) -> str"));
}

}  // namespace rb
