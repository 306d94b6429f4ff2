#include "reportbook/reportbook.hpp"

namespace rb {

void bind_workbook_open(nb::module_ &m) { (void)m; }

}  // namespace rb
