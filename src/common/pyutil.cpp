#include "common/pyutil.hpp"

#include <cstdarg>

namespace pyutil {

void raise_pending() {
    if (!PyErr_Occurred()) PyErr_SetString(PyExc_SystemError, "error return without exception set");
    throw nb::python_error();
}

void raise(PyObject *type, const char *format, ...) {
    va_list args;
    va_start(args, format);
    PyErr_FormatV(type, format, args);
    va_end(args);
    raise_pending();
}

void raise(handle exception) {
    PyErr_SetObject(reinterpret_cast<PyObject *>(Py_TYPE(exception.ptr())), exception.ptr());
    raise_pending();
}

void add_note(nb::python_error &error, const std::string &note) {
    handle value = error.value();
    object text = pyutil::text(note);
    if (has_attr(value, "add_note")) {
        value.attr("add_note")(text);
        return;
    }
    object notes = nb::getattr(value, "__notes__", nb::none());
    if (notes.is_none()) {
        notes = nb::list();
        nb::setattr(value, "__notes__", notes);
    }
    notes.attr("append")(text);
    // The cause takes the note's place in the chain; the note keeps what
    // was shown above the error before.
    object cause = steal(PyObject_CallOneArg(PyExc_RuntimeError, text.ptr()));
    nb::setattr(cause, "__cause__", nb::getattr(value, "__cause__"));
    nb::setattr(cause, "__context__", nb::getattr(value, "__context__"));
    nb::setattr(cause, "__suppress_context__", nb::getattr(value, "__suppress_context__"));
    nb::setattr(value, "__cause__", cause);
}

// threading.main_thread() is this thread; true when that cannot be told
// (the poll then runs, as it always may).
bool GilReleased::on_main_thread() {
    PyObject *threading = PyImport_GetModule(nb::str("threading").ptr());
    if (!threading) {
        PyErr_Clear();
        return true;
    }
    PyObject *main = PyObject_CallMethod(threading, "main_thread", nullptr);
    Py_DECREF(threading);
    PyObject *ident = main ? PyObject_GetAttrString(main, "ident") : nullptr;
    Py_XDECREF(main);
    unsigned long id = ident ? PyLong_AsUnsignedLong(ident) : 0;
    Py_XDECREF(ident);
    if (PyErr_Occurred()) {
        PyErr_Clear();
        return true;
    }
    return id == PyThread_get_thread_ident();
}

// Taking the GIL back costs a microsecond when no other thread runs Python,
// and up to the interpreter's switch interval (5 ms) when one does: asked
// every 4 ms, a read beside a busy Python thread would wait half its time.
// So after a long wait the next ask comes later: Ctrl-C still ends the
// phase within about 60 ms, for a tenth of its time at most.  The bench row
// "a read on the main thread beside a Python thread" shows it.
bool GilReleased::stop() {
    if (!m_hears_signals) return false;
    auto asked = std::chrono::steady_clock::now();
    PyEval_RestoreThread(m_state);
    bool contended = std::chrono::steady_clock::now() - asked > std::chrono::milliseconds(1);
    ask_every(contended ? kContendedInterval : pace::kInterval);
    bool raised = PyErr_CheckSignals() < 0;
    m_state = PyEval_SaveThread();
    return raised;
}

object steal(PyObject *o) {
    if (!o) raise_pending();
    return nb::steal(o);
}

namespace {
// Borrowed for the life of the process: the module stays in sys.modules and
// must not be released during interpreter shutdown.
PyObject *g_home = nullptr;

bool check(int r) {
    if (r < 0) raise_pending();
    return r != 0;
}
}  // namespace

void set_home_module(handle m) {
    Py_XINCREF(m.ptr());
    g_home = m.ptr();
}

object module_attr(const char *name) { return nb::getattr(handle(g_home), name); }

object builtin(const char *name) { return nb::module_::import_("builtins").attr(name); }

bool truthy(handle o) { return check(PyObject_IsTrue(o.ptr())); }

// Python's hasattr() swallows AttributeError only.
bool has_attr(handle o, const char *name) { return attr_or_none(o, name).is_valid(); }

object attr_or_none(handle o, const char *name) {
    PyObject *r = PyObject_GetAttrString(o.ptr(), name);
    if (r) return nb::steal(r);
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) raise_pending();
    PyErr_Clear();
    return object();
}

bool is_instance(handle o, const char *module, const char *cls) {
    return nb::isinstance(o, nb::module_::import_(module).attr(cls));
}

double as_double(handle o) {
    const double d = PyFloat_AsDouble(o.ptr());
    if (d == -1.0 && PyErr_Occurred()) raise_pending();
    return d;
}

double as_double(handle o, double otherwise) {
    return unless_exception([&] { return as_double(o); },
                            [&](nb::python_error &) { return otherwise; });
}

bool contains(handle container, handle item) {
    return check(PySequence_Contains(container.ptr(), item.ptr()));
}

std::vector<object> unpack(handle o, size_t n) {
    PyObject *it = PyObject_GetIter(o.ptr());
    if (!it) {
        if (PyErr_ExceptionMatches(PyExc_TypeError)) {
            PyErr_Clear();
            raise(PyExc_TypeError, "cannot unpack non-iterable %.200s object",
                  Py_TYPE(o.ptr())->tp_name);
        }
        raise_pending();
    }
    object iter = nb::steal(it);
    std::vector<object> out;
    out.reserve(n);
    while (out.size() < n) {
        PyObject *v = PyIter_Next(iter.ptr());
        if (!v) {
            if (PyErr_Occurred()) raise_pending();
            raise(PyExc_ValueError, "not enough values to unpack (expected %zu, got %zu)", n,
                  out.size());
        }
        out.push_back(nb::steal(v));
    }
    PyObject *extra = PyIter_Next(iter.ptr());
    if (extra) {
        Py_DECREF(extra);
        raise(PyExc_ValueError, "too many values to unpack (expected %zu)", n);
    }
    if (PyErr_Occurred()) raise_pending();
    return out;
}

long long as_index(handle o) {
    object i = steal(PyNumber_Index(o.ptr()));
    long long v = PyLong_AsLongLong(i.ptr());
    if (v == -1 && PyErr_Occurred()) raise_pending();
    return v;
}

std::string utf8(handle o) {
    object s = steal(PyObject_Str(o.ptr()));
    Py_ssize_t size = 0;
    const char *c = PyUnicode_AsUTF8AndSize(s.ptr(), &size);
    if (!c) raise_pending();
    return std::string(c, static_cast<size_t>(size));
}

object text(const std::string &s) { return nb::str(s.data(), s.size()); }

void refuse_descriptor(handle filename) {
    if (!PyLong_Check(filename.ptr())) return;
    raise(PyExc_TypeError, "expected str, bytes or os.PathLike object, not %.200s",
          Py_TYPE(filename.ptr())->tp_name);
}

}  // namespace pyutil
