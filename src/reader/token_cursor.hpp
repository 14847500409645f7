// TokenCursor: splits one atom line into whitespace-separated tokens on demand.
#pragma once

#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>

#if defined(__SSE2__) && !defined(ATOMBLOCK_PORTABLE_SCAN)
#include <emmintrin.h>
#define ATOMBLOCK_SSE2_SCAN 1
#endif

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
#ifdef ATOMBLOCK_SSE2_SCAN
    const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
    const __m128i space = _mm_cmpeq_epi8(bytes, _mm_set1_epi8(' '));
    const __m128i tab = _mm_cmpeq_epi8(bytes, _mm_set1_epi8('\t'));
    const __m128i line_feed = _mm_cmpeq_epi8(bytes, _mm_set1_epi8('\n'));
    const __m128i form_feed = _mm_cmpeq_epi8(bytes, _mm_set1_epi8('\f'));
    const __m128i carriage_return = _mm_cmpeq_epi8(bytes, _mm_set1_epi8('\r'));
    const __m128i any = _mm_or_si128(_mm_or_si128(_mm_or_si128(space, tab), line_feed),
                                     _mm_or_si128(form_feed, carriage_return));
    return static_cast<std::uint32_t>(_mm_movemask_epi8(any));
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

// Holds the unread rest of a line (a view: the line must outlive the cursor)
// and a finished flag. Every token is a non-empty view into the line holding
// no whitespace byte; since all separators are ASCII, a token never splits a
// UTF-8 sequence.
//
// The line is classified kWindowBytes bytes at a time, each window once,
// into one bit per byte, so that finding the start and the end of a token is
// a count of trailing zero bits; only a token that crosses into the next
// window costs a branch. Classification is by kBlockBytes-byte blocks, and no
// byte outside the line is ever read: the block that would run past the end
// is taken as the line's last kBlockBytes bytes with the bits of bytes
// already classified dropped, and a line shorter than one block is
// classified byte by byte. Beyond the separator after the last token asked
// for, at most the rest of its window is examined.
class TokenCursor {
public:
    explicit TokenCursor(std::string_view line) noexcept
        : begin_(line.data()), pos_(line.data()), window_end_(line.data()),
          end_(line.data() + line.size()) {}

    // Sets `token` to the next token and returns true, or returns false once
    // the line is used up; after the first false, every later call gives
    // false as well and leaves `token` alone.
    bool next(std::string_view& token) noexcept {
        // Skip the separators before the token.
        while (token_bits_ == 0) {
            pos_ = window_end_;
            if (pos_ == end_) {
                finished_ = true;
                return false;
            }
            classify_window();
        }
        advance(static_cast<unsigned>(std::countr_zero(token_bits_)));
        const char* const start = pos_;

        // Find the separator, or the line end, after the token.
        while (separator_bits_ == 0) {
            pos_ = window_end_;
            if (pos_ == end_) {
                token_bits_ = 0;
                token = std::string_view(start, static_cast<std::size_t>(pos_ - start));
                return true;
            }
            classify_window();
        }
        advance(static_cast<unsigned>(std::countr_zero(separator_bits_)));
        token = std::string_view(start, static_cast<std::size_t>(pos_ - start));
        advance(1);  // step over the one separator that ended the token
        return true;
    }

    // The next token, or nothing once the line is used up; after the first
    // nothing, every later call gives nothing as well.
    std::optional<std::string_view> next() noexcept {
        std::string_view token;
        if (!next(token)) return std::nullopt;
        return token;
    }

    bool finished() const noexcept { return finished_; }

private:
    // Bytes classified at once: one bit each in a 64-bit word.
    static constexpr std::size_t kWindowBytes = 64;

    // Moves pos_ forward by `count` bytes, all inside the window.
    void advance(unsigned count) noexcept {
        pos_ += count;
        separator_bits_ >>= count;
        token_bits_ >>= count;
    }

    // Classifies the window that starts at pos_ (precondition: pos_ < end_).
    void classify_window() noexcept {
        using detail::kBlockBytes;
        using detail::separator_mask;
        const auto left = static_cast<std::size_t>(end_ - pos_);
        if (left >= kWindowBytes) {
            separator_bits_ = std::uint64_t{separator_mask(pos_)} |
                              std::uint64_t{separator_mask(pos_ + kBlockBytes)} << kBlockBytes |
                              std::uint64_t{separator_mask(pos_ + 2 * kBlockBytes)} << 2 * kBlockBytes |
                              std::uint64_t{separator_mask(pos_ + 3 * kBlockBytes)} << 3 * kBlockBytes;
            token_bits_ = ~separator_bits_;
            window_end_ = pos_ + kWindowBytes;
            return;
        }
        // The line's last window, shorter than kWindowBytes.
        std::uint64_t separators = 0;
        std::size_t i = 0;
        for (; left - i >= kBlockBytes; i += kBlockBytes)
            separators |= std::uint64_t{separator_mask(pos_ + i)} << i;
        const std::size_t rest = left - i;
        if (rest != 0) {
            if (static_cast<std::size_t>(end_ - begin_) >= kBlockBytes) {
                // The line's last block overlaps bytes already classified: drop their bits.
                separators |= std::uint64_t{separator_mask(end_ - kBlockBytes) >> (kBlockBytes - rest)} << i;
            } else {
                for (std::size_t j = i; j < left; ++j)
                    separators |= std::uint64_t{is_whitespace_byte(pos_[j])} << j;
            }
        }
        separator_bits_ = separators;
        token_bits_ = ~separators & ((std::uint64_t{1} << left) - 1);  // left < 64
        window_end_ = end_;
    }

    const char* begin_;
    const char* pos_;
    const char* window_end_;  // end of the classified bytes
    const char* end_;
    // Bit i describes pos_[i] for the bytes from pos_ to window_end_; all
    // higher bits are clear.
    std::uint64_t separator_bits_ = 0;
    std::uint64_t token_bits_ = 0;
    bool finished_ = false;
};

}  // namespace atomblock::reader
