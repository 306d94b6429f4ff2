// The writer's files.  Everything goes through Python's open() and os, so
// that a caller's path-like objects, and the errors of the file system, are
// those Python code would see.
#include "reportbook/files.hpp"

#include "toolkit/toolkit.hpp"

#include <cerrno>

namespace rb {
namespace {

object os() { return nb::module_::import_("os"); }
object os_path() { return os().attr("path"); }

object folder_of(handle filename) {
    object folder = os_path().attr("dirname")(os().attr("fspath")(filename));
    return pyutil::truthy(folder) ? folder : os().attr("curdir");
}

object file_name_of(handle filename) {
    return os_path().attr("basename")(os().attr("fspath")(filename));
}

[[noreturn]] void raise_exists(const char *message, handle filename) {
    pyutil::raise(pyutil::steal(
        PyObject_CallFunction(PyExc_FileExistsError, "isO", EEXIST, message, filename.ptr())));
}

// The file's data on disk before a name makes it a finished workbook: a
// crash after the name is claimed must not leave it empty or partial.
void flush_to_disk(handle path) {
    object o = os();
    object fd = o.attr("open")(path, o.attr("O_RDONLY"));
    try {
        o.attr("fsync")(fd);
    } catch (nb::python_error &) {
        pyutil::unless_exception([&] { o.attr("close")(fd); }, [](nb::python_error &) {});
        throw;
    }
    o.attr("close")(fd);
}

// Links `source` to `name`; false when the name is taken.
bool link_if_free(handle source, handle name) {
    try {
        os().attr("link")(source, name);
        return true;
    } catch (nb::python_error &e) {
        if (e.matches(PyExc_FileExistsError)) return false;
        throw;
    }
}

// Where no hard link can be made, an empty file created exclusively takes
// the name and the complete copy replaces it in one rename: a kill between
// the two leaves that empty file, never part of a workbook.
bool place_if_free(handle source, handle name) {
    object o = os();
    object fd;
    try {
        fd = o.attr("open")(name, o.attr("O_WRONLY") | o.attr("O_CREAT") | o.attr("O_EXCL"),
                            kWorkbookFileMode);
    } catch (nb::python_error &e) {
        if (e.matches(PyExc_FileExistsError)) return false;
        throw;
    }
    try {
        o.attr("close")(fd);
        o.attr("replace")(source, name);
    } catch (nb::python_error &) {
        unlink_quietly(name);
        throw;
    }
    return true;
}

// The first free name IndexFilename gives that `claim` takes; the name is
// asked for again when another process takes it first.
template <typename Claim>
object claim_free_name(handle wanted, Claim claim) {
    for (int attempt = 0; attempt < kClaimAttempts; ++attempt) {
        object name = toolkit::IndexFilename(wanted);
        if (claim(handle(name))) return name;
    }
    raise_exists("each free name found for the workbook was taken by another file before it "
                 "could be claimed",
                 wanted);
}

bool is_link_refused(nb::python_error &e) {
    return e.matches(PyExc_OSError) && !e.matches(PyExc_FileExistsError);
}

// A complete copy of `source`, flushed to disk, under a hidden name of its
// own beside `wanted`: only a finished copy ever takes a final name.  A
// failed copy is removed again.
object copy_beside(handle source, handle wanted) {
    object copy = create_file_beside(wanted, nb::str(".part"), 0600);
    try {
        with_open_file(source, "rb", [&](handle src) {
            with_open_file(copy, "wb", [&](handle dst) {
                nb::module_::import_("shutil").attr("copyfileobj")(src, dst);
                dst.attr("flush")();
                os().attr("fsync")(dst.attr("fileno")());
            });
        });
        os().attr("chmod")(copy, kWorkbookFileMode);
    } catch (nb::python_error &) {
        unlink_quietly(copy);
        throw;
    }
    return copy;
}

void move_by_copy(handle wanted, handle source, object &claimed) {
    object copy = copy_beside(source, wanted);
    try {
        try {
            claimed =
                claim_free_name(wanted, [&](handle name) { return link_if_free(copy, name); });
        } catch (nb::python_error &e) {
            if (!is_link_refused(e)) throw;
            // A file system without hard links: the copy itself takes the name.
            claimed =
                claim_free_name(wanted, [&](handle name) { return place_if_free(copy, name); });
            return;
        }
    } catch (nb::python_error &) {
        unlink_quietly(copy);
        throw;
    }
    os().attr("unlink")(copy);
}

}  // namespace

void close_quietly(handle file) {
    try {
        file.attr("close")();
    } catch (nb::python_error &) {
    }
}

void unlink_quietly(handle path) {
    try {
        os().attr("unlink")(path);
    } catch (nb::python_error &) {
    }
}

object create_file_beside(handle filename, handle suffix, int mode) {
    object o = os();
    object stem = os_path().attr("splitext")(file_name_of(filename))[nb::int_(0)];
    object folder = folder_of(filename), prefix = nb::str(".{}.").format(stem);
    object secrets = nb::module_::import_("secrets");
    object flags = o.attr("O_WRONLY") | o.attr("O_CREAT") | o.attr("O_EXCL");
    for (int attempt = 0; attempt < kClaimAttempts; ++attempt) {
        object name = os_path().attr("join")(
            folder, nb::str("{}{}{}").format(prefix, secrets.attr("token_hex")(6), suffix));
        try {
            o.attr("close")(o.attr("open")(name, flags, mode));
            return name;
        } catch (nb::python_error &e) {
            if (!e.matches(PyExc_FileExistsError)) throw;
        }
    }
    raise_exists("no free name for a temporary file", folder);
}

void remove_empty_placeholder(handle path) {
    object o = os();
    object st;
    try {
        st = o.attr("lstat")(path);
    } catch (nb::python_error &e) {
        if (e.matches(PyExc_FileNotFoundError)) return;
        throw;
    }
    object stat = nb::module_::import_("stat");
    if (!pyutil::truthy(stat.attr("S_ISREG")(st.attr("st_mode"))) ||
        !st.attr("st_size").equal(nb::int_(0)))
        return;
    try {
        o.attr("unlink")(path);
    } catch (nb::python_error &e) {
        // Another campaign given the same path removed it first.
        if (!e.matches(PyExc_FileNotFoundError)) throw;
    }
}

void write_text_file(handle filename, handle text) {
    pyutil::refuse_descriptor(filename);
    // The mode open() would give a new file; the umask applies.
    object part = create_file_beside(filename, nb::str(".part"), 0666);
    try {
        with_open_file(part, "w", [&](handle file) {
            file.attr("write")(text);
            file.attr("flush")();
            os().attr("fsync")(file.attr("fileno")());
        });
        os().attr("replace")(part, filename);
    } catch (nb::python_error &) {
        unlink_quietly(part);
        throw;
    }
}

// A hard link fails on an existing target, where a rename would silently
// replace it.  Where links cannot be made (another file system, or one
// without links) the file is copied instead.
void move_to_free_name(handle source, handle wanted, object &claimed) {
    flush_to_disk(source);
    try {
        claimed = claim_free_name(wanted, [&](handle name) { return link_if_free(source, name); });
    } catch (nb::python_error &e) {
        if (!is_link_refused(e)) throw;
        move_by_copy(wanted, source, claimed);
    }
    os().attr("unlink")(source);
}

}  // namespace rb
