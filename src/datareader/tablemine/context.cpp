// Helpers shared by the reader's units: file types, the pandas binding and
// the two halves of a with statement.
#include "datareader/tablemine/tablemine.hpp"

namespace mine {
namespace {

// The namespace of a class, its __dict__ without the mapping proxy.
object class_namespace(handle type) {
    PyTypeObject *tp = reinterpret_cast<PyTypeObject *>(type.ptr());
#if PY_VERSION_HEX >= 0x030C0000
    return pyutil::steal(PyType_GetDict(tp));  // builtin types keep theirs elsewhere
#else
    return nb::borrow(tp->tp_dict);
#endif
}

// The attribute as the with statement finds it: on the type, along its
// method resolution order, bound to the object through the descriptor
// protocol.  Invalid when the type has none.
object lookup_special(handle obj, const char *name) {
    object key = pyutil::text(name);
    PyTypeObject *tp = Py_TYPE(obj.ptr());
    object mro = nb::borrow(tp->tp_mro);
    for (handle base : mro) {
        object names = class_namespace(base);
        PyObject *found = PyDict_GetItemWithError(names.ptr(), key.ptr());
        if (!found) {
            if (PyErr_Occurred()) pyutil::raise_pending();
            continue;
        }
        object descr = nb::borrow(found);
        descrgetfunc get = Py_TYPE(descr.ptr())->tp_descr_get;
        if (!get) return descr;
        return pyutil::steal(get(descr.ptr(), obj.ptr(), reinterpret_cast<PyObject *>(tp)));
    }
    return object();
}

// While __exit__ runs, the block's error is the one being handled, as in
// Python: sys.exc_info() sees it and an error raised there is chained to it.
class Handling {
public:
    explicit Handling(const nb::python_error &error) {
        PyErr_GetExcInfo(&m_type, &m_value, &m_tb);
        PyObject *value = error.value().ptr();
        PyObject *tb = PyException_GetTraceback(value);  // new reference or null
        Py_INCREF(Py_TYPE(value));
        Py_INCREF(value);
        PyErr_SetExcInfo((PyObject *)Py_TYPE(value), value, tb);
    }
    ~Handling() { PyErr_SetExcInfo(m_type, m_value, m_tb); }
    Handling(const Handling &) = delete;
    Handling &operator=(const Handling &) = delete;

private:
    PyObject *m_type = nullptr, *m_value = nullptr, *m_tb = nullptr;
};

object or_none(object o) { return o.is_valid() ? o : object(nb::none()); }

}  // namespace

object extension_of(handle filename) {
    object ext = pyutil::module_attr("os").attr("path").attr("splitext")(filename)[nb::int_(1)];
    return pyutil::steal(PySequence_GetSlice(ext.ptr(), 1, PY_SSIZE_T_MAX));
}

void refuse_special_file(handle filename) {
    pyutil::refuse_descriptor(filename);
    object st;
    try {
        st = pyutil::module_attr("os").attr("stat")(filename);
    } catch (nb::python_error &e) {
        if (!e.matches(PyExc_Exception)) throw;
        return;
    }
    object stat = nb::module_::import_("stat");
    object mode = nb::getattr(st, "st_mode");
    if (pyutil::truthy(stat.attr("S_ISREG")(mode)) || pyutil::truthy(stat.attr("S_ISDIR")(mode))) return;
    object einval = nb::module_::import_("errno").attr("EINVAL");
    pyutil::raise(handle(PyExc_OSError)(einval, "Not a regular file", filename));
}

bool same_text(handle ft, const char *text) {
    object t = pyutil::text(text);
    return ft.equal(t);
}

bool is_workbook_type(handle filetype) {
    return same_text(filetype, "xls") || same_text(filetype, "xlsx") ||
           same_text(filetype, "xlsm");
}

object pandas_attr(const char *name) { return nb::getattr(pyutil::module_attr("pandas"), name); }

namespace {

[[noreturn]] void wrong_kind(const char *func, const char *name, const char *expected, handle got) {
    pyutil::raise(PyExc_TypeError, "%s() argument '%s' must be %s, not %.200s", func, name, expected,
              Py_TYPE(got.ptr())->tp_name);
}

bool type_has(handle value, const char *method) {
    return PyObject_HasAttrString(reinterpret_cast<PyObject *>(Py_TYPE(value.ptr())), method) == 1;
}

bool iterable(handle value) {
    return Py_TYPE(value.ptr())->tp_iter != nullptr || PySequence_Check(value.ptr());
}

bool text_or_false(handle value) { return PyUnicode_Check(value.ptr()) || !pyutil::truthy(value); }

}  // namespace

void check_file_argument(const char *func, const char *name, handle value, bool file_object) {
    if (PyUnicode_Check(value.ptr()) || PyBytes_Check(value.ptr()) || type_has(value, "__fspath__")) return;
    if (file_object && pyutil::has_attr(value, "read")) return;
    wrong_kind(func, name,
               file_object ? "a path (str, bytes or os.PathLike) or a binary file object"
                           : "a path (str, bytes or os.PathLike)",
               value);
}

void check_sheet_argument(const char *func, handle sheet) {
    if (sheet.is_none() || PyUnicode_Check(sheet.ptr()) || PyList_Check(sheet.ptr()) || PyIndex_Check(sheet.ptr()))
        return;
    wrong_kind(func, "sheetname", "a sheet name (str), a sheet position (int), a list of them or None", sheet);
}

void check_range_arguments(const char *func, handle filename, handle datarange, handle datafmt,
                           handle skipline) {
    check_file_argument(func, "filename", filename);
    if (!text_or_false(datarange))
        wrong_kind(func, "datarange", "a range name or address (str), or empty for the default range", datarange);
    if (!datafmt.is_none() && !iterable(datafmt))
        wrong_kind(func, "datafmt", "None or a sequence of column positions or titles", datafmt);
    if (skipline.is_valid() && pyutil::truthy(skipline) && !PyIndex_Check(skipline.ptr()))
        wrong_kind(func, "skipline", "a count of rows (int)", skipline);
}

void check_frame_arguments(const char *func, handle filename, handle datarange, handle datafields,
                           handle sheetname, handle filetype, handle indexfield) {
    if (!datafields.is_none() && !type_has(datafields, "__getitem__"))
        wrong_kind(func, "datafields", "None, a list of column positions or titles, or a list of such lists",
                   datafields);
    try {
        object zero = nb::int_(0);
        (void)(zero > indexfield);
        (void)(indexfield >= zero);
    } catch (nb::python_error &e) {
        if (!e.matches(PyExc_TypeError)) throw;
        wrong_kind(func, "indexfield", "a column position (int)", indexfield);
    }
    if (same_text(filetype, "csv") || same_text(filetype, "txt")) {
        check_file_argument(func, "filename", filename);
    } else if (pyutil::truthy(datarange)) {
        // a file type without a reader reads nothing
        if (is_workbook_type(filetype)) check_range_arguments(func, filename, datarange, nb::none());
    } else {
        check_file_argument(func, "filename", filename);
        check_sheet_argument(func, sheetname);
    }
}

object Context::enter(handle mgr) {
    object enter = lookup_special(mgr, "__enter__");
    if (!enter.is_valid()) {
        pyutil::raise(PyExc_TypeError, "'%.200s' object does not support the context manager protocol",
                  Py_TYPE(mgr.ptr())->tp_name);
    }
    object exit = lookup_special(mgr, "__exit__");
    if (!exit.is_valid()) {
        pyutil::raise(PyExc_TypeError,
                  "'%.200s' object does not support the context manager protocol "
                  "(missed __exit__ method)",
                  Py_TYPE(mgr.ptr())->tp_name);
    }
    object value = enter();
    m_exit = std::move(exit);
    return value;
}

void Context::leave() {
    object exit = std::move(m_exit);
    m_exit = object();
    exit(nb::none(), nb::none(), nb::none());
}

bool Context::leave(nb::python_error &error) {
    object exit = std::move(m_exit);
    m_exit = object();
    Handling handling(error);
    object tb = or_none(error.traceback());
    object handled = exit(error.type(), error.value(), tb);
    return pyutil::truthy(handled);
}

}  // namespace mine
