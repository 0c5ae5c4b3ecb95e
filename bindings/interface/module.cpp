// zarnik.interface: the node classes of factor expression trees.
//
// Nothing here computes factor values. Each operation on a node builds a new
// node; a finished tree reports its expression key (`expr`), the leaves it
// needs (`dependencies`) and its look-back in trading dates (`shift`), which an
// evaluation engine walks.
#include <pybind11/pybind11.h>

#include "common/market_data.hpp"
#include "common/modules.hpp"

#include "interface/nodes.hpp"

namespace py = pybind11;

PYBIND11_MODULE(interface, m) {
    using namespace zarnik_interface;
    // Every docstring starts with its own text signature (inspect.signature).
    py::options options;
    options.disable_function_signatures();

    // Collaborators, bound as module globals and looked up at call time.
    m.attr("np") = py::module_::import("numpy");
    m.attr("pd") = py::module_::import("pandas");
    m.attr("ostrel") = zarnik_py::market::client();
    py::module_ exceptions = zarnik_py::package_module("exception");
    m.attr("ZarnikUserException") = exceptions.attr("ZarnikUserException");
    m.attr("InvalidUserFactor") = exceptions.attr("InvalidUserFactor");

    m.doc() = "因子表达式树的节点类：叶子、常量、运算符组合、移动与用户自定义叶子因子。";

    state().module = m.inc_ref().ptr();
    // Private: the walked members of a node kind, for the node classes of the
    // sibling modules (rolling nodes, the lag node).
    zarnik_py::def(m, "_node_members", {"(kind, func=None, name=None)", "expr、dependencies、shift 与 __repr__ 描述符（按节点种类）。"},
                   &node_members, py::arg("kind"), py::arg("func") = py::none(), py::arg("name") = py::none());
    register_classes(m);

    py::list all;
    for (const char* name :
         {"AbstractFactor", "ConstantFactor", "UnaryCombinedFactor", "ShiftedFactor",
          "BinaryCombinedFactor", "LeafFactor", "AbstractUserDefinedLeafFactor",
          "UserDefinedLeafFactor", "CombinedFactor"}) {
        all.append(py::str(name));
    }
    m.attr("__all__") = all;
}
