// Parameters handed to a continuous kernel as a dict of floats by name: read
// into the kernel's order, every name required once and no other accepted
// (a str subclass can make two keys of the same text).
#pragma once

#include <Python.h>

#include <array>
#include <cstddef>
#include <span>
#include <string>
#include <string_view>

#include "utils/errors.hpp"
#include "utils/named.hpp"

namespace rainmill::py {

// A name a continuous kernel reads or returns, with its unit (empty: none) for the docstring.
struct Named {
    std::string_view name;
    std::string_view unit = {};
};

template <std::size_t N>
std::array<double, N> named_values(const NamedList<double>& given, std::string_view what,
                                   const std::array<Named, N>& names) {
    std::array<double, N> values{};
    std::array<bool, N> seen{};
    for (const auto& [name, value] : given) {
        std::size_t k = 0;
        while (k < N && names[k].name != name) ++k;
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
            throw InvalidInput(std::string(what) + " lacks '" + std::string(names[k].name) + "'.");
        }
    }
    return values;
}

// The names of a continuous kernel's parameters, fluxes and storages are declared once, in its
// binding: the kernel reads its parameters by them, the module publishes them as
// LAYOUTS[kernel][group] (a tuple of str), from which the models package reads its result blocks,
// and its docstring lists them where its text says {parameters}, {fluxes} or {storages} (each
// name with its unit), so that no name is written twice.
struct Layout {
    const char* kernel;
    std::span<const Named> parameters;
    std::span<const Named> fluxes;
    std::span<const Named> storages;
};

// Adds the kernel's function `def` to the module with its names filled into its docstring, and
// publishes the names in LAYOUTS.
void add_continuous_kernel(PyObject* module, PyMethodDef* def, const Layout& layout);

}  // namespace rainmill::py
