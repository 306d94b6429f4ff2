#include "reportbook/reportbook.hpp"

namespace rb {

void bind_evaluation_sheets(nb::module_ &m) { (void)m; }

}  // namespace rb
