// Internal failure: the one C++ exception a core may throw to abandon a call.
//
// The boundary (src/lib/failure_guard) catches it, writes a diagnostic with the
// message and the source location to standard error, and raises PanicException.
// This header is plain C++ and may be used by every core.
#pragma once

#include <exception>
#include <source_location>
#include <string>
#include <utility>

namespace atomblock {

class InternalFailure : public std::exception {
public:
    explicit InternalFailure(std::string message,
                             std::source_location where = std::source_location::current())
        : message_(std::move(message)), where_(where) {}

    const char* what() const noexcept override { return message_.c_str(); }
    const std::string& message() const noexcept { return message_; }
    const std::source_location& where() const noexcept { return where_; }

private:
    std::string message_;
    std::source_location where_;
};

// Throws InternalFailure; the default argument records the caller's location.
[[noreturn]] inline void fail(std::string message,
                              std::source_location where = std::source_location::current()) {
    throw InternalFailure(std::move(message), where);
}

}  // namespace atomblock
