// Placeholder builder: the submodule stands empty until its computations are bound.
#include "frame.hpp"
#include "module_builders.hpp"

namespace rainmill::py {

void init_reach(PyObject* /*module*/) {}

}  // namespace rainmill::py
