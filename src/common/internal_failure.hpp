// Internal failure: the one C++ exception a core may throw to abandon a call.
//
// The boundary (src/boundary/failure_guard) catches it, writes a diagnostic with the
// message and the source location to standard error, and raises PanicException.
// This header is plain C++ and may be used by every core.
#pragma once

#include <exception>
#include <string>
#include <utility>

namespace atomblock {

// Where a failure arose, recorded by the default arguments of current()
// through the compiler builtins __builtin_FILE, __builtin_LINE and
// __builtin_FUNCTION (which GCC and clang both have) rather than through
// std::source_location, which some compiler and library pairs (clang 14 with
// libstdc++ 12, used for fuzzing) do not provide.
struct SourceLocation {
    const char* file = "";
    unsigned line = 0;
    const char* function = "";

    static constexpr SourceLocation current(const char* file = __builtin_FILE(),
                                            unsigned line = __builtin_LINE(),
                                            const char* function = __builtin_FUNCTION()) noexcept {
        return SourceLocation{file, line, function};
    }
    const char* file_name() const noexcept { return file; }
    unsigned line_number() const noexcept { return line; }
    const char* function_name() const noexcept { return function; }
};

class InternalFailure : public std::exception {
public:
    explicit InternalFailure(std::string message, SourceLocation where = SourceLocation::current())
        : message_(std::move(message)), where_(where) {}

    const char* what() const noexcept override { return message_.c_str(); }
    const std::string& message() const noexcept { return message_; }
    const SourceLocation& where() const noexcept { return where_; }

private:
    std::string message_;
    SourceLocation where_;
};

// Throws InternalFailure; the default argument records the caller's location.
[[noreturn]] inline void fail(std::string message,
                              SourceLocation where = SourceLocation::current()) {
    throw InternalFailure(std::move(message), where);
}

}  // namespace atomblock
