// What every binding unit includes: the call frame's entry points, built from
// a Signature constant and a C++ function (or member) whose parameter types
// choose the converters. Exposing a computation is a few declarative lines:
//
//   constexpr Param kParams[] = {{.name = "sim", .type = "Sequence[float]"},
//                                {.name = "obs", .type = "Sequence[float]"},
//                                {.name = "use_log", .type = "bool", .shown_default = "False"}};
//   constexpr Signature kSignature{.name = "calculate_kge", .params = kParams, .required = 2,
//                                  .returns = "float", .doc_body = kDoc};
//   double kge(std::vector<double> sim, std::vector<double> obs,
//              WithDefault<bool, false> use_log);
//   PyMethodDef def = function_def<&kge, kSignature>();
//
// Every definition proves at compile time that the descriptor and the
// function agree (frame_check.hpp).
#pragma once

#include <Python.h>

#include <array>
#include <cstddef>
#include <functional>
#include <tuple>
#include <type_traits>
#include <utility>

#include "frame_buffer.hpp"
#include "frame_check.hpp"
#include "frame_classes.hpp"
#include "frame_convert.hpp"
#include "frame_errors.hpp"
#include "frame_registry.hpp"
#include "frame_signature.hpp"
#include "pyref.hpp"

namespace rainmill::py {

namespace detail {

template <class F>
struct FunctionTraits;

template <class R, class... A>
struct FunctionTraits<R (*)(A...)> {
    using result = R;
    using args = std::tuple<A...>;
};

// A const member function takes its object as a leading parameter.
template <class R, class C, class... A>
struct FunctionTraits<R (C::*)(A...) const> {
    using result = R;
    using args = std::tuple<const C&, A...>;
};

template <class R, class C, class... A>
struct FunctionTraits<R (C::*)(A...) const noexcept> {
    using result = R;
    using args = std::tuple<const C&, A...>;
};

// A data member reads as a getter of its object.
template <class T, class C>
    requires(!std::is_function_v<T>)
struct FunctionTraits<T C::*> {
    using result = const T&;
    using args = std::tuple<const C&>;
};

template <auto Fn>
using Result = typename FunctionTraits<decltype(Fn)>::result;

template <auto Fn, std::size_t I>
using ParamType =
    std::decay_t<std::tuple_element_t<I, typename FunctionTraits<decltype(Fn)>::args>>;

template <class T>
T convert_param(PyObject* slot, const char* name) {
    try {
        return Arg<T>::from(slot);
    } catch (const ErrorPending&) {
        rethrow_as_argument_error(name);
    }
}

// Converts the bound slots one at a time, left to right (braced
// initialisation fixes the order), then calls Fn with any leading arguments.
template <auto Fn, const Signature& Sig, std::size_t Offset, class... Lead, std::size_t... I>
decltype(auto) invoke(PyObject* const* slots, std::index_sequence<I...>, Lead&&... lead) {
    std::tuple<ParamType<Fn, Offset + I>...> converted{
        convert_param<ParamType<Fn, Offset + I>>(slots[I], Sig.params[I].name)...};
    return std::apply(
        [&](auto&... values) -> decltype(auto) {
            return std::invoke(Fn, std::forward<Lead>(lead)..., std::move(values)...);
        },
        converted);
}

template <auto Fn, const Signature& Sig, std::size_t Offset, class... Lead>
decltype(auto) bind_and_invoke(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                               Lead&&... lead) {
    std::array<PyObject*, Sig.params.size() + 1> slots{};
    bind_vectorcall(Sig, args, nargs, kwnames, slots.data());
    return invoke<Fn, Sig, Offset>(slots.data(), std::make_index_sequence<Sig.params.size()>{},
                                   std::forward<Lead>(lead)...);
}

template <auto Fn>
using SelfType =
    std::remove_cvref_t<std::tuple_element_t<0, typename FunctionTraits<decltype(Fn)>::args>>;

// Whether Sig describes Fn bound as a callable of kind Kind, whose first
// Offset C++ parameters (the object of a method) are not Python parameters.
template <auto Fn, const Signature& Sig, CallableKind Kind, std::size_t Offset>
constexpr bool describes() {
    using Traits = FunctionTraits<decltype(Fn)>;
    using Args = typename Traits::args;
    if constexpr (Kind == CallableKind::method) {
        static_assert(proof::owner_matches<Sig, SelfType<Fn>>());
    }
    if constexpr (Kind == CallableKind::constructor) {
        static_assert(proof::owner_matches<Sig, std::decay_t<typename Traits::result>>());
    }
    return []<std::size_t... I>(std::index_sequence<I...>) {
        return proof::signature_matches<Sig, Kind, typename Traits::result,
                                        std::tuple_element_t<Offset + I, Args>...>();
    }(std::make_index_sequence<std::tuple_size_v<Args> - Offset>{});
}

// The type a setter assigns: its second parameter, or the data member's type.
template <auto Set>
struct SetterValue {
    using type = ParamType<Set, 1>;
};

template <auto Set>
    requires std::is_member_object_pointer_v<decltype(Set)>
struct SetterValue<Set> {
    using type = std::remove_cvref_t<typename FunctionTraits<decltype(Set)>::result>;
};

}  // namespace detail

// ---- entry points ---------------------------------------------------------

template <auto Fn, const Signature& Sig>
PyObject* function_entry(PyObject* /*module*/, PyObject* const* args, Py_ssize_t nargs,
                         PyObject* kwnames) noexcept {
    return guard([&]() -> PyObject* {
        return to_python(detail::bind_and_invoke<Fn, Sig, 0>(args, nargs, kwnames));
    });
}

template <auto Fn, const Signature& Sig>
PyObject* method_entry(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                       PyObject* kwnames) noexcept {
    using Self = detail::SelfType<Fn>;
    return guard([&]() -> PyObject* {
        const SharedBorrow<Self> borrow(self);
        return to_python(detail::bind_and_invoke<Fn, Sig, 1>(args, nargs, kwnames, borrow.value()));
    });
}

template <auto Fn>
PyObject* noargs_entry(PyObject* self, PyObject* /*unused*/) noexcept {
    using Self = detail::SelfType<Fn>;
    return guard([&]() -> PyObject* {
        const SharedBorrow<Self> borrow(self);
        return to_python(std::invoke(Fn, borrow.value()));
    });
}

// Converts and validates into a finished core value, then allocates the
// instance of the requested type (the class or a Python subclass).
template <auto Fn, const Signature& Sig>
PyObject* constructor_entry(PyTypeObject* subtype, PyObject* args, PyObject* kwargs) noexcept {
    static_assert(detail::describes<Fn, Sig, CallableKind::constructor, 0>());
    return guard([&]() -> PyObject* {
        std::array<PyObject*, Sig.params.size() + 1> slots{};
#ifdef Py_GIL_DISABLED
        // The slots borrow the keyword values until the last conversion; a
        // dictionary shared with another thread (a C caller's own) could drop
        // them meanwhile, so bind a private copy.
        Ref private_kwargs;
        if (kwargs != nullptr) {
            private_kwargs = checked(PyDict_Copy(kwargs));
            kwargs = private_kwargs.get();
        }
#endif
        bind_tuple(Sig, args, kwargs, slots.data());
        auto value =
            detail::invoke<Fn, Sig, 0>(slots.data(), std::make_index_sequence<Sig.params.size()>{});
        return new_instance(subtype, std::move(value));
    });
}

// Get: a data member, a const member function without parameters, or a
// function of the object.
template <auto Get>
PyObject* getter_entry(PyObject* self, void* /*closure*/) noexcept {
    using Self = detail::SelfType<Get>;
    return guard([&]() -> PyObject* {
        const SharedBorrow<Self> borrow(self);
        return to_python(std::invoke(Get, borrow.value()));
    });
}

// Set: a data member, assigned the converted value, or a function of the
// object and the value. The closure is the attribute's name, used in a
// wrapped conversion error.
template <auto Set>
int setter_entry(PyObject* self, PyObject* value, void* closure) noexcept {
    using Self = detail::SelfType<Set>;
    using Value = typename detail::SetterValue<Set>::type;
    return guard_status([&] {
        if (value == nullptr) raise(PyExc_AttributeError, "property has no deleter");
        Value converted = detail::convert_param<Value>(value, static_cast<const char*>(closure));
        const ExclusiveBorrow<Self> borrow(self);
        if constexpr (std::is_member_object_pointer_v<decltype(Set)>) {
            borrow.value().*Set = std::move(converted);
        } else {
            Set(borrow.value(), std::move(converted));
        }
    });
}

// ---- definitions ----------------------------------------------------------

namespace detail {

inline PyMethodDef fastcall_def(const Signature& signature, PyCFunctionFastWithKeywords entry) {
    return {signature.name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(entry)),
            METH_FASTCALL | METH_KEYWORDS, docstring(signature)};
}

}  // namespace detail

template <auto Fn, const Signature& Sig>
PyMethodDef function_def() {
    static_assert(detail::describes<Fn, Sig, CallableKind::function, 0>());
    return detail::fastcall_def(Sig, &function_entry<Fn, Sig>);
}

// Fn: a const member function, or a function taking the object first.
template <auto Fn, const Signature& Sig>
PyMethodDef method_def() {
    static_assert(detail::describes<Fn, Sig, CallableKind::method, 1>());
    return detail::fastcall_def(Sig, &method_entry<Fn, Sig>);
}

// A method without parameters (the interpreter itself refuses arguments).
template <auto Fn, const Signature& Sig>
PyMethodDef noargs_def() {
    static_assert(Sig.params.empty(), "a method without parameters has none in its descriptor");
    static_assert(detail::describes<Fn, Sig, CallableKind::method, 1>());
    return {Sig.name, &noargs_entry<Fn>, METH_NOARGS, docstring(Sig)};
}

template <auto Get>
PyGetSetDef readonly(const char* name, const char* doc = nullptr) {
    return {name, &getter_entry<Get>, nullptr, doc, nullptr};
}

template <auto Get, auto Set>
PyGetSetDef readwrite(const char* name, const char* doc = nullptr) {
    return {name, &getter_entry<Get>, &setter_entry<Set>, doc, const_cast<char*>(name)};
}

// A data member read and assigned as it is.
template <auto Member>
    requires std::is_member_object_pointer_v<decltype(Member)>
PyGetSetDef readwrite(const char* name, const char* doc = nullptr) {
    return readwrite<Member, Member>(name, doc);
}

template <class T>
ClassSpec class_spec(const char* name, const char* doc, bool subclassable, newfunc constructor,
                     PyGetSetDef* getset, PyMethodDef* methods) {
    return {name,         doc,         static_cast<int>(sizeof(Instance<T>)),
            subclassable, constructor, &dealloc_instance<T>,
            getset,       methods};
}

// The buffer of a class whose doubles `Values` reads (a data member or a
// getter): a read-only view of the instance's own values, which the view
// keeps alive; instances never change, so the view is always current.
template <auto Values>
int buffer_entry(PyObject* self, Py_buffer* view, int flags) noexcept {
    using Self = detail::SelfType<Values>;
    return export_doubles(self, std::invoke(Values, reinterpret_cast<Instance<Self>*>(self)->value),
                          view, flags);
}

template <auto Values>
ClassSpec with_buffer(ClassSpec spec) {
    spec.get_buffer = &buffer_entry<Values>;
    spec.release_buffer = &release_doubles;
    return spec;
}

// Defines ClassBinding<Core>::type() from a ClassSpec expression.
#define RAINMILL_DEFINE_CLASS(Core, ...)                                   \
    PyTypeObject* ::rainmill::py::ClassBinding<::rainmill::Core>::type() { \
        static ::rainmill::py::OnceFlag once;                              \
        static PyTypeObject* slot = nullptr;                               \
        static const ::rainmill::py::ClassSpec spec = __VA_ARGS__;         \
        return ::rainmill::py::type_object(spec, once, slot);              \
    }

// ---- module operations ----------------------------------------------------

// Appends `name` to the module's __all__ (creating the list when missing) and
// sets the attribute.
void add_value(PyObject* module, PyObject* name, PyObject* value);

template <class T>
void add_class(PyObject* module) {
    PyTypeObject* type = ClassBinding<T>::type();
    Ref name = checked(PyType_GetName(type));
    add_value(module, name.get(), reinterpret_cast<PyObject*>(type));
}

// Creates the function bound to the module; `def` must live for the process.
void add_function(PyObject* module, PyMethodDef* def);

// Adds `child` under the text after the last "." of its __name__.
void attach_submodule(PyObject* parent, PyObject* child);

Ref new_submodule(const char* name);

// The first step of every exec function: the object must be a module.
void check_module(PyObject* object);

// The first step of every module's exec slot: the object is a module, the
// interpreter is the main one (the class type objects are process-wide), and
// the panic class exists before any call can fail.
void prepare_module(PyObject* module);

}  // namespace rainmill::py
