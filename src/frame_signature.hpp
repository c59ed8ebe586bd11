// What the call frame knows of a callable: its name, owner and parameters.
// One constant per callable drives argument binding, the binding messages and
// the text signature of the docstring, so they can never disagree.
#pragma once

#include <Python.h>

#include <cstddef>
#include <span>
#include <string>

namespace rainmill::py {

// One parameter. `type` is the Python type its converter takes, as the C++
// parameter type of the bound function names it ("float", "Sequence[float]",
// "ContinuousTimeSeries", "float | None"): the frame checks at compile time
// that the two agree.
struct Param {
    const char* name;
    const char* type;
    // Shown in the text signature after "="; optional parameters without one
    // show "None". Present exactly for a parameter whose omission means a
    // default other than None, and then the default's own text.
    const char* shown_default = nullptr;
};

enum class CallableKind { function, method, constructor };

// Written with designated initializers, so that every literal says what it
// is. The frame checks at compile time that the descriptor and the bound C++
// function describe the same call: the number of parameters, each one's type
// and whether it may be omitted, the result's type and the owning class.
struct Signature {
    const char* name;                 // "__new__" for constructors
    const char* owner = nullptr;      // class name for methods and constructors
    std::span<const Param> params{};  // in order
    std::size_t required = 0;         // the first `required` parameters must be given
    const char* returns = "None";     // the Python type of the result
    const char* doc_body = "";        // docstring text after the text signature
    CallableKind kind = CallableKind::function;
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
