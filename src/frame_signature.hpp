// What the call frame knows of a callable: its name, owner and parameters.
// One constant per callable drives argument binding, the binding messages and
// the text signature of the docstring, so they can never disagree.
#pragma once

#include <Python.h>

#include <cstddef>
#include <span>
#include <string>

namespace rainmill::py {

struct Param {
    const char* name;
    // Shown in the text signature after "="; optional parameters without one
    // show "None".
    const char* shown_default = nullptr;
};

enum class CallableKind { function, method, constructor };

struct Signature {
    const char* name;        // "__new__" for constructors
    const char* owner;       // class name for methods and constructors, else nullptr
    std::span<const Param> params;
    std::size_t required;    // the first `required` parameters must be given
    const char* doc_body;    // docstring text after the text signature
    CallableKind kind;
};

// "{owner}.{name}()" or "{name}()".
std::string full_name(const Signature& signature);

// "name(a, b=None)", "name($self, a)" or, for a constructor, "Owner(a, b)".
std::string text_signature(const Signature& signature);

// The text signature, "\n--\n\n" and the body; kept for the life of the process.
const char* docstring(const Signature& signature);

// Binds positional arguments and keyword names/values to one slot per
// parameter (borrowed references; empty slots are nullptr). Raises TypeError
// with the binding messages and throws ErrorPending.
void bind_vectorcall(const Signature& signature, PyObject* const* args, Py_ssize_t nargs,
                     PyObject* kwnames, PyObject** slots);
void bind_tuple(const Signature& signature, PyObject* args, PyObject* kwargs, PyObject** slots);

}  // namespace rainmill::py
