#include "core/core.hpp"

namespace zarnik_py {
void register_core_winsorize(py::module_& m) {}
}  // namespace zarnik_py
