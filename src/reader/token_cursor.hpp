// TokenCursor: splits one atom line into whitespace-separated tokens on demand.
#pragma once

#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "common/portable_ops.hpp"
#include "common/simd.hpp"

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

// Bytes classified at once by separator_mask: one SSE2 register.
inline constexpr std::size_t kBlockBytes = 16;

// Bit i (i < kBlockBytes) set when p[i] is a separator. Reads exactly the
// kBlockBytes bytes p[0] .. p[15]; the caller guarantees they exist.
inline std::uint32_t separator_mask(const char* p) noexcept {
#if ATOMBLOCK_HAVE_SSE2
    const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
    const __m128i space = _mm_set1_epi8(' ');
    const __m128i spaces = _mm_cmpeq_epi8(bytes, space);
    // Bytes up to the space: the space and the control bytes. Without
    // control bytes, as in most lines, the spaces are the separators.
    const __m128i up_to_space = _mm_cmpeq_epi8(_mm_min_epu8(bytes, space), bytes);
    const auto space_bits = static_cast<std::uint32_t>(_mm_movemask_epi8(spaces));
    if (static_cast<std::uint32_t>(_mm_movemask_epi8(up_to_space)) == space_bits) return space_bits;
    // Tab, line feed, vertical tab, form feed and carriage return are 9 to
    // 13, so bytes - 9 <= 4 holds exactly for them; vertical tab is no separator.
    const __m128i from_tab = _mm_sub_epi8(bytes, _mm_set1_epi8('\t'));
    const __m128i tab_to_return =
        _mm_cmpeq_epi8(_mm_min_epu8(from_tab, _mm_set1_epi8('\r' - '\t')), from_tab);
    const __m128i vertical_tab = _mm_cmpeq_epi8(bytes, _mm_set1_epi8('\v'));
    return static_cast<std::uint32_t>(
        _mm_movemask_epi8(_mm_or_si128(spaces, _mm_andnot_si128(vertical_tab, tab_to_return))));
#else
    std::uint32_t mask = 0;
    for (std::size_t i = 0; i < kBlockBytes; ++i)
        mask |= std::uint32_t{kIsWhitespace[static_cast<unsigned char>(p[i])]} << i;
    return mask;
#endif
}

}  // namespace detail

inline constexpr bool is_whitespace_byte(char c) noexcept {
    return detail::kIsWhitespace[static_cast<unsigned char>(c)];
}

// Holds the unread rest of a line (a view: the line must outlive the cursor).
// Every token is a non-empty view into the line holding no whitespace byte;
// since all separators are ASCII, a token never splits a UTF-8 sequence.
//
// The line is classified kWindowBytes bytes at a time, each window once,
// into one bit per byte, from which two bit sets follow: the first byte and
// the last byte of every token. The k-th token of a window is then its k-th
// start and its k-th end, each a count of trailing zero bits after the
// lower ones are cleared, so one token does not wait for the position of the
// one before it. Only a token that reaches the end of a window looks at the
// next window before it is done.
//
// Classification is by kBlockBytes-byte blocks, and no byte outside the line
// is ever read: the block that would run past the end is taken as the line's
// last kBlockBytes bytes with the bits of bytes already classified dropped,
// and a line shorter than one block is classified byte by byte. Beyond the
// last token asked for, at most the rest of its window is examined.
class TokenCursor {
public:
    explicit TokenCursor(std::string_view line) noexcept
        : begin_(line.data()),
          window_(line.data()),
          window_end_(line.data()),
          end_(line.data() + line.size()) {}

    // Sets `token` to the next token and returns true, or returns false once
    // the line is used up; after the first false, every later call gives
    // false as well and leaves `token` alone.
    bool next(std::string_view& token) noexcept {
        // Every start of the window taken so far came with its end, so when
        // no start is left, no end is either.
        while (starts_ == 0) {
            if (window_end_ == end_) return false;
            classify_next_window();
        }
        const char* const start = window_ + lowest_bit(starts_);
        starts_ &= starts_ - 1;
        const char* stop = window_ + lowest_bit(ends_) + 1;
        ends_ &= ends_ - 1;
        // A token that reaches the end of a window goes on into the next one
        // exactly when that one starts with a token byte; its end there
        // comes before every end of the next window's own tokens.
        while (stop == window_end_ && stop != end_) {
            if ((classify_next_window() & 1) == 0) break;
            stop = window_ + lowest_bit(ends_) + 1;
            ends_ &= ends_ - 1;
        }
        token = std::string_view(start, static_cast<std::size_t>(stop - start));
        return true;
    }

private:
    // Bytes classified at once: one bit each in a 64-bit word.
    static constexpr std::size_t kWindowBytes = 64;
    static constexpr int kLastBit = kWindowBytes - 1;

    // Index of the lowest set bit; precondition: bits != 0 (every start
    // comes with an end, and a window that a token goes on into ends it),
    // which spares std::countr_zero's test for zero.
    static int lowest_bit(std::uint64_t bits) noexcept { return ops::countr_zero64(bits); }

    // Classifies the window that follows the current one (precondition:
    // window_end_ < end_), sets its starts and ends, and returns its token
    // bits. A token byte at bit 0 is no start when the byte before the
    // window was a token byte.
    std::uint64_t classify_next_window() noexcept {
        window_ = window_end_;
        const std::uint64_t tokens = token_bits();
        starts_ = tokens & ~(tokens << 1 | std::uint64_t{last_was_token_});
        ends_ = tokens & ~(tokens >> 1);
        last_was_token_ = (tokens >> kLastBit) != 0;
        return tokens;
    }

    // Bit i set when window_[i] is a token byte, for the bytes up to
    // min(window_ + kWindowBytes, end_); all higher bits clear. Sets window_end_.
    std::uint64_t token_bits() noexcept {
        using detail::kBlockBytes;
        using detail::separator_mask;
        const auto left = static_cast<std::size_t>(end_ - window_);
        if (left >= kWindowBytes) {
            window_end_ = window_ + kWindowBytes;
            return ~(std::uint64_t{separator_mask(window_)} |
                     std::uint64_t{separator_mask(window_ + kBlockBytes)} << kBlockBytes |
                     std::uint64_t{separator_mask(window_ + 2 * kBlockBytes)} << 2 * kBlockBytes |
                     std::uint64_t{separator_mask(window_ + 3 * kBlockBytes)} << 3 * kBlockBytes);
        }
        // The line's last window, shorter than kWindowBytes.
        window_end_ = end_;
        std::uint64_t separators = 0;
        std::size_t i = 0;
        for (; left - i >= kBlockBytes; i += kBlockBytes)
            separators |= std::uint64_t{separator_mask(window_ + i)} << i;
        const std::size_t rest = left - i;
        if (rest != 0) {
            if (static_cast<std::size_t>(end_ - begin_) >= kBlockBytes) {
                // The line's last block overlaps bytes already classified: drop their bits.
                const std::uint32_t last =
                    separator_mask(end_ - kBlockBytes) >> (kBlockBytes - rest);
                separators |= std::uint64_t{last} << i;
            } else {
                for (std::size_t j = i; j < left; ++j)
                    separators |= std::uint64_t{is_whitespace_byte(window_[j])} << j;
            }
        }
        return ~separators & ((std::uint64_t{1} << left) - 1);  // left < 64
    }

    const char* begin_;
    const char* window_;      // first byte of the current window
    const char* window_end_;  // end of the current window
    const char* end_;
    // Bit i set when window_[i] is the first (starts_) or the last (ends_)
    // byte of a token not yet taken.
    std::uint64_t starts_ = 0;
    std::uint64_t ends_ = 0;
    bool last_was_token_ = false;  // the last byte of the current window is a token byte
};

}  // namespace atomblock::reader
