// What the modules need of Python beyond nanobind's own object API: the few
// semantics nanobind does not give (a truth test, hasattr that swallows
// AttributeError only, `in`, unpacking with Python's messages, index
// conversion), the module namespace that holds the constants and borrowed
// names, and the one way this code raises an error of its own.
//
// Everything else is nanobind's: operators on objects (a + b, a > b,
// a.equal(b)), nb::getattr, nb::len, nb::isinstance, nb::str(...).format(),
// item access o[key].  A failed C API call is turned into an exception with
// pyutil::raise_pending(), which nanobind hands back to the caller
// unchanged (same type, same object).
#pragma once

#include "common/pace.hpp"

#include <nanobind/nanobind.h>

#include <string>
#include <vector>

namespace nb = nanobind;
using namespace nb::literals;

namespace pyutil {

using nb::handle;
using nb::object;

// A parameter of a bound function: any object, None included, reaches the
// function as the caller gave it (nanobind refuses None by default).
inline auto arg(const char *name) { return nb::arg(name).none(); }

// --- raising ----------------------------------------------------------------
// The error a failed C API call left pending (a SystemError should it have
// left none).
[[noreturn]] void raise_pending();
// raise type(message), the message formatted as PyErr_Format does.
[[noreturn]] void raise(PyObject *type, const char *format, ...);
// raise exception (an exception instance, made with arguments of its own).
[[noreturn]] void raise(handle exception);
// A new reference returned by the C API; a null one raises its error.
object steal(PyObject *o);

// --- the module whose namespace holds constants and borrowed names --------
// Set once at module initialisation; looked up on every use so that callers
// (and tests) may rebind module attributes between calls.
void set_home_module(handle m);
object module_attr(const char *name);
// A builtin, as a name the module does not bind resolves: builtins.name.
object builtin(const char *name);

// --- catching ---------------------------------------------------------------
// body(); should it raise an Exception, on_error(error) instead, and what that
// returns.  Only Exception: KeyboardInterrupt, SystemExit and GeneratorExit,
// like C++ errors (a std::bad_alloc), still end the call.
template <typename Body, typename OnError>
auto unless_exception(Body &&body, OnError &&on_error) -> decltype(body()) {
    try {
        return body();
    } catch (nb::python_error &error) {
        if (!error.matches(PyExc_Exception)) throw;
        return on_error(error);
    }
}

// A note on an error on its way to the caller, its type and object kept:
// BaseException.add_note where Python has it (3.11).  Before, the note is
// kept in __notes__ as well and shown as the cause printed above the error,
// so that a traceback tells it too.
void add_note(nb::python_error &error, const std::string &note);

// --- native work without the GIL ----------------------------------------------
// The GIL released for the life of the object, other Python threads running
// meanwhile; as its pace::Watch, it takes the GIL back for a moment every few
// milliseconds to run the signal handlers (Ctrl-C), and stops the phase when
// one raises, its error left pending.  Nothing Python (no object, no handle)
// may be touched while it lives.  Only Python's main thread runs signal
// handlers: on any other the GIL is not taken back, which would make the
// phase wait, every few milliseconds, for whichever thread runs Python.
class GilReleased : public pace::Watch {
public:
    GilReleased() : m_hears_signals(on_main_thread()), m_state(PyEval_SaveThread()) {}
    ~GilReleased() override { PyEval_RestoreThread(m_state); }
    bool stop() override;

private:
    static bool on_main_thread();
    // between two asks once taking the GIL back had to wait
    static constexpr std::chrono::milliseconds kContendedInterval{50};
    bool m_hears_signals;
    PyThreadState *m_state;
};

// body() with the GIL released (see GilReleased): plain C++ state only,
// owned by the call.  A signal whose handler raises ends it with that error;
// any other exception passes unchanged, the GIL held again.
template <typename Body>
auto without_gil(Body &&body) -> decltype(body()) {
    try {
        GilReleased released;
        return body();
    } catch (pace::Stopped &) {
        raise_pending();
    }
}

// --- semantics nanobind does not give ----------------------------------------
bool truthy(handle o);                          // bool(o)
bool has_attr(handle o, const char *name);      // hasattr(o, name)
// o.name, or an unset object (is_valid() false) when o has no such
// attribute: AttributeError only, as hasattr() swallows; any other error of a
// property getter reaches the caller.  (nb::getattr with a default swallows
// every error.)  Unset rather than Python's None, which an attribute may hold.
object attr_or_none(handle o, const char *name);
// isinstance(o, module.cls), the module imported as `import module` would.
bool is_instance(handle o, const char *module, const char *cls);
// float(o) as a C double, by the conversion PyFloat_AsDouble makes
// (__float__, then __index__); its error (TypeError, OverflowError) raised.
double as_double(handle o);
// The same, or `otherwise` when the conversion raises an Exception.
double as_double(handle o, double otherwise);
bool contains(handle container, handle item);  // item in container
// `a, b, ... = o` with exactly n targets: Python's TypeError / ValueError.
std::vector<object> unpack(handle o, size_t n);
// operator.index(o): TypeError for floats and other non-integers.
long long as_index(handle o);

// --- text -----------------------------------------------------------------
std::string utf8(handle o);                     // str(o) as UTF-8
object text(const std::string &s);              // a Python str

// --- files ------------------------------------------------------------------
// Raises TypeError, as os.fspath does, for an integer given as a file name:
// open() and os.stat would take it for an open descriptor, and closing the
// file would close the caller's stream (standard output, a log) under it.
void refuse_descriptor(handle filename);

}  // namespace pyutil
