// Small helpers that give C++ code the semantics of the Python expressions it
// stands for: truth tests, attribute presence, comparisons, arithmetic on
// caller values, unpacking, `%` and `str.format`.  Every failure raises the
// pending Python exception as nb::python_error, which nanobind hands back to
// the caller unchanged (same type, same object).
#pragma once

#include <nanobind/nanobind.h>

#include <string>
#include <utility>
#include <vector>

namespace nb = nanobind;
using namespace nb::literals;

namespace py {

using nb::handle;
using nb::object;

// A parameter of a bound function: any object, None included, reaches the
// function as the caller gave it (nanobind refuses None by default).
inline auto arg(const char *name) { return nb::arg(name).none(); }

// Throw the pending Python error (there must be one).
[[noreturn]] void raise_pending();
// Take a new reference returned by the C API, raising when it is null.
object steal(PyObject *o);

// --- the module whose namespace holds constants and borrowed names --------
// Set once at module initialisation; looked up on every use so that callers
// (and tests) may rebind module attributes between calls.
void set_home_module(handle m);
handle home_module();
object module_attr(const char *name);

// --- truth, identity, attributes ----------------------------------------
bool truthy(handle o);                          // bool(o)
bool has_attr(handle o, const char *name);      // hasattr(o, name)
object getattr(handle o, const char *name);     // o.name
bool is_text(handle o);                         // isinstance(o, str)
bool is_list_or_tuple(handle o);                // isinstance(o, (list, tuple))
bool is_list(handle o);                         // isinstance(o, list)
bool contains(handle container, handle item);  // item in container

// --- comparisons and arithmetic on caller values --------------------------
bool eq(handle a, handle b);
bool ne(handle a, handle b);
bool lt(handle a, handle b);
bool le(handle a, handle b);
bool gt(handle a, handle b);
bool ge(handle a, handle b);
object add(handle a, handle b);
object sub(handle a, handle b);
object mul(handle a, handle b);
object truediv(handle a, handle b);
object num(long long v);                        // a Python int
object real(double v);                          // a Python float

// --- sequences ------------------------------------------------------------
Py_ssize_t length(handle o);                    // len(o)
object item(handle o, Py_ssize_t i);            // o[i]
object item(handle o, handle key);              // o[key]
object item(handle o, const char *key);         // o["key"]
void set_item(handle o, const char *key, handle value);
// `a, b, ... = o` with exactly n targets: Python's TypeError / ValueError.
std::vector<object> unpack(handle o, size_t n);
// list(o)
object to_list(handle o);

// --- integers used as rows and columns ------------------------------------
// operator.index(o): TypeError for floats and other non-integers.
long long as_index(handle o);

// --- text -----------------------------------------------------------------
object str(handle o);                           // str(o)
std::string utf8(handle o);                     // str(o) as UTF-8
object text(const std::string &s);              // a Python str
object percent(const char *fmt, handle value);  // fmt % value

template <typename... Args>
object format(const char *fmt, Args &&...args) {  // fmt.format(*args)
    return nb::str(fmt).attr("format")(std::forward<Args>(args)...);
}

// --- files ------------------------------------------------------------------
// Raises TypeError, as os.fspath does, for an integer given as a file name:
// open() and os.stat would take it for an open descriptor, and closing the
// file would close the caller's stream (standard output, a log) under it.
void refuse_descriptor(handle filename);

// --- printing ---------------------------------------------------------------
// print(o) on the current sys.stdout.
void print(handle o);

}  // namespace py
