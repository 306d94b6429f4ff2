// The writer's files: opened and always closed again, a text file written
// whole or not at all, and a finished workbook given a free final name
// without ever replacing a file that is there.
#pragma once

#include "common/pyutil.hpp"

namespace rb {

using pyutil::handle;
using pyutil::object;

// The mode of a finished workbook, readable and writable by all as a file
// open() creates before the umask: the temporary file it was saved to is
// private.
constexpr int kWorkbookFileMode = 0666;

// How often a final name found free is asked for again when another
// campaign claims it first.
constexpr int kClaimAttempts = 100;

// file.close(), an error of which is dropped: it is called while another
// error, the one the caller needs to see, is on its way.
void close_quietly(handle file);

// os.unlink(path), an error of which is dropped, for the same reason.
void unlink_quietly(handle path);

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

// A new empty file of its own beside `filename`, in its folder and named
// ".<its name without extension>.<random><suffix>", created exclusively with `mode` (before
// the umask): its path.
object create_file_beside(handle filename, handle suffix, int mode);

// Removes the empty file a pandas ExcelWriter creates at its path when it
// opens, once the workbook was saved elsewhere; a file that holds anything,
// or none at all, is left alone.
void remove_empty_placeholder(handle path);

// The text written to the file of that name, which it replaces in one
// rename: the file holds either its earlier text or the whole new one.  A
// file descriptor is refused (see pyutil::refuse_descriptor).
void write_text_file(handle filename, handle text);

// Moves the complete file at `source` to a free name: toolkit IndexFilename
// of `wanted`, asked again when another process claims it first.  The file
// is flushed to disk before it takes the name, a name is taken by a hard
// link (never replacing a file), and across file systems a complete copy
// beside the name takes it.  `claimed` is set to the name as soon as it is
// taken, so that an error of the steps after it (removing `source`) can say
// where the workbook is.  After kClaimAttempts names found taken:
// FileExistsError.
void move_to_free_name(handle source, handle wanted, object &claimed);

}  // namespace rb
