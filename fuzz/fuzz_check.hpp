// Assertion helpers shared by the libFuzzer targets: a failed check prints
// what differed and aborts, which libFuzzer records as a crash with its input.
#pragma once

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
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

// Appends the UTF-8 form of a code point below 0x110000 (the references'
// own encoder, independent of the one in the writer core).
inline void append_utf8(std::string& out, std::uint32_t cp) {
    if (cp < 0x80) {
        out += static_cast<char>(cp);
    } else if (cp < 0x800) {
        out += static_cast<char>(0xC0 | (cp >> 6));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
        out += static_cast<char>(0xE0 | (cp >> 12));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (cp >> 18));
        out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    }
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
