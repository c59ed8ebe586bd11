// Error types of the numeric core. The core never sees Python: the binding
// layer translates these at the boundary of each call.
#pragma once

#include <memory>
#include <stdexcept>
#include <string>

namespace rainmill {

// The core's errors carry their whole message, NUL characters included
// (what() stops at the first one); copies share it and never throw.
class MessageError : public std::runtime_error {
public:
    explicit MessageError(const std::string& message)
        : std::runtime_error(message), message_(std::make_shared<const std::string>(message)) {}
    [[nodiscard]] const std::string& message() const noexcept { return *message_; }

private:
    std::shared_ptr<const std::string> message_;
};

// A failure the caller caused (bad argument value, out-of-range lookup).
// Surfaces in Python as ValueError carrying exactly this message.
class InvalidInput : public MessageError {
public:
    using MessageError::MessageError;
};

// A call made without something it needs (surfaces as RuntimeError).
class InvalidCall : public MessageError {
public:
    using MessageError::MessageError;
};

// A broken internal invariant. Surfaces as the panic exception, never as an
// ordinary error, so a bug is never mistaken for a caller's mistake.
class InternalFailure : public MessageError {
public:
    using MessageError::MessageError;
};

}  // namespace rainmill
