#include "common/pyutil.hpp"

namespace py {

void raise_pending() {
    if (!PyErr_Occurred())
        PyErr_SetString(PyExc_SystemError, "error return without exception set");
    throw nb::python_error();
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

bool compare(handle a, handle b, int op) {
    return check(PyObject_RichCompareBool(a.ptr(), b.ptr(), op));
}
}  // namespace

void set_home_module(handle m) {
    Py_XINCREF(m.ptr());
    g_home = m.ptr();
}

handle home_module() { return handle(g_home); }

object module_attr(const char *name) { return getattr(handle(g_home), name); }

bool truthy(handle o) { return check(PyObject_IsTrue(o.ptr())); }

bool has_attr(handle o, const char *name) {
    PyObject *r = PyObject_GetAttrString(o.ptr(), name);
    if (r) {
        Py_DECREF(r);
        return true;
    }
    // Python's hasattr() swallows AttributeError only.
    if (PyErr_ExceptionMatches(PyExc_AttributeError)) {
        PyErr_Clear();
        return false;
    }
    raise_pending();
}

object getattr(handle o, const char *name) {
    return steal(PyObject_GetAttrString(o.ptr(), name));
}

bool is_text(handle o) { return PyUnicode_Check(o.ptr()); }

bool is_list_or_tuple(handle o) { return PyList_Check(o.ptr()) || PyTuple_Check(o.ptr()); }

bool is_list(handle o) { return PyList_Check(o.ptr()); }

bool contains(handle container, handle item) {
    return check(PySequence_Contains(container.ptr(), item.ptr()));
}

bool eq(handle a, handle b) { return compare(a, b, Py_EQ); }
bool ne(handle a, handle b) { return compare(a, b, Py_NE); }
bool lt(handle a, handle b) { return compare(a, b, Py_LT); }
bool le(handle a, handle b) { return compare(a, b, Py_LE); }
bool gt(handle a, handle b) { return compare(a, b, Py_GT); }
bool ge(handle a, handle b) { return compare(a, b, Py_GE); }

object add(handle a, handle b) { return steal(PyNumber_Add(a.ptr(), b.ptr())); }
object sub(handle a, handle b) { return steal(PyNumber_Subtract(a.ptr(), b.ptr())); }
object mul(handle a, handle b) { return steal(PyNumber_Multiply(a.ptr(), b.ptr())); }
object truediv(handle a, handle b) { return steal(PyNumber_TrueDivide(a.ptr(), b.ptr())); }
object num(long long v) { return steal(PyLong_FromLongLong(v)); }
object real(double v) { return steal(PyFloat_FromDouble(v)); }

Py_ssize_t length(handle o) {
    Py_ssize_t n = PyObject_Length(o.ptr());
    if (n < 0) raise_pending();
    return n;
}

object item(handle o, Py_ssize_t i) {
    object key = num(i);
    return steal(PyObject_GetItem(o.ptr(), key.ptr()));
}

object item(handle o, handle key) { return steal(PyObject_GetItem(o.ptr(), key.ptr())); }

object item(handle o, const char *key) {
    object k = text(key);
    return item(o, k);
}

void set_item(handle o, const char *key, handle value) {
    object k = text(key);
    check(PyObject_SetItem(o.ptr(), k.ptr(), value.ptr()));
}

std::vector<object> unpack(handle o, size_t n) {
    PyObject *it = PyObject_GetIter(o.ptr());
    if (!it) {
        if (PyErr_ExceptionMatches(PyExc_TypeError)) {
            PyErr_Clear();
            PyErr_Format(PyExc_TypeError, "cannot unpack non-iterable %.200s object",
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
            PyErr_Format(PyExc_ValueError, "not enough values to unpack (expected %zu, got %zu)",
                         n, out.size());
            raise_pending();
        }
        out.push_back(nb::steal(v));
    }
    PyObject *extra = PyIter_Next(iter.ptr());
    if (extra) {
        Py_DECREF(extra);
        PyErr_Format(PyExc_ValueError, "too many values to unpack (expected %zu)", n);
        raise_pending();
    }
    if (PyErr_Occurred()) raise_pending();
    return out;
}

object to_list(handle o) { return steal(PySequence_List(o.ptr())); }

long long as_index(handle o) {
    object i = steal(PyNumber_Index(o.ptr()));
    long long v = PyLong_AsLongLong(i.ptr());
    if (v == -1 && PyErr_Occurred()) raise_pending();
    return v;
}

object str(handle o) { return steal(PyObject_Str(o.ptr())); }

std::string utf8(handle o) {
    object s = str(o);
    Py_ssize_t size = 0;
    const char *c = PyUnicode_AsUTF8AndSize(s.ptr(), &size);
    if (!c) raise_pending();
    return std::string(c, (size_t)size);
}

object text(const std::string &s) {
    return steal(PyUnicode_FromStringAndSize(s.data(), (Py_ssize_t)s.size()));
}

object percent(const char *fmt, handle value) {
    object f = text(fmt);
    return steal(PyUnicode_Format(f.ptr(), value.ptr()));
}

void refuse_descriptor(handle filename) {
    if (!PyLong_Check(filename.ptr())) return;
    PyErr_Format(PyExc_TypeError, "expected str, bytes or os.PathLike object, not %.200s",
                 Py_TYPE(filename.ptr())->tp_name);
    raise_pending();
}

void print(handle o) {
    object builtins = steal(PyImport_ImportModule("builtins"));
    builtins.attr("print")(o);
}

}  // namespace py
