// Quoted form of a token: UTF-8 decoding and escaping for read error messages.
#include "reader/quoted_token.hpp"

#include <array>
#include <charconv>
#include <cstddef>
#include <cstdint>

#include "reader/unicode_tables.hpp"

namespace atomblock::reader {
namespace {

// U+FFFD REPLACEMENT CHARACTER in UTF-8, shown for a byte that starts no
// valid sequence.
constexpr std::string_view kReplacement = "\xEF\xBF\xBD";

// UTF-8 structure. A lead byte 110xxxxx, 1110xxxx or 11110xxx starts a
// sequence of 2, 3 or 4 bytes; each further byte is 10xxxxxx and carries six
// bits. `min` is the first code point that needs that length (shorter
// encodings are overlong and refused).
struct LeadForm {
    unsigned char mask;  // the fixed high bits of the lead byte
    unsigned char tag;   // their required value
    std::size_t length;
    char32_t min;
};
constexpr std::array<LeadForm, 3> kLeadForms = {{
    {0xE0, 0xC0, 2, 0x80},
    {0xF0, 0xE0, 3, 0x800},
    {0xF8, 0xF0, 4, 0x10000},
}};
constexpr unsigned char kAsciiLimit = 0x80;
constexpr unsigned char kContinuationMask = 0xC0;
constexpr unsigned char kContinuationTag = 0x80;
constexpr unsigned kContinuationBits = 6;
constexpr char32_t kCodePointMax = 0x10FFFF;
constexpr char32_t kSurrogateFirst = 0xD800;  // UTF-16 surrogates: never encoded
constexpr char32_t kSurrogateLast = 0xDFFF;

// Hex digits of the largest code point, 10FFFF.
constexpr std::size_t kMaxHexDigits = 6;

struct Decoded {
    char32_t cp;
    std::size_t length;  // 0: no valid sequence starts here
};

constexpr Decoded kInvalid = {0, 0};

// Decodes one well-formed UTF-8 sequence at the front of `rest` (non-empty);
// refuses overlong forms, surrogates, values beyond U+10FFFF and sequences
// cut short by the end of `rest`.
Decoded decode(std::string_view rest) noexcept {
    const auto lead = static_cast<unsigned char>(rest[0]);
    if (lead < kAsciiLimit) return {lead, 1};
    for (const LeadForm& form : kLeadForms) {
        if ((lead & form.mask) != form.tag) continue;
        if (rest.size() < form.length) return kInvalid;
        char32_t cp = lead & static_cast<unsigned char>(~form.mask);
        for (std::size_t i = 1; i < form.length; ++i) {
            const auto b = static_cast<unsigned char>(rest[i]);
            if ((b & kContinuationMask) != kContinuationTag) return kInvalid;
            cp = (cp << kContinuationBits) | (b & static_cast<unsigned char>(~kContinuationMask));
        }
        if (cp < form.min || cp > kCodePointMax || (cp >= kSurrogateFirst && cp <= kSurrogateLast))
            return kInvalid;
        return {cp, form.length};
    }
    return kInvalid;
}

void append_code_point_escape(std::string& out, char32_t cp) {
    std::array<char, kMaxHexDigits> hex;
    const auto end =
        std::to_chars(hex.data(), hex.data() + hex.size(), static_cast<std::uint32_t>(cp), 16).ptr;
    out += "\\u{";
    out.append(hex.data(), end);
    out += '}';
}

}  // namespace

void append_quoted_token(std::string& out, std::string_view token) {
    out += '"';
    while (!token.empty()) {
        const Decoded d = decode(token);
        if (d.length == 0) {
            out += kReplacement;
            token.remove_prefix(1);
            continue;
        }
        switch (d.cp) {
            case U'"': out += "\\\""; break;
            case U'\\': out += "\\\\"; break;
            case U'\0': out += "\\0"; break;
            case U'\t': out += "\\t"; break;
            case U'\n': out += "\\n"; break;
            case U'\r': out += "\\r"; break;
            default:
                if (is_grapheme_extend(d.cp) || !is_printable(d.cp)) {
                    append_code_point_escape(out, d.cp);
                } else {
                    out.append(token.data(), d.length);
                }
        }
        token.remove_prefix(d.length);
    }
    out += '"';
}

}  // namespace atomblock::reader
