// Python class Values: a computed run of doubles exported as a read-only
// buffer, so that numpy.frombuffer reads a kernel's result without a copy.
#include <vector>

#include "frame.hpp"
#include "kernels/builders.hpp"
#include "utils/values.hpp"

namespace rainmill::py {

namespace {

constexpr const char* kValuesBody =
    "A run of float64 values computed by a kernel. It exports a read-only\n"
    "one-dimensional buffer of doubles (format \"d\"): numpy.frombuffer(values)\n"
    "reads it without a copy and keeps it alive.";

constexpr Param kValuesParams[] = {{.name = "data", .type = "Sequence[float]"}};
constexpr Signature kValuesNew{.name = "__new__",
                               .owner = "Values",
                               .params = kValuesParams,
                               .required = 1,
                               .returns = "Values",
                               .doc_body = kValuesBody,
                               .kind = CallableKind::constructor};

Values construct(std::vector<double> data) { return Values{std::move(data)}; }

PyGetSetDef values_getset[] = {
    readonly<&Values::data>("data"),
    {},
};

PyMethodDef values_methods[] = {
    {},
};

}  // namespace

void add_values_class(PyObject* module) { add_class<Values>(module); }

}  // namespace rainmill::py

RAINMILL_DEFINE_CLASS(Values, with_buffer<&Values::data>(
                                  class_spec<Values>("Values", docstring(kValuesNew), false,
                                                     &constructor_entry<&construct, kValuesNew>,
                                                     values_getset, values_methods)))
