// The continuous-simulation methods of rainmill_models._kernels.
#include "frame.hpp"
#include "kernels/builders.hpp"

namespace rainmill::py {

void add_continuous_methods(PyObject* /*module*/) {}

}  // namespace rainmill::py
