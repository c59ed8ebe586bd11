// Parameters handed to a continuous kernel as a dict of floats by name: read
// into the kernel's order, every name required once and no other accepted
// (a str subclass can make two keys of the same text).
#pragma once

#include <Python.h>

#include <array>
#include <cstddef>
#include <string>
#include <string_view>

#include "utils/errors.hpp"
#include "utils/named.hpp"

namespace rainmill::py {

template <std::size_t N>
std::array<double, N> named_values(const NamedList<double>& given, std::string_view what,
                                   const std::array<std::string_view, N>& names) {
    std::array<double, N> values{};
    std::array<bool, N> seen{};
    for (const auto& [name, value] : given) {
        std::size_t k = 0;
        while (k < N && names[k] != name) ++k;
        if (k == N) {
            throw InvalidInput(std::string(what) + " has no entry '" + name + "'.");
        }
        if (seen[k]) {
            throw InvalidInput(std::string(what) + " has '" + name + "' twice.");
        }
        values[k] = value;
        seen[k] = true;
    }
    for (std::size_t k = 0; k < N; ++k) {
        if (!seen[k]) {
            throw InvalidInput(std::string(what) + " lacks '" + std::string(names[k]) + "'.");
        }
    }
    return values;
}

}  // namespace rainmill::py

namespace rainmill::py {

// The names of a continuous kernel's parameters, fluxes and storages are declared once, in its
// binding: the kernel reads its parameters by them, and the module publishes them as
// LAYOUTS[kernel][group] (a tuple of str), from which the models package reads its result blocks,
// so that no name is written twice.
void publish_names(PyObject* module, const char* kernel, const char* group,
                   const std::string_view* names, std::size_t count);

template <std::size_t N>
void publish_names(PyObject* module, const char* kernel, const char* group,
                   const std::array<std::string_view, N>& names) {
    publish_names(module, kernel, group, names.data(), N);
}

}  // namespace rainmill::py
