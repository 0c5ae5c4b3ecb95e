#include "assayer/assayer.hpp"

namespace zarnik_py {
void register_neutralize(py::module_& m) {}
}  // namespace zarnik_py
