#include "reportbook/reportbook.hpp"

namespace rb {

void bind_sheetset(nb::module_ &m) { (void)m; }

}  // namespace rb
