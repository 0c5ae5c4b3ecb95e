#include "assayer/assayer.hpp"

namespace zarnik_py {
void register_factor_return(py::module_& m) {}
}  // namespace zarnik_py
