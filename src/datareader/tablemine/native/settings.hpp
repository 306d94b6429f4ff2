// The switches of the environment a read obeys, read once at the start of
// each call while the GIL is held (the environment is Python's to change
// meanwhile) and handed to the native reader, which never reads it itself.
#pragma once

#include <optional>
#include <string>

namespace mine::native {

struct Settings {
    // TRELLIS_MAX_CELLS as set (none when unset or empty): checked where a
    // grid is, so that a bad value fails only the reads it would bound.
    std::optional<std::string> max_cells;
    // TRELLIS_SCANNER: "0" sends every part to expat; "only" tells, as an
    // Unsure, what the scanner leaves to expat.
    bool scanner = true;
    bool scanner_tells = false;
    // TRELLIS_NATIVE_ONLY: a fallback to a library is an error.
    bool native_only = false;
};

}  // namespace mine::native
