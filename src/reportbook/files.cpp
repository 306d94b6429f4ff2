// The writer's files.  Everything goes through Python's open() and os, so
// that a caller's path-like objects, and the errors of the file system, are
// those Python code would see.
#include "reportbook/files.hpp"

namespace rb {
namespace {

object os() { return nb::module_::import_("os"); }

// Copy for a move across file systems.  The target is created exclusively so
// that a file that appeared meanwhile is never overwritten; a partial copy is
// removed again so that the workbook exists only at its temporary path.
void copy_exclusive(handle source, handle target) {
    with_open_file(source, "rb", [&](handle src) {
        bool created = false;
        try {
            with_open_file(target, "xb", [&](handle dst) {
                created = true;
                nb::module_::import_("shutil").attr("copyfileobj")(src, dst);
            });
            os().attr("chmod")(target, kWorkbookFileMode);
        } catch (nb::python_error &) {
            if (created) {
                try {
                    os().attr("unlink")(target);
                } catch (nb::python_error &) {
                }
            }
            throw;
        }
    });
}

}  // namespace

void close_quietly(handle file) {
    try {
        file.attr("close")();
    } catch (nb::python_error &) {
    }
}

void write_text_file(handle filename, handle text) {
    pyutil::refuse_descriptor(filename);
    with_open_file(filename, "w", [&](handle file) { file.attr("write")(text); });
}

// A hard link fails on an existing target, where a rename would silently
// replace it.  Where links cannot be made (another file system, or one
// without links) the file is copied instead.
void move_without_overwrite(handle source, handle target) {
    try {
        os().attr("link")(source, target);
    } catch (nb::python_error &e) {
        if (e.matches(PyExc_FileExistsError) || !e.matches(PyExc_OSError)) throw;
        copy_exclusive(source, target);
    }
    os().attr("unlink")(source);
}

}  // namespace rb
