// escape.hpp: text of characters and strings as literals, with unprintable characters escaped.
#pragma once

#include <string>
#include <string_view>

namespace kelmor {

// True when a character is written as an escape in literals rather than as itself: control,
// format, surrogate, private-use and unassigned code points, separators other than U+0020,
// and combining characters (Grapheme_Extend). Table generated from the Unicode Character
// Database by tools/gen_unicode_tables.py.
bool needs_escape(char32_t c) noexcept;

// The character as a character literal: in single quotes, either itself or escaped
// (\t, \r, \n, \\, \', \0, otherwise \u{hex} in lower-case hexadecimal without leading zeros).
std::string char_literal(char32_t c);

// Valid UTF-8 text as a double-quoted string literal: backslash before " and \, the same
// escapes as char_literal for unprintable characters (a single quote stays as it is).
std::string string_literal(std::string_view text);

} // namespace kelmor
