// The binding units of the continuous methods, each adding its functions to
// rainmill_models._kernels (called from add_continuous_methods).
#pragma once

#include <Python.h>

namespace rainmill::py {

void add_soil_moisture(PyObject* module);
void add_deficit_constant_et(PyObject* module);
void add_temperature_index_snow(PyObject* module);

}  // namespace rainmill::py
