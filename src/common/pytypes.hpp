// The Python types the bound functions take and give, named for help() and
// the stubs, which nanobind writes from these names: nothing restates them.
//
// A name is all a wrapper adds.  Its check accepts any object, so a call
// reaches the function with whatever the caller passed, and the function's
// own checks raise its own errors, as they did when every parameter was a
// handle.  nanobind refuses None before any check, so every parameter is
// bound with pyutil::arg (nb::arg(...).none()), and nanobind then writes
// "T | None" for each in help().  The stubs are for type checkers, which
// should flag a None where it means nothing: cmake/make_stubs.py drops that
// " | None" again, and None stays in a stub only where the type names it
// (Optional<T>, a parameter that may be None) or the default is None.
//
// A wrapper converts from any handle or object, so that a typed function
// still returns the object its body built, and its callers within the module
// still pass it handles.
#pragma once

#include <nanobind/nanobind.h>

namespace pytypes {

namespace nb = nanobind;

inline bool any_object(PyObject *) { return true; }
inline bool is_none(PyObject *o) { return o == Py_None; }
inline bool is_list(PyObject *o) { return PyList_Check(o); }

// nanobind's object wrapper (NB_OBJECT_DEFAULT), converting from any handle.
#define PYTYPES_NAMED(Type, PythonName)                                                            \
    class Type : public nb::object {                                                               \
        NB_OBJECT_DEFAULT(Type, object, PythonName, ::pytypes::any_object)                         \
        Type(nb::handle h) : nb::object(h, nb::detail::borrow_t{}) {}                              \
    }

PYTYPES_NAMED(Any, "typing.Any");
PYTYPES_NAMED(Str, "str");
PYTYPES_NAMED(Int, "int");
PYTYPES_NAMED(Float, "float");
PYTYPES_NAMED(Bool, "bool");
// The containers, to be given their items with nb::typed<...>.
PYTYPES_NAMED(Tuple, "tuple");
PYTYPES_NAMED(List, "list");
PYTYPES_NAMED(Dict, "dict");
PYTYPES_NAMED(Sequence, "collections.abc.Sequence");
PYTYPES_NAMED(Mapping, "collections.abc.Mapping");
PYTYPES_NAMED(MutableMapping, "collections.abc.MutableMapping");
PYTYPES_NAMED(Hashable, "collections.abc.Hashable");
PYTYPES_NAMED(Generator, "collections.abc.Generator");
PYTYPES_NAMED(NoneType, "None");
PYTYPES_NAMED(Bytes, "bytes");
PYTYPES_NAMED(PathLike, "os.PathLike");

// The few types whose check is the type's own: an overload for one kind of
// value (None, a list), bound ahead of the one that takes any object, so that
// the stubs give that call its own result type.
#define PYTYPES_STRICT(Type, PythonName, Check)                                                    \
    class Type : public nb::object {                                                               \
        NB_OBJECT_DEFAULT(Type, object, PythonName, Check)                                         \
        Type(nb::handle h) : nb::object(h, nb::detail::borrow_t{}) {}                              \
    }
PYTYPES_STRICT(OnlyNone, "None", ::pytypes::is_none);
PYTYPES_STRICT(OnlyList, "list", ::pytypes::is_list);
#undef PYTYPES_STRICT

PYTYPES_NAMED(DataFrame, "pandas.DataFrame");
PYTYPES_NAMED(ExcelWriter, "pandas.ExcelWriter");
PYTYPES_NAMED(Workbook, "xlsxwriter.workbook.Workbook");
PYTYPES_NAMED(Worksheet, "xlsxwriter.worksheet.Worksheet");
PYTYPES_NAMED(Chart, "xlsxwriter.chart.Chart");
PYTYPES_NAMED(Chartsheet, "xlsxwriter.chartsheet.Chartsheet");
PYTYPES_NAMED(Format, "xlsxwriter.format.Format");

// One of several types, "A | B": the same wrapper, its name made of theirs.
template <typename... Ts>
class Union : public nb::object {
public:
    static constexpr auto Name = nb::detail::union_name(nb::detail::make_caster<Ts>::Name...);
    Union() : nb::object() {}
    Union(nb::handle h, nb::detail::borrow_t) : nb::object(h, nb::detail::borrow_t{}) {}
    Union(nb::handle h, nb::detail::steal_t) : nb::object(h, nb::detail::steal_t{}) {}
    Union(nb::handle h) : nb::object(h, nb::detail::borrow_t{}) {}
    static bool check_(nb::handle h) { return any_object(h.ptr()); }
};

template <typename T>
using Optional = Union<T, NoneType>;

#undef PYTYPES_NAMED

// --- the shapes several functions share ------------------------------------
using Strs = nb::typed<Sequence, nb::str>;
using Ints = nb::typed<Sequence, int>;
using Items = nb::typed<Sequence, Any>;
using StrOrStrs = Union<Str, Strs>;  // one name, or one each
using SheetKey = Union<Str, Int>;    // a sheet's name or position
// A file name, as the readers open it: a text or a pathlib.Path.
using Path = Union<Str, nb::typed<PathLike, nb::str>>;
// ... or in bytes, where the function decodes them (os.fsdecode).
using AnyPath = Union<Str, Bytes, nb::typed<PathLike, nb::str>, nb::typed<PathLike, nb::bytes>>;
using Properties = nb::typed<Mapping, nb::str, Any>;
// Custom document properties: name -> (value, Excel type name).
using CustomProperty = nb::typed<nb::tuple, Any, nb::str>;
using CustomProperties = nb::typed<MutableMapping, nb::str, CustomProperty>;
using ConstCustomProperties = nb::typed<Mapping, nb::str, CustomProperty>;

}  // namespace pytypes
