// Quoted form of a token, as read error messages show it.
#pragma once

#include <string>
#include <string_view>

namespace atomblock::reader {

// Appends the token between double quotes. Inside, '"' and '\' are escaped
// with a backslash; U+0000, tab, line feed and carriage return become \0 \t
// \n \r; a character with Grapheme_Extend or one that is not printable
// becomes \u{hex} (lower case, no leading zeros); every other character,
// the apostrophe included, is copied as it is.
//
// The token is expected to be UTF-8. A byte that does not start a valid
// sequence is shown as U+FFFD and skipped, so the output is always valid
// UTF-8 and no byte outside the token is ever read.
void append_quoted_token(std::string& out, std::string_view token);

}  // namespace atomblock::reader
