// Error types of the numeric core. The core never sees Python: the binding
// layer translates these at the boundary of each call.
#pragma once

#include <stdexcept>
#include <string>

namespace rainmill {

// A failure the caller caused (bad argument value, out-of-range lookup).
// Surfaces in Python as ValueError carrying exactly this message.
class InvalidInput : public std::runtime_error {
public:
    explicit InvalidInput(const std::string& message) : std::runtime_error(message) {}
};

// A call made without something it needs (surfaces as RuntimeError).
class InvalidCall : public std::runtime_error {
public:
    explicit InvalidCall(const std::string& message) : std::runtime_error(message) {}
};

// A broken internal invariant. Surfaces as the panic exception, never as an
// ordinary error, so a bug is never mistaken for a caller's mistake.
class InternalFailure : public std::runtime_error {
public:
    explicit InternalFailure(const std::string& message) : std::runtime_error(message) {}
};

}  // namespace rainmill
