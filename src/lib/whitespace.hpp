// whitespace.hpp: the 25 Unicode White_Space code points; trimming and tokens of UTF-8 text.
#pragma once

#include <string_view>

namespace kelmor {

// True for exactly the code points of the Unicode White_Space property.
constexpr bool is_white_space(char32_t c) noexcept {
    if (c < 0x80) return (c >= 0x09 && c <= 0x0D) || c == 0x20;
    return c == 0x85 || c == 0xA0 || c == 0x1680 || (c >= 0x2000 && c <= 0x200A) || c == 0x2028 ||
           c == 0x2029 || c == 0x202F || c == 0x205F || c == 0x3000;
}

// The text without the white space at its two ends; `text` must be valid UTF-8.
std::string_view trim_white_space(std::string_view text) noexcept;

// The last maximal run of non-white-space characters of `text` (valid UTF-8), or an
// empty view when the text holds only white space.
std::string_view last_token(std::string_view text) noexcept;

} // namespace kelmor
