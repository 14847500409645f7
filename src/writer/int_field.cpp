// Integer field: magnitude as unsigned 64-bit, "-" for negatives, padded to 8.
#include "writer/int_field.hpp"

#include <bit>

namespace atomblock::writer {
namespace {

constexpr char kSpaces[kIntFieldWidth + 1] = "        ";
constexpr std::uint64_t kSpaceBytes = 0x2020202020202020ull;
// Magnitudes below these fill at most the 8-byte field: 8 digits unsigned,
// 7 digits after a "-".
constexpr std::uint64_t kShortLimit = 100000000;
constexpr std::uint64_t kShortNegativeLimit = 10000000;
constexpr unsigned kUnitsDigitByte = kIntFieldWidth - 1;  // never blanked

// The whole 8-byte field as one word store.
void write_short_int_field(bool negative, std::uint32_t magnitude, char* out) noexcept {
    const std::uint64_t lanes = eight_digit_lanes(magnitude);
    // Leading zero digits become spaces; the units digit always stays.
    const unsigned leading =
        static_cast<unsigned>(std::countr_zero(lanes | (std::uint64_t{1} << (8 * kUnitsDigitByte)))) / 8;
    // leading is at most 7, so the shift stays below 64.
    const std::uint64_t leading_mask = (std::uint64_t{1} << (8 * leading)) - 1;
    std::uint64_t word = ((lanes | kAsciiZeros) & ~leading_mask) | (kSpaceBytes & leading_mask);
    // A negative value has at least one leading space; the last one becomes "-".
    const std::uint64_t sign = (std::uint64_t{'-' ^ ' '} << (8 * leading)) >> 8;
    word ^= sign & (std::uint64_t{0} - static_cast<std::uint64_t>(negative));
    std::memcpy(out, &word, sizeof word);
}

}  // namespace

std::size_t format_int_field(std::int64_t value, char* out) noexcept {
    const bool negative = value < 0;
    // Two's-complement negation in unsigned arithmetic: INT64_MIN gives 2^63.
    const std::uint64_t magnitude =
        negative ? std::uint64_t{0} - static_cast<std::uint64_t>(value) : static_cast<std::uint64_t>(value);
    if (magnitude < (negative ? kShortNegativeLimit : kShortLimit)) [[likely]] {
        write_short_int_field(negative, static_cast<std::uint32_t>(magnitude), out);
        return kIntFieldWidth;
    }
    const std::size_t digits = count_digits(magnitude);
    const std::size_t length = (negative ? 1 : 0) + digits;
    const std::size_t padding = length < kIntFieldWidth ? kIntFieldWidth - length : 0;
    std::memcpy(out, kSpaces, padding);
    char* p = out + padding;
    if (negative) *p++ = '-';
    write_digits_backward(magnitude, p + digits);
    return padding + length;
}

}  // namespace atomblock::writer
