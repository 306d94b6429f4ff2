// The writer's files: opened and always closed again, a text file written
// whole, and a finished workbook moved to its final name without ever
// replacing a file that is there.
#pragma once

#include "common/pyutil.hpp"

namespace rb {

using pyutil::handle;
using pyutil::object;

// The mode of a finished workbook, readable and writable by all as a file
// open() creates before the umask: the temporary file it was saved to is
// private.
constexpr int kWorkbookFileMode = 0666;

// file.close(), an error of which is dropped: it is called while another
// error, the one the caller needs to see, is on its way.
void close_quietly(handle file);

// Runs body(file) on open(filename, mode) and closes the file after it; an
// error of the body closes it quietly and goes on to the caller.
template <typename Body>
void with_open_file(handle filename, const char *mode, Body &&body) {
    object file = pyutil::builtin("open")(filename, mode);
    try {
        body(handle(file));
    } catch (nb::python_error &) {
        close_quietly(file);
        throw;
    }
    file.attr("close")();
}

// The text written to the file of that name, which it replaces.  A file
// descriptor is refused (see pyutil::refuse_descriptor).
void write_text_file(handle filename, handle text);

// Moves the file at `source` to `target`, which must not exist yet: an
// existing target is never replaced (FileExistsError).
void move_without_overwrite(handle source, handle target);

}  // namespace rb
