// Function keep_buffer_pages of rainmill_models._kernels.
#include "frame.hpp"
#include "kernels/builders.hpp"
#include "utils/large_buffers.hpp"

namespace rainmill::py {

namespace {

constexpr const char* kKeepPagesBody =
    "Have this process keep the pages of large temporaries from one call to the\n"
    "next, even where the environment tunes the allocator (a Dask worker's\n"
    "MALLOC_TRIM_THRESHOLD_). True once done, False where the C library is not\n"
    "glibc.";
constexpr Signature kKeepPages{
    .name = "keep_buffer_pages", .returns = "bool", .doc_body = kKeepPagesBody};

bool keep_pages() { return keep_large_buffer_pages_over_environment(); }

PyMethodDef keep_pages_def = function_def<&keep_pages, kKeepPages>();

}  // namespace

void add_allocator_functions(PyObject* module) { add_function(module, &keep_pages_def); }

}  // namespace rainmill::py
