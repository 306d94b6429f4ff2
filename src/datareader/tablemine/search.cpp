// The search of the result workbook written for a model file.
#include "datareader/tablemine/tablemine.hpp"

namespace mine {
namespace {

// The "Model file" value of a candidate's property sheet, or an invalid
// object when the candidate is no readable result workbook.
object model_file_of(handle path) {
    object filetype = extension_of(path);
    if (!is_workbook_type(filetype)) return object();
    // Outside the guard: a missing pandas is the caller's problem, not the
    // candidate's.
    pandas_attr("read_excel");
    // A data workbook named like the model, a damaged file, a sheet without
    // the property table: not the workbook looked for.
    return pyutil::unless_exception(
        [&] {
            object frame = read_sheet(path, pyutil::text("Utilities"), SheetLayout::PropertyTable);
            return property_value(frame, nb::str("Model file"));
        },
        [](nb::python_error &) { return object(); });
}

}  // namespace

Str searchExcelFile(AnyPath nnxfile) {
    check_file_argument("searchExcelFile", "nnxfile", nnxfile, false);
    object os = pyutil::module_attr("os");
    object path = os.attr("path");
    // As text: the workbook records the model file as text, and the names the
    // folder walk gives are compared with text (a pathlib.Path equals no
    // text, and bytes would fail at the first comparison).
    object model_file = os.attr("fsdecode")(nnxfile);
    std::vector<object> parts = pyutil::unpack(path.attr("split")(model_file), 2);
    object folder = parts[0];
    object base = path.attr("splitext")(parts[1])[nb::int_(0)];

    // An index group "(n)" closes the base name of a numbered model file;
    // the workbook is named after what comes before it.
    object stem = base;
    if (pyutil::truthy(base.attr("endswith")(")"))) {
        object open = pyutil::text("(");
        if (pyutil::contains(base, open)) {
            object cut = base.attr("index")(open);
            object head = pyutil::steal(PySlice_New(nullptr, cut.ptr(), nullptr));
            stem = base[head];
        }
    }

    // A bare file name lives in the current folder.  A folder that cannot
    // be listed holds no workbook.
    object top = pyutil::truthy(folder) ? folder : os.attr("curdir");
    object walk = os.attr("walk")(top);
    PyObject *first = PyIter_Next(walk.ptr());
    if (!first) {
        if (PyErr_Occurred()) pyutil::raise_pending();
        return pyutil::text("");
    }
    object entry = nb::steal(first);
    object names = entry[nb::int_(2)];

    for (handle name : names) {
        if (!pyutil::truthy(name.attr("endswith")("xlsx")) && !pyutil::truthy(name.attr("endswith")("xlsm")))
            continue;
        if (!pyutil::truthy(name.attr("startswith")(stem))) continue;
        object candidate = path.attr("join")(folder, name);
        object model = model_file_of(candidate);
        if (model.is_valid() && model.equal(model_file)) return candidate;
    }
    return pyutil::text("");
}

}  // namespace mine
