// What a file is before any library reads it: its type by its extension, a
// special file that would hang a reader, and its name as the native reader
// opens it; and whether it changed while it was read.
// Large files on 32-bit systems: their sizes too are told apart.
#ifndef _FILE_OFFSET_BITS
#define _FILE_OFFSET_BITS 64
#endif

#include "datareader/tablemine/tablemine.hpp"

#include "datareader/tablemine/native/errors.hpp"
#include "datareader/tablemine/native/zip.hpp"

#include <cctype>
#include <cstring>
#include <fstream>

#include <sys/stat.h>

namespace mine {
namespace {

FileStamp stamp_of(const std::optional<std::string> &path) {
    FileStamp stamp;
    struct stat st;
    if (!path || ::stat(path->c_str(), &st) != 0) return stamp;
    stamp.known = true;
    stamp.fields = {
        static_cast<long long>(st.st_dev),          static_cast<long long>(st.st_ino),
        static_cast<long long>(st.st_size),         static_cast<long long>(st.st_mtim.tv_sec),
        static_cast<long long>(st.st_mtim.tv_nsec), static_cast<long long>(st.st_ctim.tv_sec),
        static_cast<long long>(st.st_ctim.tv_nsec)};
    return stamp;
}

// What a zip archive is by its members.
Content content_of_members(const native::zip::Archive &archive) {
    Content found = Content::OtherZip;
    for (const auto &m : archive.members()) {
        std::string name = m.name;
        for (char &c : name)
            c = c == '\\' ? '/' : static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        if (name == "xl/workbook.xml") return Content::Workbook;
        // the binary and the OpenDocument workbooks pandas reads with
        // engines of their own
        if (name == "xl/workbook.bin" || name == "content.xml") found = Content::Unknown;
    }
    return found;
}

// `zipped`: what the archive's members make, when the native reader has
// opened it already.
Content content_of(const std::optional<std::string> &path, std::optional<Content> zipped) {
    if (!path) return Content::Unknown;
    char head[8] = {};
    std::ifstream file(*path, std::ios::binary);
    if (!file) return Content::Unknown;  // missing or unreadable: pandas says why
    file.read(head, sizeof head);
    if (file.gcount() == 0) return file.eof() ? Content::Empty : Content::Unknown;
    if (file.gcount() < static_cast<std::streamsize>(sizeof head)) return Content::Other;
    static const char *xls[] = {
        "\x09\x00\x04\x00\x07\x00\x10\x00", "\x09\x02\x06\x00\x00\x00\x10\x00",
        "\x09\x04\x06\x00\x00\x00\x10\x00", "\xd0\xcf\x11\xe0\xa1\xb1\x1a\xe1"};
    for (const char *sig : xls)
        if (std::memcmp(head, sig, 8) == 0) return Content::Xls;
    if (std::memcmp(head, "PK\3\4", 4) != 0) return Content::Other;
    if (zipped) return *zipped;
    try {
        return content_of_members(native::zip::Archive(*path));
    } catch (native::Unsure &) {
        return Content::Workbook;  // zipfile reads what this reader leaves
    } catch (native::Refused &) {
        return Content::Workbook;
    }
}

// Refuses a FIFO, socket or device given as a file: opening one for reading
// can wait forever for a writer.  Anything else, missing files included, is
// left to the reading library and its own error.
void refuse_special_file(handle filename) {
    pyutil::refuse_descriptor(filename);
    object st =
        pyutil::unless_exception([&] { return pyutil::module_attr("os").attr("stat")(filename); },
                                 [](nb::python_error &) { return object(); });
    if (!st.is_valid()) return;
    object stat = nb::module_::import_("stat");
    object mode = nb::getattr(st, "st_mode");
    if (pyutil::truthy(stat.attr("S_ISREG")(mode)) || pyutil::truthy(stat.attr("S_ISDIR")(mode)))
        return;
    object einval = nb::module_::import_("errno").attr("EINVAL");
    pyutil::raise(handle(PyExc_OSError)(einval, "Not a regular file", filename));
}

}  // namespace

object extension_of(handle filename) {
    object ext = pyutil::module_attr("os").attr("path").attr("splitext")(filename)[nb::int_(1)];
    return pyutil::steal(PySequence_GetSlice(ext.ptr(), 1, PY_SSIZE_T_MAX));
}

std::optional<std::string> native_path(handle filename) {
    if (!nb::isinstance<nb::str>(filename) && !nb::hasattr(filename, "__fspath__"))
        return std::nullopt;
    auto encoded = nb::borrow<nb::bytes>(nb::module_::import_("os").attr("fsencode")(filename));
    std::string path(encoded.c_str(), encoded.size());
    if (path.find('\0') != std::string::npos) return std::nullopt;
    return path;
}

bool zip_by_content(const std::string &path) {
    char head[4] = {};
    std::ifstream file(path, std::ios::binary);
    return file.read(head, sizeof head) && std::memcmp(head, "PK\3\4", 4) == 0;
}

File::File(handle filename) : File(filename, read_settings()) {}

File::File(handle filename, const native::Settings &settings)
    : m_name(nb::borrow(filename)), m_settings(settings) {
    refuse_special_file(filename);
    m_path = native_path(filename);
    m_stamp = stamp_of(m_path);
}

void File::opened(const native::zip::Archive &archive) { m_zipped = content_of_members(archive); }

Content File::content() {
    if (!m_content) m_content = content_of(m_path, m_zipped);
    return *m_content;
}

object File::library_engine() {
    const char *why = nullptr;
    switch (content()) {
    case Content::Xls:
        return pyutil::text("xlrd");
    case Content::Workbook:
        return pyutil::text("openpyxl");
    case Content::Unknown:
        return nb::none();
    case Content::Empty:
        why = "the file is empty";
        break;
    case Content::OtherZip:
        why = "a zip archive without a workbook part";
        break;
    case Content::Other:
        why = "neither a zip archive nor an .xls file";
        break;
    }
    object shown = pyutil::module_attr("os").attr("fspath")(m_name);
    pyutil::raise(PyExc_ValueError, "%R is not a workbook (.xlsx, .xlsm or .xls): %s", shown.ptr(),
                  why);
}

void File::check_unchanged(handle failure) const {
    FileStamp now = stamp_of(m_path);
    if (!m_stamp.known && !now.known) return;
    if (m_stamp.known == now.known && m_stamp.fields == now.fields) return;
    std::string what = failure.is_valid() ? std::string(" (the read failed with ") +
                                                Py_TYPE(failure.ptr())->tp_name + ")"
                                          : "";
    pyutil::raise(PyExc_OSError, "%s changed while it was read%s: read it again once it is written",
                  shown_file(m_name).c_str(), what.c_str());
}

std::string shown_file(handle filename) {
    return pyutil::unless_exception(
        [&] { return pyutil::utf8(nb::repr(pyutil::module_attr("os").attr("fspath")(filename))); },
        [&](nb::python_error &) { return pyutil::utf8(nb::repr(filename)); });
}

bool same_text(handle ft, const char *text) {
    object t = pyutil::text(text);
    return ft.equal(t);
}

bool is_workbook_type(handle filetype) {
    return same_text(filetype, "xls") || same_text(filetype, "xlsx") || same_text(filetype, "xlsm");
}

}  // namespace mine
