// The root of rainmill_models._kernels: one entry point and its exec step.
#include <Python.h>

#include "frame.hpp"
#include "kernels/builders.hpp"

namespace rainmill::py {

namespace {

int exec_kernels(PyObject* module) {
    return guard_status([module] {
        prepare_module(module);
        add_values_class(module);
        add_allocator_functions(module);
        add_event_methods(module);
        add_continuous_methods(module);
        add_distributed_methods(module);
    });
}

PyModuleDef_Slot kernels_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(&exec_kernels)},
    {Py_mod_gil, Py_MOD_GIL_NOT_USED},
    {Py_mod_multiple_interpreters, Py_MOD_MULTIPLE_INTERPRETERS_NOT_SUPPORTED},
    {0, nullptr},
};

PyModuleDef kernels_module = {PyModuleDef_HEAD_INIT,
                              "rainmill_models._kernels",
                              "The models package's native computations (losses, transforms,\n"
                              "routing, baseflow, snow and soil moisture beyond the rainmill\n"
                              "extension), built from the same core.",
                              0,
                              nullptr,
                              kernels_slots,
                              nullptr,
                              nullptr,
                              nullptr};

}  // namespace

}  // namespace rainmill::py

PyMODINIT_FUNC PyInit__kernels() { return PyModuleDef_Init(&rainmill::py::kernels_module); }
