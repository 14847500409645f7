// Assertion helpers shared by the libFuzzer targets: a failed check prints
// what differed and aborts, which libFuzzer records as a crash with its input.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <string_view>

namespace fuzzcheck {

// Longest prefix of a byte string shown in a failure report.
inline constexpr std::size_t kShownBytes = 300;

// Prints a byte string with C escapes, cut after kShownBytes bytes.
inline void print_bytes(const char* label, std::string_view bytes) {
    std::fprintf(stderr, "  %s (%zu bytes): \"", label, bytes.size());
    for (std::size_t i = 0; i < bytes.size() && i < kShownBytes; ++i) {
        const auto c = static_cast<unsigned char>(bytes[i]);
        if (c >= 0x20 && c < 0x7F && c != '"' && c != '\\') {
            std::fputc(c, stderr);
        } else {
            std::fprintf(stderr, "\\x%02x", c);
        }
    }
    std::fputs(bytes.size() > kShownBytes ? "\"...\n" : "\"\n", stderr);
}

[[noreturn]] inline void failed(const char* condition, const char* file, int line) {
    std::fprintf(stderr, "CHECK failed: %s at %s:%d\n", condition, file, line);
    std::abort();
}

}  // namespace fuzzcheck

// FUZZ_CHECK(condition, statements...): on failure runs the statements (which
// print the details), then aborts.
#define FUZZ_CHECK(cond, ...) \
    do { \
        if (!(cond)) { \
            __VA_ARGS__; \
            fuzzcheck::failed(#cond, __FILE__, __LINE__); \
        } \
    } while (0)
