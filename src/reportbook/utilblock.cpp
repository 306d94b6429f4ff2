#include "reportbook/reportbook.hpp"

namespace rb {

void bind_minmax_block(nb::module_ &m) { (void)m; }

}  // namespace rb
