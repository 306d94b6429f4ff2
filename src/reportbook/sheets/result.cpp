#include "reportbook/reportbook.hpp"

namespace rb {

void bind_result_sheet(nb::module_ &m) { (void)m; }

}  // namespace rb
