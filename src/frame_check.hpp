// Compile-time proof that a callable's descriptor and its C++ function agree.
// Each C++ parameter type names the Python type its converter takes, and each
// result type the Python type it becomes; the frame compares those names with
// the descriptor's, so a slip in a descriptor is a compile error instead of a
// crash at the first call.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <tuple>
#include <type_traits>
#include <utility>
#include <variant>
#include <vector>

#include "frame_classes.hpp"
#include "frame_convert.hpp"
#include "frame_signature.hpp"
#include "pyref.hpp"
#include "utils/named.hpp"

namespace rainmill::py::proof {

// A type name assembled at compile time.
struct TypeText {
    static constexpr std::size_t kCapacity = 96;
    char text[kCapacity]{};
    std::size_t size = 0;

    constexpr TypeText() = default;
    constexpr TypeText(const char* part) { append(part); }  // NOLINT: implicit by design
    constexpr TypeText& append(const char* part) {
        while (*part != '\0') text[size++] = *part++;
        return *this;
    }
    constexpr TypeText& append(const TypeText& part) { return append(part.text); }
};

constexpr TypeText operator+(TypeText left, const TypeText& right) { return left.append(right); }

constexpr bool same_text(const char* given, const TypeText& expected) {
    if (given == nullptr) return false;
    std::size_t i = 0;
    for (; given[i] != '\0'; ++i) {
        if (i >= expected.size || given[i] != expected.text[i]) return false;
    }
    return i == expected.size;
}

template <class T>
inline constexpr bool unsupported = false;

template <class T>
struct Shape {
    static constexpr bool optional = false;
    static constexpr bool with_default = false;
};
template <class T>
struct Shape<std::optional<T>> {
    using inner = T;
    static constexpr bool optional = true;
    static constexpr bool with_default = false;
};
template <class T, T Default>
struct Shape<WithDefault<T, Default>> {
    using inner = T;
    static constexpr bool optional = true;
    static constexpr bool with_default = true;
    static constexpr T value = Default;
};

template <class T>
inline constexpr bool is_named_list = false;
template <class T>
inline constexpr bool is_named_list<NamedList<T>> = true;
template <class T>
inline constexpr bool is_variant = false;
template <class... Ts>
inline constexpr bool is_variant<std::variant<Ts...>> = true;
template <class T>
inline constexpr bool is_tuple = false;
template <class... Ts>
inline constexpr bool is_tuple<std::tuple<Ts...>> = true;

template <class T>
inline constexpr bool is_borrowed = false;
template <class T>
inline constexpr bool is_borrowed<Borrowed<T>> = true;

template <class T>
inline constexpr bool is_integer =
    std::is_same_v<T, std::size_t> || std::is_same_v<T, std::int64_t> ||
    std::is_same_v<T, std::int32_t>;

// The Python type that Arg<T> accepts (Result false) or that to_python makes
// of a T (Result true).
template <class T, bool Result>
constexpr TypeText type_name() {
    if constexpr (std::is_same_v<T, double>) {
        return "float";
    } else if constexpr (is_integer<T>) {
        return "int";
    } else if constexpr (std::is_same_v<T, bool>) {
        return "bool";
    } else if constexpr (std::is_same_v<T, std::string>) {
        return "str";
    } else if constexpr (std::is_same_v<T, std::vector<double>>) {
        return Result ? "list[float]" : "Sequence[float]";
    } else if constexpr (std::is_same_v<
                             T, std::conditional_t<Result, TimedeltaSeconds, TimedeltaArg>>) {
        return "timedelta";
    } else if constexpr (Result && std::is_same_v<T, Ref>) {
        return "object";
    } else if constexpr (!Result && Shape<T>::with_default) {
        return type_name<typename Shape<T>::inner, Result>();
    } else if constexpr (Shape<T>::optional && !Shape<T>::with_default) {
        return type_name<typename Shape<T>::inner, Result>() + " | None";
    } else if constexpr (is_named_list<T>) {
        return TypeText("dict[str, ") + type_name<typename T::value_type::second_type, Result>() +
               "]";
    } else if constexpr (!Result && is_borrowed<T>) {
        return type_name<std::remove_cvref_t<decltype(*std::declval<T>())>, Result>();
    } else if constexpr (!Result && is_variant<T>) {
        return EnumNames<T>::name;
    } else if constexpr (Result && is_tuple<T>) {
        return []<std::size_t... I>(std::index_sequence<I...>) {
            TypeText text("tuple[");
            ((text.append(I == 0 ? "" : ", ")
                  .append(type_name<std::tuple_element_t<I, T>, true>())),
             ...);
            return text.append("]");
        }(std::make_index_sequence<std::tuple_size_v<T>>{});
    } else if constexpr (ClassBinding<T>::bound) {
        return ClassBinding<T>::name;
    } else {
        static_assert(unsupported<T>, "no conversion takes or makes this C++ type");
        return {};
    }
}

template <class T>
constexpr TypeText parameter_type() {
    return type_name<T, false>();
}

template <class T>
constexpr TypeText result_type() {
    return type_name<T, true>();
}

// How a default value shows in a text signature: Python's own spelling.
template <class T, T Value>
constexpr TypeText default_text() {
    if constexpr (std::is_same_v<T, bool>) {
        return Value ? "True" : "False";
    } else {
        static_assert(std::is_integral_v<T>, "a default shows as a bool or an integer");
        static_assert(std::is_unsigned_v<T> || Value >= 0, "defaults are not negative");
        char digits[24]{};
        std::size_t count = 0;
        auto magnitude = Value;
        do {
            digits[count++] = static_cast<char>('0' + static_cast<int>(magnitude % 10));
            magnitude /= 10;
        } while (magnitude != 0);
        TypeText text;
        while (count > 0) text.text[text.size++] = digits[--count];
        return text;
    }
}

template <const Signature& Sig, std::size_t I, class T>
constexpr bool parameter_matches() {
    constexpr Param param = Sig.params[I];
    static_assert(same_text(param.type, parameter_type<T>()),
                  "a descriptor's parameter type differs from the converter of the C++ parameter");
    static_assert((I >= Sig.required) == Shape<T>::optional,
                  "a parameter is optional in the descriptor exactly when its C++ type is "
                  "std::optional or WithDefault");
    static_assert((param.shown_default != nullptr) == Shape<T>::with_default,
                  "a descriptor shows a default exactly for a WithDefault parameter");
    if constexpr (Shape<T>::with_default) {
        static_assert(same_text(param.shown_default,
                                default_text<typename Shape<T>::inner, Shape<T>::value>()),
                      "the default a descriptor shows differs from the WithDefault value");
    }
    return true;
}

// Args: the C++ parameters that the descriptor's parameters bind to, in order.
template <const Signature& Sig, CallableKind Kind, class Result, class... Args>
constexpr bool signature_matches() {
    static_assert(Sig.kind == Kind,
                  "the descriptor's kind differs from the entry point binding it");
    static_assert(sizeof...(Args) == Sig.params.size(),
                  "a descriptor names as many parameters as the C++ function takes");
    static_assert(Sig.required <= Sig.params.size(),
                  "a descriptor requires no more parameters than it names");
    static_assert((Sig.owner == nullptr) == (Kind == CallableKind::function),
                  "methods and constructors name their class, functions do not");
    static_assert(same_text(Sig.returns, result_type<std::decay_t<Result>>()),
                  "a descriptor's result type differs from the C++ function's result");
    return []<std::size_t... I>(std::index_sequence<I...>) {
        return (parameter_matches<Sig, I, std::decay_t<Args>>() && ...);
    }(std::index_sequence_for<Args...>{});
}

// A method's or constructor's class is the one its descriptor names.
template <const Signature& Sig, class Class>
constexpr bool owner_matches() {
    static_assert(ClassBinding<Class>::bound, "methods and constructors belong to a bound class");
    static_assert(same_text(Sig.owner, ClassBinding<Class>::name),
                  "a descriptor's owner differs from the class the C++ function works on");
    return true;
}

}  // namespace rainmill::py::proof
