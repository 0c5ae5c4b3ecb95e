// Fast paths for collaborators that are looked up at call time.
//
// The analysis steps look their collaborators (correlation functions, the
// regression) up on a module object when they run, so users and tests can
// substitute any of them. One rule decides when a step may compute natively
// instead of calling through Python: the object found must be the very
// function the package registered here at module init. Anything else (a
// substitute, a wrapper, a decorated copy) is called as an ordinary Python
// callable. Market data has no fast path: it is always read through the
// functions of zarnik.analysis.market_data.

#pragma once

#include <pybind11/pybind11.h>

#include <utility>
#include <vector>

namespace zarnik_py {

namespace py = pybind11;

// Every tag in use, so that no two implementations share one.
namespace native {
enum Tag : int {
    pearson_ic = 0,     // the Pearson wrapper of _get_ic_func
    spearman_ic = 1,    // the Spearman wrapper of _get_ic_func
    ols_residuals = 2,  // zarnik.analysis.ols.calc_residuals
};
}  // namespace native

namespace detail {
inline std::vector<std::pair<py::object, int>>& native_registry() {
    // Leaked on purpose: the registered functions live as long as the
    // interpreter, and nothing may be released after it finalizes.
    static auto* registry = new std::vector<std::pair<py::object, int>>();
    return *registry;
}
}  // namespace detail

// Registers `fn` as the package's own implementation of `tag` (>= 0).
inline void register_native(const py::object& fn, int tag) {
    detail::native_registry().emplace_back(fn, tag);
}

// The tag `fn` was registered with, or -1 when it is not a registered function.
inline int native_tag(const py::handle& fn) {
    for (const auto& [registered, tag] : detail::native_registry()) {
        if (fn.is(registered)) return tag;
    }
    return -1;
}

}  // namespace zarnik_py
