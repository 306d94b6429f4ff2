#include "reportbook/reportbook.hpp"

namespace rb {

void bind_sheetutils(nb::module_ &m) { (void)m; }

}  // namespace rb
