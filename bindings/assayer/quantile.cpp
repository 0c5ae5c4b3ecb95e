#include "assayer/assayer.hpp"

namespace zarnik_py {
void register_quantile(py::module_& m) {}
}  // namespace zarnik_py
