// A worksheet read into a Frame indexed by its first column, with the
// summary rows of result sheets trimmed on request; and the search of the
// result workbook written for a model file.
#include "datareader/tablemine/tablemine.hpp"

#include <algorithm>

namespace mine {
namespace {

// A row label that stands for data: a text that is no summary label, or a
// number (NaN, the label of an empty first cell, is none).  Result sheets
// label their rows with model names or with row numbers, so integers count
// as well as floats; a truth value is no row label.
bool is_data_label(handle label, handle excludedlist) {
    int text = PyObject_IsInstance(label.ptr(), pyutil::module_attr("text_type").ptr());
    if (text < 0) pyutil::raise_pending();
    if (text) {
        object lower = label.attr("lower")();
        return !pyutil::contains(excludedlist, lower);
    }
    if (PyBool_Check(label.ptr())) return false;
    object numbers = pyutil::steal(PyImport_ImportModule("numbers"));
    int real = PyObject_IsInstance(label.ptr(), numbers.attr("Real").ptr());
    if (real < 0) pyutil::raise_pending();
    if (!real) return false;
    // label == label, without the identity shortcut that would let NaN pass
    return pyutil::truthy(pyutil::steal(PyObject_RichCompare(label.ptr(), label.ptr(), Py_EQ)));
}

// Keeps the rows down to the last data row; row 0 always stays.
object trim_summary_rows(handle frame, handle excludedlist) {
    long long n = pyutil::as_index(frame.attr("shape")[nb::int_(0)]);
    if (n < 2) return nb::borrow(frame);
    object index = frame.attr("index");
    long long last = 0;
    for (long long pos = n - 1; pos >= 1; --pos) {
        object label = index[nb::int_(pos)];
        if (is_data_label(label, excludedlist)) {
            last = pos;
            break;
        }
    }
    object stop = nb::int_(last + 1);
    object rows = pyutil::steal(PySlice_New(nullptr, stop.ptr(), nullptr));
    return frame.attr("iloc")[rows];
}

// The "Model file" value of a candidate's property sheet, or an invalid
// object when the candidate is no readable result workbook.
object model_file_of(handle path) {
    object filetype = extension_of(path);
    if (!is_workbook_type(filetype)) return object();
    // Outside the guard: a missing pandas is the caller's problem, not the
    // candidate's.
    pandas_attr("read_excel");
    try {
        object frame = read_sheet(path, pyutil::text("Utilities"), SheetLayout::PropertyTable);
        return property_value(frame, nb::str("Model file"));
    } catch (nb::python_error &e) {
        // A data workbook named like the model, a damaged file, a sheet
        // without the property table: not the workbook looked for.
        if (!e.matches(PyExc_Exception)) throw;
    }
    return object();
}

}  // namespace

Optional<DataFrame> getFrameFromExcel(Str filename, SheetKey sheetname, Str filetype, Bool reduce,
                                      Strs excludedlist) {
    object result = nb::none();
    object ft = nb::borrow(filetype);
    if (!pyutil::truthy(ft)) {
        check_file_argument("getFrameFromExcel", "filename", filename, false);
        ft = extension_of(filename);
    }
    bool trim = pyutil::truthy(reduce);
    if (is_workbook_type(ft)) {
        check_file_argument("getFrameFromExcel", "filename", filename);
        check_sheet_argument("getFrameFromExcel", sheetname);
        // `label in excludedlist`, asked of each summary label
        if (trim && !PySequence_Check(excludedlist.ptr()) && !Py_TYPE(excludedlist.ptr())->tp_iter)
            pyutil::raise(PyExc_TypeError,
                      "getFrameFromExcel() argument 'excludedlist' must be a collection of row labels "
                      "(str), not %.200s",
                      Py_TYPE(excludedlist.ptr())->tp_name);
        try {
            result = read_sheet(filename, sheetname, SheetLayout::Indexed);
        } catch (nb::python_error &e) {
            if (!e.matches(pyutil::module_attr("XLRDError"))) throw;
        }
    }
    if (trim && !result.is_none()) result = trim_summary_rows(result, excludedlist);
    return result;
}

Str searchExcelFile(Str nnxfile) {
    check_file_argument("searchExcelFile", "nnxfile", nnxfile, false);
    object os = pyutil::module_attr("os");
    object path = os.attr("path");
    std::vector<object> parts = pyutil::unpack(path.attr("split")(nnxfile), 2);
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
        if (model.is_valid() && model.equal(nnxfile)) return candidate;
    }
    return pyutil::text("");
}

}  // namespace mine
