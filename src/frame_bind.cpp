#include <deque>
#include <mutex>
#include <vector>

#include "frame_errors.hpp"
#include "frame_signature.hpp"

namespace rainmill::py {

namespace {

// 'a'; 'a' and 'b'; 'a', 'b', and 'c'
std::string quoted_list(const std::vector<const char*>& names) {
    std::string text;
    for (std::size_t i = 0; i < names.size(); ++i) {
        if (i > 0) {
            if (names.size() == 2) {
                text += " and ";
            } else {
                text += i + 1 == names.size() ? ", and " : ", ";
            }
        }
        text += '\'';
        text += names[i];
        text += '\'';
    }
    return text;
}

[[noreturn]] void too_many_positional(const Signature& signature, Py_ssize_t given) {
    const std::size_t count = signature.params.size();
    std::string message = full_name(signature) + " takes ";
    if (signature.required == count) {
        message += std::to_string(count);
    } else {
        message += "from " + std::to_string(signature.required) + " to " + std::to_string(count);
    }
    message += " positional arguments but " + std::to_string(given) +
               (given == 1 ? " was given" : " were given");
    raise(PyExc_TypeError, message);
}

void place_keyword(const Signature& signature, PyObject* keyword, PyObject* value,
                   PyObject** slots) {
    if (!PyUnicode_Check(keyword)) raise(PyExc_TypeError, "keywords must be strings");
    for (std::size_t i = 0; i < signature.params.size(); ++i) {
        const char* name = signature.params[i].name;
        // Compares the text without encoding it: a keyword that cannot be
        // encoded (a lone surrogate) simply matches no parameter.
        if (PyUnicode_EqualToUTF8(keyword, name) == 1) {
            if (slots[i] != nullptr) {
                raise(PyExc_TypeError,
                      full_name(signature) + " got multiple values for argument '" + name + "'");
            }
            slots[i] = value;
            return;
        }
    }
    // The keyword's own text, as the interpreter's functions quote it.
    Ref message = checked(PyUnicode_FromFormat("%s got an unexpected keyword argument '%U'",
                                               full_name(signature).c_str(), keyword));
    PyErr_SetObject(PyExc_TypeError, message.get());
    throw ErrorPending{};
}

void check_required(const Signature& signature, Py_ssize_t nargs, PyObject** slots) {
    if (static_cast<std::size_t>(nargs) >= signature.required) return;
    std::vector<const char*> missing;
    for (std::size_t i = static_cast<std::size_t>(nargs); i < signature.required; ++i) {
        if (slots[i] == nullptr) missing.push_back(signature.params[i].name);
    }
    if (missing.empty()) return;
    raise(PyExc_TypeError, full_name(signature) + " missing " + std::to_string(missing.size()) +
                               " required positional " +
                               (missing.size() == 1 ? "argument" : "arguments") + ": " +
                               quoted_list(missing));
}

void place_positional(const Signature& signature, PyObject* const* args, Py_ssize_t nargs,
                      PyObject** slots) {
    if (static_cast<std::size_t>(nargs) > signature.params.size()) {
        too_many_positional(signature, nargs);
    }
    for (Py_ssize_t i = 0; i < nargs; ++i) slots[i] = args[i];
}

}  // namespace

std::string full_name(const Signature& signature) {
    std::string name;
    if (signature.owner != nullptr) {
        name += signature.owner;
        name += '.';
    }
    name += signature.name;
    name += "()";
    return name;
}

std::string text_signature(const Signature& signature) {
    std::string text =
        signature.kind == CallableKind::constructor ? signature.owner : signature.name;
    text += '(';
    bool first = true;
    if (signature.kind == CallableKind::method) {
        text += "$self";
        first = false;
    }
    for (std::size_t i = 0; i < signature.params.size(); ++i) {
        if (!first) text += ", ";
        first = false;
        text += signature.params[i].name;
        if (i >= signature.required) {
            text += '=';
            const char* shown = signature.params[i].shown_default;
            text += shown != nullptr ? shown : "None";
        }
    }
    text += ')';
    return text;
}

const char* docstring(const Signature& signature) {
    // Docstrings are built once per callable at type or function creation and
    // must outlive every type and function object that points at them.
    static std::mutex mutex;
    static std::deque<std::string> texts;
    std::string text = text_signature(signature) + "\n--\n\n" + signature.doc_body;
    const std::lock_guard lock(mutex);
    texts.push_back(std::move(text));
    return texts.back().c_str();
}

void bind_vectorcall(const Signature& signature, PyObject* const* args, Py_ssize_t nargs,
                     PyObject* kwnames, PyObject** slots) {
    place_positional(signature, args, nargs, slots);
    if (kwnames != nullptr) {
        const Py_ssize_t count = PyTuple_GET_SIZE(kwnames);
        for (Py_ssize_t i = 0; i < count; ++i) {
            place_keyword(signature, PyTuple_GET_ITEM(kwnames, i), args[nargs + i], slots);
        }
    }
    check_required(signature, nargs, slots);
}

void bind_tuple(const Signature& signature, PyObject* args, PyObject* kwargs, PyObject** slots) {
    const Py_ssize_t nargs = PyTuple_GET_SIZE(args);
    place_positional(signature, reinterpret_cast<PyTupleObject*>(args)->ob_item, nargs, slots);
    if (kwargs != nullptr) {
        Py_ssize_t position = 0;
        PyObject* key = nullptr;
        PyObject* value = nullptr;
        while (PyDict_Next(kwargs, &position, &key, &value)) {
            place_keyword(signature, key, value, slots);
        }
    }
    check_required(signature, nargs, slots);
}

}  // namespace rainmill::py
