// Decimal digit generation shared by the float and integer field formatters:
// digit counting and writing two digits per table lookup.
#pragma once

#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "common/portable_ops.hpp"

namespace atomblock::writer {

inline constexpr unsigned kRadix = 10;
inline constexpr unsigned kByteBits = 8;  // digits are packed one per byte
// Every byte a space: blank fill of packed text words.
inline constexpr std::uint64_t kSpaceBytes = 0x2020202020202020ull;

// "00", "01", ..., "99" back to back: 100 pairs of two characters.
inline constexpr std::size_t kDigitPairCount = std::size_t{kRadix} * kRadix;
inline constexpr std::array<char, 2 * kDigitPairCount> kDigitPairs = [] {
    std::array<char, 2 * kDigitPairCount> table{};
    for (std::size_t i = 0; i < kDigitPairCount; ++i) {
        table[2 * i] = static_cast<char>('0' + i / kRadix);
        table[2 * i + 1] = static_cast<char>('0' + i % kRadix);
    }
    return table;
}();

// Writes the two digits of `pair` (below 100) at out[0], out[1].
inline void write_digit_pair(char* out, std::uint32_t pair) noexcept {
    std::memcpy(out, &kDigitPairs[2 * std::size_t{pair}], 2);
}

// Thresholds for count_digits: entry d is 10^d, except entry 0, which is 0 so
// that the value 0 counts as one digit. 10^19 is the largest power below 2^64.
inline constexpr std::size_t kMaxU64Digits = 20;  // 2^64 - 1 has 20 digits
inline constexpr std::array<std::uint64_t, kMaxU64Digits> kDigitThresholds = [] {
    std::array<std::uint64_t, kMaxU64Digits> table{};
    std::uint64_t power = 1;
    for (std::size_t d = 1; d < kMaxU64Digits; ++d) {
        power *= kRadix;
        table[d] = power;
    }
    return table;
}();

// 1233 / 4096 approximates log10(2) from below closely enough that
// floor(bits * 1233 / 4096) is the digit count of 2^(bits-1) less one or less
// nothing, for every bit length 1..64.
inline constexpr unsigned kLog10Of2Numerator = 1233;
inline constexpr unsigned kLog10Of2Shift = 12;

// Number of decimal digits of `value`; 1 for 0.
inline unsigned count_digits(std::uint64_t value) noexcept {
    const unsigned bits = 64u - static_cast<unsigned>(std::countl_zero(value | 1u));
    const unsigned guess = (bits * kLog10Of2Numerator) >> kLog10Of2Shift;
    return guess + (value >= kDigitThresholds[guess] ? 1u : 0u);
}

// Writes all digits of `value` so that the last one lands at end[-1].
// Precondition: count_digits(value) bytes are writable before `end`.
inline void write_digits_backward(std::uint64_t value, char* end) noexcept {
    while (value >= kDigitPairCount) {
        end -= 2;
        write_digit_pair(end, static_cast<std::uint32_t>(value % kDigitPairCount));
        value /= kDigitPairCount;
    }
    if (value >= kRadix) {
        write_digit_pair(end - 2, static_cast<std::uint32_t>(value));
    } else {
        end[-1] = static_cast<char>('0' + value);
    }
}

// Eight decimal digits of `value` (below 10^8) packed into one word, one digit
// value 0..9 per byte, most significant digit in the lowest byte (the first
// in memory once stored with ops::store_le64, whatever the byte order). Lanes are split in registers: 8 digits into 4 + 4, each
// 4 into 2 + 2, each 2 into 1 + 1, with multiply-shift divisions.
inline std::uint64_t eight_digit_lanes(std::uint32_t value) noexcept {
    constexpr std::uint32_t kFourDigits = 10000;  // splits 8 digits into 4 + 4
    // Lane widths after each split: 4 digits in 32 bits, 2 in 16, 1 in 8.
    constexpr unsigned kFourDigitLaneBits = 32;
    constexpr unsigned kTwoDigitLaneBits = 16;
    // floor(a * 10486 / 2^20) == a / 100 for every a below 10^4 (10486 is
    // ceil(2^20 / 100)); the quotient is below 100, 7 bits per 32-bit lane.
    constexpr std::uint64_t kDiv100Multiplier = 10486;
    constexpr unsigned kDiv100Shift = 20;
    constexpr std::uint64_t kDiv100Mask = 0x0000007F0000007Full;
    // floor(b * 103 / 2^10) == b / 10 for every b below 100 (103 is
    // ceil(2^10 / 10)); the quotient is below 10, 4 bits per 16-bit lane.
    constexpr std::uint64_t kDiv10Multiplier = 103;
    constexpr unsigned kDiv10Shift = 10;
    constexpr std::uint64_t kDiv10Mask = 0x000F000F000F000Full;

    const std::uint64_t fours =
        (value / kFourDigits) |
        (static_cast<std::uint64_t>(value % kFourDigits) << kFourDigitLaneBits);
    const std::uint64_t hundreds = ((fours * kDiv100Multiplier) >> kDiv100Shift) & kDiv100Mask;
    const std::uint64_t twos =
        hundreds | ((fours - hundreds * kDigitPairCount) << kTwoDigitLaneBits);
    const std::uint64_t tens = ((twos * kDiv10Multiplier) >> kDiv10Shift) & kDiv10Mask;
    return tens | ((twos - tens * kRadix) << kByteBits);
}

// Adds '0' to every byte of a word of digit values 0..9.
inline constexpr std::uint64_t kAsciiZeros = 0x3030303030303030ull;

// Writes `value` (below 10^8) as exactly eight digits, leading zeros kept.
inline void write_eight_digits(char* out, std::uint32_t value) noexcept {
    ops::store_le64(out, eight_digit_lanes(value) | kAsciiZeros);
}

}  // namespace atomblock::writer
