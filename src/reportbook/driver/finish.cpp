// Finishing a result workbook: the checks of the whole call, the properties
// and the sheet set, and the closing sequence that saves the workbook, makes
// it readable by all and gives it its final name.
#include "reportbook/checks.hpp"
#include "reportbook/driver/properties.hpp"
#include "reportbook/files.hpp"
#include "reportbook/options.hpp"
#include "reportbook/reportbook.hpp"
#include "toolkit/toolkit.hpp"

namespace rb {
namespace {

object os() { return nb::module_::import_("os"); }

// Runs `body` with the two warnings that the closing sequence provokes by
// design silenced: pandas closes the workbook a second time (XlsxWriter then
// warns), and pandas 1.5 marks its own save() as leaving the public API.
template <typename Body>
void with_closing_warnings_silenced(Body body) {
    object warnings = nb::module_::import_("warnings");
    object guard = warnings.attr("catch_warnings")();
    guard.attr("__enter__")();
    try {
        warnings.attr("filterwarnings")(
            "ignore", "message"_a = "Calling close\\(\\) on already closed file\\.",
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
    telling("finishExcel: the workbook was being saved to " + at +
                " when this happened; that "
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

}  // namespace

Str outputmarker(Str filename, Bool indirect) {
    if (pyutil::truthy(indirect)) return nb::borrow(filename);
    return nb::str("<container>%s") % filename;
}

namespace {

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

// libfilename: kept for the toolkit's call; the VBA project is looked up by
// name.  loowidth and traintype: kept for the toolkit's call too.
Str finishExcel(ExcelWriter excelwriter_in, Any options, CustomProperties gmCustomProperties,
                Strs sheetList, Frames frameList, ModelDict modeldic, handle /* libfilename */,
                Ints IDlist, Int trainresultColumn, Int testresultColumn, Int LOOResultTrainColumn,
                handle /* loowidth */, handle /* traintype */, Str tempres) {
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
            initiateExcelWriter(excelwriter_in, modeldic, d, o.savedir.get(), nb::bool_(false)), 2);
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
