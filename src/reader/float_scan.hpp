// Fast paths of the float grammar for plain decimals ([+-] digits [. digits])
// of up to 19 digits whose digits form an integer of at most 2^53: inline,
// so that the reader's loop converts them without a call. Every other token,
// and every token these paths turn down, takes the general scan of
// token_grammar.cpp, which accepts and rounds exactly the same.
#pragma once

#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "common/simd.hpp"
#include "reader/decimal_to_double.hpp"
#include "reader/digit_words.hpp"
#include "reader/exact_quotient.hpp"

namespace atomblock::reader::float_scan {

constexpr bool is_digit(char c) noexcept {
    return static_cast<unsigned char>(c - '0') <= 9;
}

constexpr unsigned digit_value(char c) noexcept {
    return static_cast<unsigned char>(c - '0');
}

// Digits in the integer part of a short plain decimal: they and the point
// fit in the first word of the number.
inline constexpr unsigned kShortIntegerDigitsMax = digit_words::kWordBytes - 1;

// Digits in the fraction of a short plain decimal: two words.
inline constexpr unsigned kShortFractionDigitsMax = 2 * digit_words::kWordBytes;

// The fraction digits of the shortcut below's common case: "%.8f" writes
// eight, exactly one word.
inline constexpr unsigned kWordFractionDigits = digit_words::kWordBytes;

// Like short_plain_value, for fractions of other lengths; `head` is the
// number's first word, whose integer_digits lowest bytes are its integer part.
bool short_plain_value_other(std::uint64_t head, unsigned integer_digits, const char* fraction,
                             const char* end, bool negative, double& value) noexcept;

// The value of a number (after its sign, ending at `end`, negated when
// `negative`) of the form d{1,7} . d{1,16} with at most kLeadingDigitsMax
// digits in all, which is what fixed-point writers such as "%16.8f"
// produce, when its digits form an integer of at most 2^53: then the
// exact_quotient applies. Returns false for every other number,
// which the general scan then reads. Precondition: the number has at least
// kWordBytes bytes, so every word loaded lies within it.
inline bool short_plain_value(const char* p, const char* end, bool negative,
                              double& value) noexcept {
    using digit_words::kWordBytes;
    const std::uint64_t head = digit_words::load_word(p);
    const unsigned integer_digits = digit_words::leading_digit_bytes(head);
    // integer_digits - 1 wraps for 0, so one test keeps 1 .. kShortIntegerDigitsMax.
    if (integer_digits - 1 >= kShortIntegerDigitsMax || p[integer_digits] != '.') return false;
    const char* const fraction = p + integer_digits + 1;
    if (end - fraction != kWordFractionDigits)
        return short_plain_value_other(head, integer_digits, fraction, end, negative, value);
    // At most 7 + 8 digits: the integer stays below 10^15 < 2^53.
    const std::uint64_t word = digit_words::load_word(fraction);
    if (!digit_words::all_digits(word)) return false;
    const std::uint64_t digits =
        digit_words::digits_value(head, integer_digits) * digit_words::kPow10[kWordFractionDigits] +
        digit_words::digits_value(word, kWordFractionDigits);
    value = exact_quotient(digits, kWordFractionDigits, negative);
    return true;
}

// The value of a number of `size` bytes (1 <= size <= kWordBytes, after its
// sign, negated when `negative`) held in the lowest bytes of `word`, the
// higher bytes being anything, when it has the form d* [. d*] with at least
// one digit; false for every other number. At most eight digits form an
// integer below 10^8 < 2^53, so exact_quotient applies.
inline bool word_plain_value(std::uint64_t word, unsigned size, bool negative,
                             double& value) noexcept {
    using digit_words::each_byte;
    using digit_words::kWordBytes;
    const std::uint64_t top_bits =
        each_byte(0x80) & (~std::uint64_t{0} >> (8 * (kWordBytes - size)));
    const std::uint64_t dot = digit_words::zero_bytes(word ^ each_byte('.')) & top_bits;
    // Every byte a digit but at most one point, and some digit.
    if ((digit_words::non_digit_bytes(word) & top_bits) != dot || (dot & (dot - 1)) != 0)
        return false;
    const unsigned digits = size - (dot != 0);
    if (digits == 0) return false;
    // The bytes above the point move one down over it (with no point, all
    // bytes stay): (dot >> 7) - 1 marks the bytes below the point.
    const std::uint64_t values = word ^ each_byte('0');
    const std::uint64_t below_dot = (dot >> 7) - 1;
    const std::uint64_t packed = (values & below_dot) | ((values >> 8) & ~below_dot);
    // The fraction is what follows the point, or nothing: a mark on the
    // number's last byte stands in for a missing point.
    const std::uint64_t last_byte_mark = std::uint64_t{1} << (8 * size - 1);
    const auto point = static_cast<unsigned>(std::countr_zero(dot | last_byte_mark)) / 8;
    const unsigned fraction_digits = size - 1 - point;
    const std::uint32_t digits_value =
        digit_words::digit_lanes_value(packed << (8 * (kWordBytes - digits)));
    value = exact_quotient(digits_value, fraction_digits, negative);
    return true;
}

#if ATOMBLOCK_HAVE_SSE2

// Bytes read at once by fixed_point_value: one SSE2 register.
inline constexpr std::size_t kVectorBytes = 16;

// Lengths (after the sign) of the numbers d{1,7} . d{8} that fixed_point_value
// reads: one integer digit, the point and the fraction at least, and at
// most the whole register.
inline constexpr std::size_t kFixedPointMin = 1 + 1 + kWordFractionDigits;
inline constexpr std::size_t kFixedPointMax = kVectorBytes;

// Position of the point in the register: the fraction fills the upper half.
inline constexpr int kFixedPointDot = kVectorBytes - kWordFractionDigits - 1;

namespace detail {

// kVectorBytes zero bytes, then kVectorBytes 0xFF bytes: the kVectorBytes
// bytes from offset n hold 16 - n zeros, then n 0xFF bytes.
inline constexpr std::array<unsigned char, 2 * kVectorBytes> kTailMaskBytes = [] {
    std::array<unsigned char, 2 * kVectorBytes> bytes{};
    for (std::size_t i = kVectorBytes; i < bytes.size(); ++i) bytes[i] = 0xFF;
    return bytes;
}();

}  // namespace detail

// The value of the number of `size` bytes (after its sign) ending at `end`,
// of the form d{1,7} . d{8}, negated when `negative`, read from the 16
// bytes before `end` in one register; false when the number has another
// form. Preconditions: kFixedPointMin <= size <= kFixedPointMax, and the 16
// bytes before `end` may be read (the bytes before the number are ignored).
// Its digits form an integer below 10^15 < 2^53, so exact_quotient
// applies.
inline bool fixed_point_value(const char* end, std::size_t size, bool negative,
                              double& value) noexcept {
    const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(end - kVectorBytes));
    // Digit values, and which bytes are digits: exactly those whose value
    // after subtracting '0' (wrapping) is at most 9.
    const __m128i values = _mm_sub_epi8(bytes, _mm_set1_epi8('0'));
    const __m128i nine = _mm_set1_epi8(9);
    const auto digits = static_cast<unsigned>(
        _mm_movemask_epi8(_mm_cmpeq_epi8(_mm_min_epu8(values, nine), values)));
    const auto dots =
        static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(bytes, _mm_set1_epi8('.'))));
    // The number's bytes: digits everywhere but the point's place.
    const unsigned number = (0xFFFFu << (kVectorBytes - size)) & 0xFFFFu;
    const unsigned dot = 1u << kFixedPointDot;
    if (((digits & number & ~dot) | (dots & dot)) != number) return false;

    // Keep the number's digits only (the point and the bytes before the
    // number become zero), then move the integer digits one byte up over the
    // point, so that each half holds eight digits, the lowest byte the most
    // significant: the integer part with leading zeros, and the fraction.
    const __m128i in_number =
        _mm_loadu_si128(reinterpret_cast<const __m128i*>(detail::kTailMaskBytes.data() + size));
    const __m128i kept = _mm_andnot_si128(_mm_slli_si128(_mm_cvtsi32_si128(0xFF), kFixedPointDot),
                                          _mm_and_si128(values, in_number));
    const __m128i halves = _mm_castpd_si128(
        _mm_move_sd(_mm_castsi128_pd(kept), _mm_castsi128_pd(_mm_slli_epi64(kept, 8))));
    // Pairs of digits into 16-bit lanes (10 * first + second), pairs of
    // those into 32-bit lanes (100 * first + second), and those into one
    // 64-bit value per half (10000 * first + second).
    const __m128i pairs = _mm_add_epi16(
        _mm_mullo_epi16(_mm_and_si128(halves, _mm_set1_epi16(0x00FF)), _mm_set1_epi16(10)),
        _mm_srli_epi16(halves, 8));
    const __m128i quads = _mm_madd_epi16(pairs, _mm_set1_epi32(1 << 16 | 100));
    const __m128i octets =
        _mm_add_epi64(_mm_mul_epu32(quads, _mm_set1_epi64x(10000)), _mm_srli_epi64(quads, 32));
    const std::uint64_t integer = simd::low_lane(octets);
    const std::uint64_t fraction = simd::high_lane(octets);
    const std::uint64_t digits_value =
        integer * digit_words::kPow10[kWordFractionDigits] + fraction;
    value = exact_quotient(digits_value, kWordFractionDigits, negative);
    return true;
}

#endif  // ATOMBLOCK_HAVE_SSE2

}  // namespace atomblock::reader::float_scan
