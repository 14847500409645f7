// Symbol field: one atom's row of UTF-32 code points decoded to UTF-8 and
// padded with spaces to the symbol width (counted in code points).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "writer/matrix_view.hpp"
#include "writer/text_buffer.hpp"

namespace atomblock::writer {

// Widths above this are refused at every symbol field ("Formatting argument
// out of range"): a field width is a 16-bit formatting argument.
inline constexpr std::uint64_t kMaxSymbolWidth = 65535;

// Builds symbol fields into memory it keeps and reuses from atom to atom.
class SymbolFieldBuilder {
public:
    // Decodes row `row` of `codepoints` and pads it to `width` code points.
    // The walk stops at the first 0 or at the row's end; surrogates
    // (0xD800..0xDFFF) and values above 0x10FFFF are skipped. A symbol longer
    // than `width` is kept whole. Preconditions: row < codepoints.rows and
    // width <= kMaxSymbolWidth. Throws std::bad_alloc.
    void build(const MatrixView<std::uint32_t>& codepoints, std::size_t row, std::uint64_t width);

    // The field of the last build(); valid until the next one.
    std::string_view field() const noexcept { return text_.view(); }
    // Whether every field built so far was pure ASCII.
    bool ascii() const noexcept { return ascii_; }

private:
    TextBuffer text_;
    bool ascii_ = true;
};

}  // namespace atomblock::writer
