// Symbol field, out-of-line part: multi-byte UTF-8 encoding and the room a
// row's field may need.
#include "writer/symbol_field.hpp"

#include <limits>

namespace atomblock::writer {
namespace symbol_field_detail {
namespace {

// Lead-byte markers of 2-, 3- and 4-byte sequences and the continuation marker
// with its six payload bits.
constexpr unsigned kLead2 = 0xC0;
constexpr unsigned kLead3 = 0xE0;
constexpr unsigned kLead4 = 0xF0;
constexpr unsigned kContinuation = 0x80;
constexpr unsigned kPayloadBits = 6;
constexpr unsigned kPayloadMask = 0x3F;

char byte(unsigned v) noexcept {
    return static_cast<char>(static_cast<unsigned char>(v));
}

}  // namespace

std::size_t encode_multibyte_utf8(std::uint32_t cp, char* out) noexcept {
    if (cp <= kLastTwoByte) {
        out[0] = byte(kLead2 | (cp >> kPayloadBits));
        out[1] = byte(kContinuation | (cp & kPayloadMask));
        return 2;
    }
    if (cp <= kLastThreeByte) {
        out[0] = byte(kLead3 | (cp >> (2 * kPayloadBits)));
        out[1] = byte(kContinuation | ((cp >> kPayloadBits) & kPayloadMask));
        out[2] = byte(kContinuation | (cp & kPayloadMask));
        return 3;
    }
    out[0] = byte(kLead4 | (cp >> (3 * kPayloadBits)));
    out[1] = byte(kContinuation | ((cp >> (2 * kPayloadBits)) & kPayloadMask));
    out[2] = byte(kContinuation | ((cp >> kPayloadBits) & kPayloadMask));
    out[3] = byte(kContinuation | (cp & kPayloadMask));
    return 4;
}

}  // namespace symbol_field_detail

std::size_t symbol_field_room(const MatrixView<std::uint32_t>& codepoints, std::size_t row,
                              std::uint64_t width) noexcept {
    // Code points before the first 0. A row that repeats one element (a
    // zero column stride, as broadcasting gives) is that element cols times:
    // its count needs no walk, which over a logical row of billions of
    // elements would take minutes before a room that cannot be had is
    // refused. Any other row is distinct memory of at least one byte per
    // element, so its walk costs no more than the caller's array.
    std::size_t used = 0;
    if (codepoints.col_stride == 0) {
        used = codepoints.cols != 0 && codepoints.at(row, 0) != 0 ? codepoints.cols : 0;
    } else {
        while (used < codepoints.cols && codepoints.at(row, used) != 0) ++used;
    }
    constexpr std::size_t kMax = std::numeric_limits<std::size_t>::max();
    // used counts elements of a row, so kMaxUtf8Bytes * used can only
    // overflow for a view that repeats memory (zero strides).
    if (used > (kMax - kSymbolPadSlack - width) / kMaxUtf8Bytes) return kMax;
    return kMaxUtf8Bytes * used + static_cast<std::size_t>(width) + kSymbolPadSlack;
}

}  // namespace atomblock::writer
