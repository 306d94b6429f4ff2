// The one reader of the module's environment switches.
#include "datareader/tablemine/tablemine.hpp"

#include "datareader/tablemine/native/settings.hpp"

#include <cstdlib>
#include <cstring>

namespace mine {

native::Settings read_settings() {
    native::Settings settings;
    const char *cells = std::getenv("TRELLIS_MAX_CELLS");
    if (cells && *cells) settings.max_cells.emplace(cells);
    const char *scanner = std::getenv("TRELLIS_SCANNER");
    settings.scanner = !(scanner && std::strcmp(scanner, "0") == 0);
    settings.scanner_tells = scanner && std::strcmp(scanner, "only") == 0;
    const char *only = std::getenv("TRELLIS_NATIVE_ONLY");
    settings.native_only = only && *only && std::strcmp(only, "0") != 0;
    return settings;
}

}  // namespace mine
