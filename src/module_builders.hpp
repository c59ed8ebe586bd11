// The builders that fill each submodule. The package's exec step calls them
// all; each standalone module's exec step calls its own one.
#pragma once

#include <Python.h>

namespace rainmill::py {

void init_reach(PyObject* module);
void init_reservoir(PyObject* module);
void init_transform(PyObject* module);
void init_loss(PyObject* module);
void init_baseflow(PyObject* module);
void init_metrics(PyObject* module);

}  // namespace rainmill::py
