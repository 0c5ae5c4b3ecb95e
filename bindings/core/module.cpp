// zarnik._core: private numeric entry points used by the pure-Python sibling
// modules (winsorize, ols) and the evaluation engine. Each source file of
// this folder registers its functions through core.hpp.
#include "core/core.hpp"

PYBIND11_MODULE(_core, m) {
    m.doc() = "zarnik private numeric kernels (not a public API).";
    zarnik_py::register_core_winsorize(m);
    zarnik_py::register_core_ols(m);
    zarnik_py::register_core_xsection(m);
    zarnik_py::register_core_ranks(m);
    zarnik_py::register_core_elementwise(m);
    zarnik_py::register_core_presence(m);
}
