#include "assayer/assayer.hpp"

namespace zarnik_py {
void register_ic(py::module_& m) {}
}  // namespace zarnik_py
