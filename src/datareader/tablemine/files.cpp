// What a file is before any library reads it: its type by its extension, a
// special file that would hang a reader, and its name as the native reader
// opens it; and whether it changed while it was read.
// Large files on 32-bit systems: their sizes too are told apart.
#ifndef _FILE_OFFSET_BITS
#define _FILE_OFFSET_BITS 64
#endif

#include "datareader/tablemine/tablemine.hpp"

#include <cstring>
#include <fstream>

#include <sys/stat.h>

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

bool zip_by_content(const std::string &path) {
    char head[4] = {};
    std::ifstream file(path, std::ios::binary);
    return file.read(head, sizeof head) && std::memcmp(head, "PK\3\4", 4) == 0;
}

FileStamp stamp_of(const std::optional<std::string> &path) {
    FileStamp stamp;
    struct stat st;
    if (!path || ::stat(path->c_str(), &st) != 0) return stamp;
    stamp.known = true;
    stamp.fields = {static_cast<long long>(st.st_dev), static_cast<long long>(st.st_ino),
                    static_cast<long long>(st.st_size), static_cast<long long>(st.st_mtim.tv_sec),
                    static_cast<long long>(st.st_mtim.tv_nsec), static_cast<long long>(st.st_ctim.tv_sec),
                    static_cast<long long>(st.st_ctim.tv_nsec)};
    return stamp;
}

void check_unchanged(handle filename, const std::optional<std::string> &path, const FileStamp &before,
                     handle failure) {
    FileStamp now = stamp_of(path);
    if (!before.known && !now.known) return;
    if (before.known == now.known && before.fields == now.fields) return;
    std::string what = failure.is_valid() ? std::string(" (the read failed with ") + Py_TYPE(failure.ptr())->tp_name + ")" : "";
    pyutil::raise(PyExc_OSError, "%s changed while it was read%s: read it again once it is written",
                  shown_file(filename).c_str(), what.c_str());
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
