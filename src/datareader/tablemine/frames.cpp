// Frames read from a worksheet, a range or a delimited text file: a worksheet
// indexed by its first column with the summary rows of result sheets trimmed
// on request (getFrameFromExcel), and the Frames of get_dataframe and
// getFrame, built from rows streamed through a reader of the toolkit.
#include "datareader/tablemine/tablemine.hpp"
#include "toolkit/toolkit.hpp"

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
    object numbers = nb::module_::import_("numbers");
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

// The first row gives the titles, each later row is stored under labels
// 0, 1, 2, ...  A source without any row gives an empty Frame.
//
// The Frame is built at once from all the rows, each column typed from all
// its values: row by row, each .loc enlargement copies the Frame (quadratic
// time), and a column typed by its first values casts later ones (pandas 3
// stores 1e-10 into a column begun with 0 as 0).  Rows that are no list or
// tuple of one value a column (which .loc would broadcast, align or refuse)
// are stored as before, by .loc, whose results they depend on.
object frame_from_rows(handle rows) {
    object it = pyutil::steal(PyObject_GetIter(rows.ptr()));
    PyObject *first = PyIter_Next(it.ptr());
    if (!first) {
        if (PyErr_Occurred()) pyutil::raise_pending();
        return pandas_attr("DataFrame")();
    }
    object titles = nb::steal(first);
    object frame = pandas_attr("DataFrame")("columns"_a = titles);
    Py_ssize_t width = static_cast<Py_ssize_t>(nb::len(object(frame.attr("columns"))));
    nb::list data;
    bool plain = true;
    while (PyObject *row = PyIter_Next(it.ptr())) {
        object r = nb::steal(row);
        if (plain &&
            !((PyList_CheckExact(row) || PyTuple_CheckExact(row)) && PySequence_Size(row) == width))
            plain = false;
        data.append(r);
    }
    if (PyErr_Occurred()) pyutil::raise_pending();
    Py_ssize_t count = static_cast<Py_ssize_t>(nb::len(data));
    if (count == 0) return frame;
    if (plain) {
        // The labels .loc gives: integers, not a range.
        object index = pandas_attr("Index")(
            nb::module_::import_("numpy").attr("arange")(nb::int_(count), "dtype"_a = "int64"));
        return pandas_attr("DataFrame")(data, "columns"_a = titles, "index"_a = index);
    }
    object loc = frame.attr("loc");
    for (Py_ssize_t label = 0; label < count; ++label) {
        object key = nb::int_(label);
        if (PyObject_SetItem(loc.ptr(), key.ptr(), PyList_GET_ITEM(data.ptr(), label)) < 0)
            pyutil::raise_pending();
    }
    return frame;
}

// A list of lists of fields reads as one list of fields.
object flatten_fields(handle datafields) {
    if (datafields.is_none() || !pyutil::truthy(datafields)) return nb::borrow(datafields);
    if (!nb::isinstance<nb::list>(datafields[nb::int_(0)])) return nb::borrow(datafields);
    object fields = nb::list();
    for (handle part : datafields) fields = fields + part;
    return fields;
}

}  // namespace

Optional<DataFrame> getFrameFromExcel(Path filename, SheetKey sheetname, Str filetype, Bool reduce,
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
            pyutil::raise(
                PyExc_TypeError,
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

DataFrame get_dataframe(Path filename, Str datarange, Items datafields, SheetKey sheetname,
                        Str filetype, Int indexfield, Bool drop) {
    check_frame_arguments("get_dataframe", filename, datarange, datafields, sheetname, filetype,
                          indexfield);
    object fields = flatten_fields(datafields);
    object frame;
    if (same_text(filetype, "csv") || same_text(filetype, "txt")) {
        check_before_library(filename);
        object mgr = toolkit::ExcelCsv()(filename, "load"_a = true);
        with_context(mgr, [&](handle reader) {
            frame = frame_from_rows(
                reader.attr("iterData")("titlesfirst"_a = true, "datafmt"_a = fields));
        });
        if (!frame.is_valid()) frame = pandas_attr("DataFrame")();
    } else if (pyutil::truthy(datarange)) {
        object rows = make_dataiterator(filename, filetype, datarange, nb::int_(0),
                                        pyutil::text(";"), fields, nb::bool_(false));
        frame = frame_from_rows(rows);
    } else {
        // Without a sheet the library would read every sheet into a mapping;
        // the caller asked for one Frame: the first sheet's.
        object sheet = sheetname.is_none() ? nb::int_(0) : nb::borrow(sheetname);
        frame = read_sheet(filename, sheet, SheetLayout::Plain);
    }

    // indexfield is a column position: bounded by the columns there are.
    object columns = frame.attr("columns");
    object width = nb::int_(nb::len(columns));
    object zero = nb::int_(0);
    if (width > indexfield && indexfield >= zero) {
        object title = columns[indexfield];
        // The Frame is ours alone: a new indexed one serves as well as
        // re-indexing in place, which pandas is retiring.
        frame = frame.attr("set_index")(title, "drop"_a = drop);
    }
    return frame;
}

Optional<DataFrame> getFrame(Path filename, Str filetype, Str datarange, Items datafields,
                             IndexField indexfield, handle /* skipline */, handle /* delimiter */) {
    object ft = nb::borrow(filetype);
    if (!pyutil::truthy(ft)) {
        check_file_argument("getFrame", "filename", filename, false);
        ft = extension_of(filename).attr("lower")();
    }
    bool known = false;
    for (const char *t : {"xlsx", "xls", "xlsm", "csv", "txt"}) known = known || same_text(ft, t);
    if (!known) return nb::none();
    check_frame_arguments("getFrame", filename, datarange, datafields, nb::none(), ft,
                          nb::int_(-1));

    object frame = get_dataframe(filename, datarange, datafields, nb::none(), ft, nb::int_(-1),
                                 nb::bool_(true));
    object titles = frame.attr("columns");
    object field;
    if (nb::isinstance<nb::str>(indexfield) && pyutil::truthy(indexfield)) {
        field = nb::none();
        for (handle title : titles)
            if (title.equal(indexfield)) {
                field = nb::borrow(title);
                break;
            }
    } else if (nb::isinstance<nb::list>(indexfield) || nb::isinstance<nb::tuple>(indexfield)) {
        nb::list wanted;
        for (handle name : indexfield) wanted.append(name.attr("lower")());
        field = nb::none();
        // Titles that are no text (a column titled 2016) match no name.
        for (handle title : titles)
            if (nb::isinstance<nb::str>(title) && pyutil::contains(wanted, title.attr("lower")())) {
                field = nb::borrow(title);
                break;
            }
    } else {
        field = nb::borrow(indexfield);
    }
    if (pyutil::truthy(field)) frame = frame.attr("set_index")(field);
    return frame;
}

}  // namespace mine
