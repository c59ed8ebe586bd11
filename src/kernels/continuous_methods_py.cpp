// The continuous-simulation methods of rainmill_models._kernels.
#include "frame.hpp"
#include "kernels/builders.hpp"
#include "kernels/continuous_bindings.hpp"

namespace rainmill::py {

void add_continuous_methods(PyObject* module) {
    add_soil_moisture(module);
    add_deficit_constant_et(module);
    add_temperature_index_snow(module);
}

}  // namespace rainmill::py
