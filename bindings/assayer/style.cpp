#include "assayer/assayer.hpp"

namespace zarnik_py {
void register_style(py::module_& m) {}
}  // namespace zarnik_py
