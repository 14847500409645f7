// Symbol field: one atom's row of UTF-32 code points decoded to UTF-8 and
// padded with spaces to the symbol width (counted in code points), written
// straight into the output.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "writer/decimal_digits.hpp"
#include "writer/matrix_view.hpp"

namespace atomblock::writer {

// Widths above this are refused at every symbol field ("Formatting argument
// out of range"): a field width is a 16-bit formatting argument.
inline constexpr std::uint64_t kMaxSymbolWidth = 65535;
// The longest UTF-8 form of one code point.
inline constexpr std::size_t kMaxUtf8Bytes = 4;
// Padding of up to this many spaces is one fixed-size store, which may write
// up to this many bytes past the field's end (also covers the 8-byte word
// store of a short row).
inline constexpr std::size_t kSymbolPadSlack = 16;

namespace symbol_field_detail {

inline constexpr std::uint32_t kLastOneByte = 0x7F;  // UTF-8 lengths by code point range
inline constexpr std::uint32_t kLastTwoByte = 0x7FF;
inline constexpr std::uint32_t kLastThreeByte = 0xFFFF;
inline constexpr std::uint32_t kLastCodePoint = 0x10FFFF;  // the largest Unicode scalar value
inline constexpr std::uint32_t kFirstSurrogate = 0xD800;   // UTF-16 surrogates are no scalar values
inline constexpr std::uint32_t kLastSurrogate = 0xDFFF;
inline constexpr char kSpaces[kSymbolPadSlack + 1] = "                ";

// Writes the UTF-8 form of a code point above U+007F that is a scalar value
// (no surrogate, at most U+10FFFF); returns its length. Out of line: rare.
std::size_t encode_multibyte_utf8(std::uint32_t cp, char* out) noexcept;

// Rows of at most this many code points, all ASCII, are packed into one
// 64-bit word, one byte each.
inline constexpr std::size_t kPackedSymbolLength = 8;
inline constexpr std::uint64_t kLowBits = 0x0101010101010101ull;   // lowest bit of every byte
inline constexpr std::uint64_t kHighBits = 0x8080808080808080ull;  // highest bit of every byte

// Field from a packed row (bytes beyond the row are zero): the bytes before
// the first zero, then spaces up to `width`.
inline char* write_packed_ascii_symbol(std::uint64_t packed, std::uint64_t width,
                                       char* out) noexcept {
    // Bytes are below 0x80, so (x - 1) & ~x has its high bit set exactly at
    // zero bytes, up to the first one (borrows only start at a zero byte).
    const std::uint64_t zero_bytes = (packed - kLowBits) & ~packed & kHighBits;
    const unsigned length =
        static_cast<unsigned>(std::countr_zero(zero_bytes)) / kByteBits;  // 8 if no zero
    const std::uint64_t keep = length == kPackedSymbolLength
                                   ? ~std::uint64_t{0}
                                   : (std::uint64_t{1} << (kByteBits * length)) - 1;
    const std::uint64_t word = (packed & keep) | (kSpaceBytes & ~keep);
    ops::store_le64(out, word);  // byte i of the word is code point i
    if (width > kPackedSymbolLength) {
        // The symbol has at most 8 code points, so the field is `width` wide.
        const auto rest = static_cast<std::size_t>(width) - kPackedSymbolLength;
        if (rest <= kSymbolPadSlack) {
            std::memcpy(out + kPackedSymbolLength, kSpaces, kSymbolPadSlack);
        } else {
            std::memset(out + kPackedSymbolLength, ' ', rest);
        }
        return out + width;
    }
    return out + (length > width ? length : static_cast<std::size_t>(width));
}

}  // namespace symbol_field_detail

// Bytes to have room for before write_symbol_field on row `row`: every code
// point before the first 0 at its longest, the width, and the padding slack.
// Saturates at SIZE_MAX. Precondition: row < codepoints.rows.
std::size_t symbol_field_room(const MatrixView<std::uint32_t>& codepoints, std::size_t row,
                              std::uint64_t width) noexcept;

// Writes the symbol field of row `row` at `out` and returns its end. The walk
// stops at the first 0 or at the row's end; surrogates (0xD800..0xDFFF) and
// values above 0x10FFFF are skipped. A symbol longer than `width` is kept
// whole. Clears `ascii` when a code point above U+007F is written.
// Preconditions: row < codepoints.rows, width <= kMaxSymbolWidth, and
// symbol_field_room(...) bytes writable at `out` (kMaxUtf8Bytes * cols +
// width + kSymbolPadSlack always suffices).
inline char* write_symbol_field(const MatrixView<std::uint32_t>& codepoints, std::size_t row,
                                std::uint64_t width, char* out, bool& ascii) noexcept {
    using namespace symbol_field_detail;
    if (codepoints.cols <= kPackedSymbolLength) {
        // Short rows (chemical symbols) are read whole; when all of them are
        // ASCII the field is built in one word without data-dependent branches.
        std::uint64_t packed = 0;
        std::uint32_t any = 0;
        for (std::size_t col = 0; col < codepoints.cols; ++col) {
            const std::uint32_t cp = codepoints.at(row, col);
            any |= cp;
            packed |= static_cast<std::uint64_t>(cp) << (kByteBits * col);
        }
        if (any <= kLastOneByte) [[likely]] {
            return write_packed_ascii_symbol(packed, width, out);
        }
    }
    char* p = out;
    std::uint64_t count = 0;  // code points written
    for (std::size_t col = 0; col < codepoints.cols; ++col) {
        const std::uint32_t cp = codepoints.at(row, col);
        if (cp == 0) break;
        if (cp <= kLastOneByte) [[likely]] {
            *p++ = static_cast<char>(cp);
        } else {
            if ((cp >= kFirstSurrogate && cp <= kLastSurrogate) || cp > kLastCodePoint) continue;
            p += encode_multibyte_utf8(cp, p);
            ascii = false;
        }
        ++count;
    }
    if (count < width) {
        const auto padding = static_cast<std::size_t>(width - count);  // at most kMaxSymbolWidth
        if (padding <= kSymbolPadSlack) [[likely]] {
            std::memcpy(p, kSpaces, kSymbolPadSlack);
        } else {
            std::memset(p, ' ', padding);
        }
        p += padding;
    }
    return p;
}

}  // namespace atomblock::writer
