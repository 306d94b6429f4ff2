#include "reportbook/reportbook.hpp"

namespace rb {

void bind_recap(nb::module_ &m) { (void)m; }

}  // namespace rb
