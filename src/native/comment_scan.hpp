// Comment-line scanner: the common key=value lines of extended XYZ frames,
// typed without the interpreter. Plain C++; never touches a Python object.
//
// It accepts a subset of the package's comment grammar and declines the
// rest, so that the Python parser (which handles every line and every error
// message) decides those lines. Whatever it accepts it types exactly as that
// parser does.
#pragma once

#include <cstdint>
#include <string_view>
#include <vector>

namespace atomblock::native {

enum class InfoKind : std::uint8_t { boolean, integer, real, text };

// One info pair. Only the member of `kind` is meaningful; `text` views the line.
struct InfoPair {
    std::string_view key;
    InfoKind kind;
    bool boolean;
    std::int64_t integer;
    double real;
    std::string_view text;
};

// A special key's value as the Python parser's raw text: a quoted value keeps
// its quotes (Lattice and pbc texts key that parser's caches), except for
// Properties, whose quotes are dropped.
struct SpecialValue {
    std::string_view raw;
    bool present = false;
};

struct CommentScan {
    std::vector<InfoPair> pairs;  // in line order; a repeated key appears again
    SpecialValue lattice, properties, pbc;
};

// Scans `line` (without its line end) into `out`, which is cleared first.
// Returns false (declines, `out` unspecified) unless every pair is one of:
// a bare key (true); key=bare word; key="text without blanks" (a str);
// key= at the end of the line, blanks after it allowed (empty str); Lattice/Properties/pbc in any
// letter case, once each, with a bare or quoted value. Pairs are separated by
// spaces or tabs; the line holds printable ASCII and tabs only, with no
// backslash, brace or bracket. Bare words are typed int (int64 only), float
// (e/E exponents, inf, infinity, nan), bool (T F True False true false TRUE
// FALSE), else str. Never throws except std::bad_alloc.
bool scan_comment(std::string_view line, CommentScan& out);

}  // namespace atomblock::native
