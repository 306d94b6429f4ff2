// What a file is before any library reads it: its type by its extension, a
// special file that would hang a reader, and its name as the native reader
// opens it.
#include "datareader/tablemine/tablemine.hpp"

#include <cstring>

namespace mine {

object extension_of(handle filename) {
    object ext = pyutil::module_attr("os").attr("path").attr("splitext")(filename)[nb::int_(1)];
    return pyutil::steal(PySequence_GetSlice(ext.ptr(), 1, PY_SSIZE_T_MAX));
}

void refuse_special_file(handle filename) {
    pyutil::refuse_descriptor(filename);
    object st = pyutil::unless_exception([&] { return pyutil::module_attr("os").attr("stat")(filename); },
                                         [](nb::python_error &) { return object(); });
    if (!st.is_valid()) return;
    object stat = nb::module_::import_("stat");
    object mode = nb::getattr(st, "st_mode");
    if (pyutil::truthy(stat.attr("S_ISREG")(mode)) || pyutil::truthy(stat.attr("S_ISDIR")(mode))) return;
    object einval = nb::module_::import_("errno").attr("EINVAL");
    pyutil::raise(handle(PyExc_OSError)(einval, "Not a regular file", filename));
}

std::optional<std::string> native_path(handle filename) {
    if (!PyUnicode_Check(filename.ptr()) && !PyObject_HasAttrString(filename.ptr(), "__fspath__"))
        return std::nullopt;
    object encoded = nb::module_::import_("os").attr("fsencode")(filename);
    char *data = nullptr;
    Py_ssize_t size = 0;
    if (PyBytes_AsStringAndSize(encoded.ptr(), &data, &size) < 0) pyutil::raise_pending();
    if (std::memchr(data, 0, static_cast<std::size_t>(size))) return std::nullopt;
    return std::string(data, static_cast<std::size_t>(size));
}

bool same_text(handle ft, const char *text) {
    object t = pyutil::text(text);
    return ft.equal(t);
}

bool is_workbook_type(handle filetype) {
    return same_text(filetype, "xls") || same_text(filetype, "xlsx") ||
           same_text(filetype, "xlsm");
}

}  // namespace mine
