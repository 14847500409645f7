// Symbol field: UTF-32 row -> UTF-8, skipping invalid scalar values, padded
// by code points.
#include "writer/symbol_field.hpp"

#include <cstring>

namespace atomblock::writer {
namespace {

constexpr std::uint32_t kLastOneByte = 0x7F;     // UTF-8 lengths by code point range
constexpr std::uint32_t kLastTwoByte = 0x7FF;
constexpr std::uint32_t kLastThreeByte = 0xFFFF;
constexpr std::uint32_t kLastCodePoint = 0x10FFFF;  // the largest Unicode scalar value
constexpr std::uint32_t kFirstSurrogate = 0xD800;   // UTF-16 surrogates are no scalar values
constexpr std::uint32_t kLastSurrogate = 0xDFFF;
constexpr std::size_t kMaxUtf8Bytes = 4;
// Lead-byte markers of 2-, 3- and 4-byte sequences and the continuation marker
// with its six payload bits.
constexpr unsigned kLead2 = 0xC0;
constexpr unsigned kLead3 = 0xE0;
constexpr unsigned kLead4 = 0xF0;
constexpr unsigned kContinuation = 0x80;
constexpr unsigned kPayloadBits = 6;
constexpr unsigned kPayloadMask = 0x3F;

// Writes the UTF-8 form of scalar value `cp` at `out`; returns its length.
std::size_t encode_utf8(std::uint32_t cp, char* out) noexcept {
    auto byte = [](unsigned v) { return static_cast<char>(static_cast<unsigned char>(v)); };
    if (cp <= kLastOneByte) {
        out[0] = byte(cp);
        return 1;
    }
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

}  // namespace

void SymbolFieldBuilder::build(const MatrixView<std::uint32_t>& codepoints, std::size_t row,
                               std::uint64_t width) {
    text_.clear();
    std::uint64_t count = 0;  // code points written
    for (std::size_t col = 0; col < codepoints.cols; ++col) {
        const std::uint32_t cp = codepoints.at(row, col);
        if (cp == 0) break;
        if ((cp >= kFirstSurrogate && cp <= kLastSurrogate) || cp > kLastCodePoint) continue;
        if (cp > kLastOneByte) ascii_ = false;
        text_.ensure_room(kMaxUtf8Bytes);
        char* end = text_.tail();
        end += encode_utf8(cp, end);
        text_.commit_to(end);
        ++count;
    }
    if (count < width) {
        const auto padding = static_cast<std::size_t>(width - count);  // below kMaxSymbolWidth
        text_.ensure_room(padding);
        std::memset(text_.tail(), ' ', padding);
        text_.commit_to(text_.tail() + padding);
    }
}

}  // namespace atomblock::writer
