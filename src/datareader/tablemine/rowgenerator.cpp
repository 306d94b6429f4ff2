// The row generator: the rows of a range streamed through a reader of the
// toolkit, as Python's generator protocol gives them.
//
// dataiterator(...) returns a generator: nothing is read before the first
// row is asked for, the reader's context is held open between rows, and it
// is left when the rows run out, when reading fails, when the consumer
// closes the generator or throws into it, and when the generator is dropped.
// An ordinary error is printed once on standard output before it reaches the
// consumer.
#include "datareader/tablemine/rangebook.hpp"
#include "datareader/tablemine/tablemine.hpp"
#include "toolkit/toolkit.hpp"

#include <atomic>
#include <memory>
#include <vector>

namespace mine {
namespace {

// Python's own rule for generators: a StopIteration escaping the body would
// pass for the end of the rows, so it reaches the consumer as a RuntimeError.
[[noreturn]] void raise_from_generator(const nb::python_error &error) {
    if (!error.matches(PyExc_StopIteration)) throw error;
    PyObject *cause = error.value().ptr();
    object runtime = pyutil::steal(
        PyObject_CallFunction(PyExc_RuntimeError, "s", "generator raised StopIteration"));
    Py_INCREF(cause);
    PyException_SetCause(runtime.ptr(), cause);
    Py_INCREF(cause);
    PyException_SetContext(runtime.ptr(), cause);
    pyutil::raise(runtime);
}

// The error `exc` (a class or an instance, as generator.throw takes it) as a
// raised Python error.
nb::python_error make_error(handle typ, handle val, handle tb) {
    object exc;
    if (PyExceptionClass_Check(typ.ptr())) {
        int is_instance = val.is_none() ? 0 : PyObject_IsInstance(val.ptr(), typ.ptr());
        if (is_instance < 0) pyutil::raise_pending();
        if (is_instance)
            exc = nb::borrow(val);
        else if (val.is_none())
            exc = typ();
        else if (PyTuple_Check(val.ptr()))
            exc = pyutil::steal(PyObject_Call(typ.ptr(), val.ptr(), nullptr));
        else
            exc = typ(val);
        if (!PyExceptionInstance_Check(exc.ptr())) {
            pyutil::raise(PyExc_TypeError,
                          "calling %R should have returned an instance of BaseException, not %s",
                          typ.ptr(), Py_TYPE(exc.ptr())->tp_name);
        }
    } else if (PyExceptionInstance_Check(typ.ptr())) {
        if (!val.is_none()) {
            pyutil::raise(PyExc_TypeError, "instance exception may not have a separate value");
        }
        exc = nb::borrow(typ);
    } else {
        pyutil::raise(PyExc_TypeError,
                      "exceptions must be classes or instances deriving from BaseException, not %s",
                      Py_TYPE(typ.ptr())->tp_name);
    }
    if (!tb.is_none()) {
        if (!PyTraceBack_Check(tb.ptr())) {
            pyutil::raise(PyExc_TypeError, "throw() third argument must be a traceback object");
        }
        if (PyException_SetTraceback(exc.ptr(), tb.ptr()) < 0) pyutil::raise_pending();
    }
    PyErr_SetObject((PyObject *)Py_TYPE(exc.ptr()), exc.ptr());
    return nb::python_error();
}

}  // namespace

class DataIterator {
public:
    DataIterator(handle filename, handle filetype, handle datarange, handle skipline,
                 handle datafmt, handle headerOnly)
        : m_filename(nb::borrow(filename)), m_filetype(nb::borrow(filetype)),
          m_datarange(nb::borrow(datarange)), m_skipline(nb::borrow(skipline)),
          m_datafmt(nb::borrow(datafmt)), m_headerOnly(nb::borrow(headerOnly)) {}
    DataIterator(const DataIterator &) = delete;
    DataIterator &operator=(const DataIterator &) = delete;
    ~DataIterator() { finalize(); }

    object next() {
        Running running(*this);
        return resume(nullptr);
    }

    object send(handle value) {
        Running running(*this);
        if (m_state == State::Fresh && !value.is_none()) {
            pyutil::raise(PyExc_TypeError, "can't send non-None value to a just-started generator");
        }
        return resume(nullptr);
    }

    object throw_(handle typ, handle val, handle tb) {
        nb::python_error error = make_error(typ, val, tb);
        Running running(*this);
        if (m_state == State::Suspended) return resume(&error);
        // Not started: the error is raised before the body runs.  Finished:
        // it is raised as it is.
        bool fresh = m_state == State::Fresh;
        release();
        if (fresh) raise_from_generator(error);
        throw error;
    }

    object close() {
        Running running(*this);
        if (m_state != State::Suspended) {
            release();
            return nb::none();
        }
        PyErr_SetNone(PyExc_GeneratorExit);
        nb::python_error exit_error;
        try {
            resume(&exit_error);
        } catch (nb::python_error &e) {
            if (!e.matches(PyExc_GeneratorExit) && !e.matches(PyExc_StopIteration)) throw;
        } catch (nb::builtin_exception &) {
            // the body ended: the rows are done
        }
        return nb::none();
    }

    // When the generator goes away while holding the context: close it, as
    // Python does, reporting a failure as unraisable.
    void finalize() noexcept {
        if (m_state != State::Suspended || m_running.load() || !Py_IsInitialized()) return;
        PyObject *type, *value, *tb;
        PyErr_Fetch(&type, &value, &tb);
        try {
            close();
        } catch (nb::python_error &e) {
            e.discard_as_unraisable("dataiterator generator");
        } catch (...) {
        }
        PyErr_Restore(type, value, tb);
    }

    int traverse(visitproc visit, void *arg) {
        for (object *o : members()) Py_VISIT(o->ptr());
        return 0;
    }

    void clear() {
        m_state = State::Done;
        for (object *o : members()) *o = object();
    }

private:
    enum class State { Fresh, Suspended, Done };

    // Held while the body runs, taken before any state is looked at: under
    // a free-threaded Python two threads may resume one generator at once,
    // and only one may pass (the other gets Python's ValueError).
    struct Running {
        explicit Running(DataIterator &it) : it(it) {
            if (it.m_running.exchange(true, std::memory_order_acquire)) already_executing();
        }
        ~Running() { it.m_running.store(false, std::memory_order_release); }
        DataIterator &it;
    };

    [[noreturn]] static void already_executing() {
        pyutil::raise(PyExc_ValueError, "generator already executing");
    }

    std::vector<object *> members() {
        return {&m_filename,   &m_filetype,          &m_datarange, &m_skipline, &m_datafmt,
                &m_headerOnly, &m_ctx.exit_method(), &m_rows,      &m_pending};
    }

    void release() {
        m_state = State::Done;
        m_ctx.exit_method() = object();
        m_rows = object();
        m_pending = object();
    }

    // The end of the rows is nanobind's stop_iteration, not a Python error:
    // no handler of the body's errors may take it for one.
    [[noreturn]] void stop() {
        release();
        throw nb::stop_iteration();
    }

    // Runs the body from where it stands to its next row.  `thrown` is the
    // error raised where the body waits for the consumer.
    object resume(nb::python_error *thrown) {
        if (m_state == State::Done) throw nb::stop_iteration();
        if (m_state == State::Fresh) {
            object reader_class;
            try {
                reader_class = toolkit::getExcelType(m_filetype);
                if (!pyutil::truthy(reader_class)) stop();
            } catch (nb::python_error &e) {
                release();
                raise_from_generator(e);
            }
            m_state = State::Suspended;
            try {
                open(reader_class);
            } catch (nb::python_error &e) {
                fail(e);
            }
        }
        try {
            try {
                if (thrown) throw *thrown;
                PyObject *row = PyIter_Next(m_rows.ptr());
                if (row) return nb::steal(row);
                if (PyErr_Occurred()) pyutil::raise_pending();
                if (m_pending.is_valid()) pyutil::raise(object(std::move(m_pending)));
            } catch (nb::python_error &e) {
                if (!m_ctx.active() || !m_ctx.leave(e)) throw;
                stop();
            }
            if (m_ctx.active()) m_ctx.leave();
        } catch (nb::python_error &e) {
            fail(e);
        }
        stop();
    }

    void open(handle reader_class) {
        check_range_arguments("dataiterator", m_filename, m_datarange, m_datafmt, m_skipline);
        // The module's own reader class is read natively: no context then,
        // the rows are read at once.
        File file(m_filename);
        if (ranged::reads(reader_class, file)) {
            if (auto rows = ranged::iter_data(file, m_datarange, m_datafmt, m_headerOnly,
                                              m_datarange, m_datafmt, m_skipline)) {
                m_rows = pyutil::steal(PyObject_GetIter(rows->rows.ptr()));
                m_pending = std::move(rows->error);
                return;
            }
        }
        ranged::before_reader_class(reader_class, file, m_filetype);
        check_before_library(file, m_filetype);
        object mgr = reader_class(m_filename, "arange"_a = m_datarange, "datafmt"_a = m_datafmt,
                                  "load"_a = true, "headerOnly"_a = m_headerOnly);
        object reader = m_ctx.enter(mgr);
        try {
            object rows = reader.attr("iterData")(
                "datarange"_a = m_datarange, "datafmt"_a = m_datafmt, "skipline"_a = m_skipline);
            m_rows = pyutil::steal(PyObject_GetIter(rows.ptr()));
        } catch (nb::python_error &e) {
            if (!m_ctx.leave(e)) throw;
            stop();
        }
    }

    // The body's error handler: print an ordinary error, then pass it on.
    [[noreturn]] void fail(nb::python_error &error) {
        release();
        if (error.matches(PyExc_Exception)) {
            try {
                nb::print(error.value());
            } catch (nb::python_error &e) {
                PyObject *context = PyException_GetContext(e.value().ptr());
                if (!context && e.value().ptr() != error.value().ptr()) {
                    Py_INCREF(error.value().ptr());
                    PyException_SetContext(e.value().ptr(), error.value().ptr());
                }
                Py_XDECREF(context);
                raise_from_generator(e);
            }
        }
        raise_from_generator(error);
    }

    State m_state = State::Fresh;
    std::atomic<bool> m_running{false};
    object m_filename, m_filetype, m_datarange, m_skipline, m_datafmt, m_headerOnly;
    Context m_ctx;
    object m_rows;
    // The error the reader raises after the rows read natively.
    object m_pending;
};

namespace {

int iterator_traverse(PyObject *self, visitproc visit, void *arg) {
    Py_VISIT(Py_TYPE(self));
    if (!nb::inst_ready(self)) return 0;
    return nb::inst_ptr<DataIterator>(self)->traverse(visit, arg);
}

int iterator_clear(PyObject *self) {
    if (nb::inst_ready(self)) nb::inst_ptr<DataIterator>(self)->clear();
    return 0;
}

void iterator_finalize(PyObject *self) {
    if (nb::inst_ready(self)) nb::inst_ptr<DataIterator>(self)->finalize();
}

PyType_Slot iterator_slots[] = {
    {Py_tp_traverse, (void *)iterator_traverse},
    {Py_tp_clear, (void *)iterator_clear},
    {Py_tp_finalize, (void *)iterator_finalize},
    {0, nullptr},
};

}  // namespace

// The delimiter is the toolkit's argument only: the readers split their rows
// themselves.
RowGenerator make_dataiterator(Path filename, Str filetype, Str datarange, Int skipline,
                               handle /* delimiter */, Items datafmt, Bool headerOnly) {
    std::unique_ptr<DataIterator> rows(
        new DataIterator(filename, filetype, datarange, skipline, datafmt, headerOnly));
    object made = nb::cast(rows.get(), nb::rv_policy::take_ownership);
    rows.release();
    return made;
}

void bind_dataiterator(nb::module_ &m, handle default_datafmt, const char *doc) {
    nb::class_<DataIterator> cls(m, "generator", nb::type_slots(iterator_slots));
    cls.def("__iter__", [](nb::handle self) { return nb::borrow(self); })
        .def("__next__", &DataIterator::next)
        .def("send", &DataIterator::send, pyutil::arg("value"))
        .def("throw", &DataIterator::throw_, pyutil::arg("typ"), pyutil::arg("val") = nb::none(),
             pyutil::arg("tb") = nb::none())
        .def("close", &DataIterator::close)
        .def("__repr__", [](nb::handle self) {
            return pyutil::steal(
                PyUnicode_FromFormat("<generator object dataiterator at %p>", self.ptr()));
        });
    // Reached through the generators only, not a name of the module.  The
    // module's attribute was the type's only owner: keep it alive for the
    // life of the process, the generators are made from it.
    cls.inc_ref();
    nb::delattr(m, "generator");

    m.def("dataiterator", &make_dataiterator, pyutil::arg("filename"),
          pyutil::arg("filetype") = "csv", pyutil::arg("datarange") = "",
          pyutil::arg("skipline") = 0, pyutil::arg("delimiter") = ";",
          pyutil::arg("datafmt") = default_datafmt, pyutil::arg("headerOnly") = false, doc);
    m.attr("dataiteratorloc") = m.attr("dataiterator");
}

}  // namespace mine
