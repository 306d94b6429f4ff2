// `with mgr as value:` in its two halves (Context), so that a generator can
// stay inside a reader's context between two rows.
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

object Context::enter(handle mgr) {
    object enter = lookup_special(mgr, "__enter__");
    if (!enter.is_valid()) {
        pyutil::raise(PyExc_TypeError,
                      "'%.200s' object does not support the context manager protocol",
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
