// The event methods of rainmill_models._kernels.
#include "frame.hpp"
#include "kernels/builders.hpp"
#include "kernels/event_builders.hpp"

namespace rainmill::py {

void add_event_methods(PyObject* module) {
    add_event_losses(module);
    add_event_transforms(module);
    add_event_routing(module);
    add_event_baseflows(module);
}

}  // namespace rainmill::py
