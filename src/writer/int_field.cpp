// Integer field, out-of-line part: magnitudes wider than the 8-byte field.
#include "writer/int_field.hpp"

namespace atomblock::writer::int_field_detail {

std::size_t format_long_int_field(bool negative, std::uint64_t magnitude, char* out) noexcept {
    // Beyond the short limits the text is at least 8 bytes: no padding.
    const std::size_t digits = count_digits(magnitude);
    char* p = out;
    if (negative) *p++ = '-';
    write_digits_backward(magnitude, p + digits);
    return static_cast<std::size_t>(p - out) + digits;
}

}  // namespace atomblock::writer::int_field_detail
