#include "reportbook/reportbook.hpp"

namespace rb {

void bind_line_charts(nb::module_ &m) { (void)m; }

}  // namespace rb
