// The builders of the event methods' bindings, each in its own file, called
// by add_event_methods.
#pragma once

#include <Python.h>

namespace rainmill::py {

void add_event_losses(PyObject* module);
void add_event_transforms(PyObject* module);
void add_event_routing(PyObject* module);
void add_event_baseflows(PyObject* module);

}  // namespace rainmill::py
