// Unicode character properties needed to quote tokens in read errors; the
// tables behind them are generated (see tools/gen_unicode_tables.py).
#pragma once

namespace atomblock::reader {

// The Grapheme_Extend property (combining marks and the like).
bool is_grapheme_extend(char32_t cp) noexcept;

// False for general categories Cc, Cf, Cs, Co, Cn, Zl, Zp, for every Zs other
// than U+0020, and for values beyond U+10FFFF; true otherwise.
bool is_printable(char32_t cp) noexcept;

}  // namespace atomblock::reader
