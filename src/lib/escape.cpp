// escape.cpp: text of characters and strings as literals, with unprintable characters escaped.
#include "escape.hpp"

#include <algorithm>
#include <cstdint>

#include "unicode_tables.hpp"
#include "utf8.hpp"

namespace kelmor {
namespace {

template <std::size_t N>
bool in_ranges(const std::array<detail::CodePointRange, N> &ranges, char32_t c) noexcept {
    // The first range that ends at or after c is the only one that can hold it.
    const auto it = std::lower_bound(
        ranges.begin(), ranges.end(), c,
        [](const detail::CodePointRange &range, char32_t value) { return range.last < value; });
    return it != ranges.end() && it->first <= c;
}

// True for combining characters that are printable when they follow another character.
bool is_combining(char32_t c) noexcept {
    return c >= 0x80 && in_ranges(detail::combining_ranges, c);
}

// \u{hex}: lower-case hexadecimal without leading zeros.
void append_unicode_escape(std::string &out, char32_t c) {
    constexpr char digits[] = "0123456789abcdef";
    auto code = static_cast<std::uint32_t>(c);
    char hex[8];
    std::size_t count = 0;
    do {
        hex[count++] = digits[code & 0xFU];
        code >>= 4;
    } while (code != 0);
    out.append("\\u{");
    while (count > 0) {
        out.push_back(hex[--count]);
    }
    out.push_back('}');
}

// The escapes shared by both kinds of literal; false when c has none of them.
bool append_named_escape(std::string &out, char32_t c) {
    switch (c) {
    case U'\t': out.append("\\t"); return true;
    case U'\r': out.append("\\r"); return true;
    case U'\n': out.append("\\n"); return true;
    case U'\\': out.append("\\\\"); return true;
    case U'\0': out.append("\\0"); return true;
    default: return false;
    }
}

} // namespace

bool needs_escape(char32_t c) noexcept {
    if (c < 0x80) {
        // ASCII controls are escaped; the blank and the visible characters are not.
        return c < 0x20 || c == 0x7F;
    }
    // Code points above U+10FFFF have no character at all.
    return c > 0x10FFFF || in_ranges(detail::escaped_ranges, c);
}

std::string char_literal(char32_t c) {
    std::string out = "'";
    if (c == U'\'') {
        out.append("\\'");
    } else if (!append_named_escape(out, c)) {
        if (needs_escape(c)) {
            append_unicode_escape(out, c);
        } else {
            utf8::append(out, c);
        }
    }
    out.push_back('\'');
    return out;
}

std::string string_literal(std::string_view text) {
    // Invalid bytes (an unconverted system message, say) show as replacement characters.
    std::string lossy;
    if (!utf8::is_valid(text)) {
        lossy = utf8::to_lossy(text);
        text = lossy;
    }
    std::string out;
    out.reserve(text.size() + 2);
    out.push_back('"');
    std::size_t offset = 0;
    while (offset < text.size()) {
        std::size_t length = 0;
        const char32_t c = utf8::decode_at(text, offset, length);
        if (c == U'"') {
            out.append("\\\"");
        } else if (!append_named_escape(out, c)) {
            // A combining mark that follows a character combines with it and is shown as is;
            // at the start it has nothing to combine with, so it is escaped.
            if (needs_escape(c) && (offset == 0 || !is_combining(c))) {
                append_unicode_escape(out, c);
            } else {
                out.append(text.substr(offset, length));
            }
        }
        offset += length;
    }
    out.push_back('"');
    return out;
}

} // namespace kelmor
