// The builders that fill rainmill_models._kernels, the models package's own
// native module: the same core and call frame as the rainmill extension, with
// the computations beyond the specified ones. Each group of methods has its
// own builder (and its own binding files), called in this order by the
// module's exec step.
#pragma once

#include <Python.h>

namespace rainmill::py {

void add_values_class(PyObject* module);
// The process's allocator: large temporaries keep their pages between calls.
void add_allocator_functions(PyObject* module);
// Event methods: losses, transforms, reach routing, baseflow beyond the extension's.
void add_event_methods(PyObject* module);
// Continuous simulation: soil-moisture accounting, snow, evapotranspiration-driven losses.
void add_continuous_methods(PyObject* module);
// Distributed methods: ModClark and kinematic waves (src/distributed/).
void add_distributed_methods(PyObject* module);

}  // namespace rainmill::py
