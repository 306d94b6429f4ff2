#include "reportbook/reportbook.hpp"

namespace rb {

void bind_resources(nb::module_ &m) { (void)m; }

}  // namespace rb
