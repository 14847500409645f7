// TokenCursor: splits one atom line into whitespace-separated tokens on demand.
#pragma once

#include <array>
#include <cstddef>
#include <optional>
#include <string_view>

namespace atomblock::reader {

// The five separator bytes of an atom line: space, tab, line feed, form feed,
// carriage return. Vertical tab and every non-ASCII character are token bytes.
inline constexpr std::string_view kWhitespaceBytes = " \t\n\f\r";

namespace detail {

// Byte-indexed membership table for kWhitespaceBytes (256 = one entry per byte value).
inline constexpr std::array<bool, 256> kIsWhitespace = [] {
    std::array<bool, 256> table{};
    for (char c : kWhitespaceBytes) table[static_cast<unsigned char>(c)] = true;
    return table;
}();

}  // namespace detail

inline constexpr bool is_whitespace_byte(char c) noexcept {
    return detail::kIsWhitespace[static_cast<unsigned char>(c)];
}

// Holds the unread rest of a line (a view: the line must outlive the cursor)
// and a finished flag. Every token is a non-empty view into the line holding
// no whitespace byte; since all separators are ASCII, a token never splits a
// UTF-8 sequence. Only as much of the line is scanned as next() is asked for.
class TokenCursor {
public:
    explicit constexpr TokenCursor(std::string_view line) noexcept
        : pos_(line.data()), end_(line.data() + line.size()) {}

    // The next token, or nothing once the line is used up; after the first
    // nothing, every later call gives nothing as well.
    constexpr std::optional<std::string_view> next() noexcept {
        if (finished_) return std::nullopt;
        while (pos_ != end_ && is_whitespace_byte(*pos_)) ++pos_;
        if (pos_ == end_) {
            finished_ = true;
            return std::nullopt;
        }
        const char* start = pos_;
        while (pos_ != end_ && !is_whitespace_byte(*pos_)) ++pos_;
        std::string_view token(start, static_cast<std::size_t>(pos_ - start));
        if (pos_ != end_) ++pos_;  // step over the one separator that ended the token
        return token;
    }

    constexpr bool finished() const noexcept { return finished_; }

private:
    const char* pos_;
    const char* end_;
    bool finished_ = false;
};

}  // namespace atomblock::reader
