// The module's root: the seven entry points, their exec steps, and the tree of
// submodules that `import rainmill` builds.
#include <Python.h>

#include "frame.hpp"
#include "module_builders.hpp"
#include "utils/time_series.hpp"

namespace rainmill::py {

namespace {

void fill_submodule(PyObject* parent, const char* name, void (*builder)(PyObject*)) {
    Ref module = new_submodule(name);
    builder(module.get());
    attach_submodule(parent, module.get());
}

void build_utils(PyObject* module) {
    add_class<ContinuousTimeSeries>(module);
    add_class<IncrementalTimeSeries>(module);
}

int exec_rainmill(PyObject* module) {
    return guard_status([module] {
        prepare_module(module);
        fill_submodule(module, "utils", &build_utils);
        fill_submodule(module, "reach", &init_reach);
        fill_submodule(module, "reservoir", &init_reservoir);
        fill_submodule(module, "rainfall_transform", &init_transform);
        fill_submodule(module, "rainfall_loss", &init_loss);
        fill_submodule(module, "baseflow", &init_baseflow);
        fill_submodule(module, "metrics", &init_metrics);
    });
}

template <void (*Builder)(PyObject*)>
int exec_standalone(PyObject* module) {
    return guard_status([module] {
        prepare_module(module);
        Builder(module);
    });
}

// Every definition has the same slots, in this order. The class type objects
// are process-wide, so the module cannot serve a second interpreter: importing
// it in a subinterpreter fails with ImportError.
template <int (*Exec)(PyObject*)>
PyModuleDef_Slot slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(Exec)},
    {Py_mod_gil, Py_MOD_GIL_NOT_USED},
    {Py_mod_multiple_interpreters, Py_MOD_MULTIPLE_INTERPRETERS_NOT_SUPPORTED},
    {0, nullptr},
};

template <int (*Exec)(PyObject*)>
PyModuleDef make_definition(const char* name) {
    return {PyModuleDef_HEAD_INIT, name, "", 0, nullptr, slots<Exec>, nullptr, nullptr, nullptr};
}

PyModuleDef rainmill_module = make_definition<&exec_rainmill>("rainmill");
PyModuleDef reach_module = make_definition<&exec_standalone<&init_reach>>("init_reach");
PyModuleDef reservoir_module = make_definition<&exec_standalone<&init_reservoir>>("init_reservoir");
PyModuleDef transform_module = make_definition<&exec_standalone<&init_transform>>("init_transform");
PyModuleDef loss_module = make_definition<&exec_standalone<&init_loss>>("init_loss");
PyModuleDef baseflow_module = make_definition<&exec_standalone<&init_baseflow>>("init_baseflow");
PyModuleDef metrics_module = make_definition<&exec_standalone<&init_metrics>>("init_metrics");

}  // namespace

}  // namespace rainmill::py

PyMODINIT_FUNC PyInit_rainmill() { return PyModuleDef_Init(&rainmill::py::rainmill_module); }
PyMODINIT_FUNC PyInit_init_reach() { return PyModuleDef_Init(&rainmill::py::reach_module); }
PyMODINIT_FUNC PyInit_init_reservoir() { return PyModuleDef_Init(&rainmill::py::reservoir_module); }
PyMODINIT_FUNC PyInit_init_transform() { return PyModuleDef_Init(&rainmill::py::transform_module); }
PyMODINIT_FUNC PyInit_init_loss() { return PyModuleDef_Init(&rainmill::py::loss_module); }
PyMODINIT_FUNC PyInit_init_baseflow() { return PyModuleDef_Init(&rainmill::py::baseflow_module); }
PyMODINIT_FUNC PyInit_init_metrics() { return PyModuleDef_Init(&rainmill::py::metrics_module); }
