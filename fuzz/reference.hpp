// reference.hpp: slow, obviously correct models of the core's text rules, for the fuzz targets.
// They share no code with the core: each follows the rule as written, by code points.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "utf8.hpp"

namespace kelmor::reference {

// The first UTF-8 error of `bytes`, found by decoding whole code points and checking their
// ranges afterwards (the core decides from the first two bytes instead).
inline utf8::Result validate(std::string_view bytes) {
    const std::size_t n = bytes.size();
    auto at = [&](std::size_t i) { return static_cast<unsigned char>(bytes[i]); };
    auto continuation = [&](std::size_t i) { return (at(i) & 0xC0) == 0x80; };
    std::size_t i = 0;
    while (i < n) {
        const unsigned lead = at(i);
        if (lead < 0x80) {
            ++i;
            continue;
        }
        std::size_t need = 0;
        std::uint32_t minimum = 0;
        std::uint32_t code = 0;
        if (lead >= 0xC2 && lead <= 0xDF) {
            need = 2, minimum = 0x80, code = lead & 0x1F;
        } else if (lead >= 0xE0 && lead <= 0xEF) {
            need = 3, minimum = 0x800, code = lead & 0x0F;
        } else if (lead >= 0xF0 && lead <= 0xF4) {
            need = 4, minimum = 0x10000, code = lead & 0x07;
        } else {
            return {utf8::ErrorKind::header_bits, i, 1};
        }
        std::size_t k = 1;
        while (k < need && i + k < n && continuation(i + k)) {
            code = (code << 6) | (at(i + k) & 0x3F);
            ++k;
        }
        // The code points that the k bytes read so far could still become.
        const unsigned missing_bits = static_cast<unsigned>(6 * (need - k));
        const std::uint32_t low = code << missing_bits;
        const std::uint32_t high = low | ((std::uint32_t{1} << missing_bits) - 1);
        utf8::ErrorKind kind = utf8::ErrorKind::none;
        if (high < minimum) kind = utf8::ErrorKind::overlong;
        else if (low > 0x10FFFF) kind = utf8::ErrorKind::too_large;
        else if (low >= 0xD800 && high <= 0xDFFF) kind = utf8::ErrorKind::surrogate;
        if (kind != utf8::ErrorKind::none) return {kind, i, 1};
        if (k < need) return {utf8::ErrorKind::too_short, i, k == 1 ? 1 : k};
        i += need;
    }
    return {utf8::ErrorKind::none, n, 0};
}

// The code points of valid UTF-8 text, each with its byte offset.
struct CodePoint {
    char32_t value;
    std::size_t offset;
    std::size_t length;
};

inline std::vector<CodePoint> code_points(std::string_view text) {
    std::vector<CodePoint> points;
    std::size_t i = 0;
    while (i < text.size()) {
        const auto lead = static_cast<unsigned char>(text[i]);
        const std::size_t length = lead < 0x80 ? 1 : lead < 0xE0 ? 2 : lead < 0xF0 ? 3 : 4;
        std::uint32_t value = length == 1 ? lead : lead & (0x7F >> length);
        for (std::size_t k = 1; k < length; ++k)
            value = (value << 6) | (static_cast<unsigned char>(text[i + k]) & 0x3F);
        points.push_back({static_cast<char32_t>(value), i, length});
        i += length;
    }
    return points;
}

// The 25 code points of the Unicode White_Space property, listed one by one.
inline bool is_white_space(char32_t c) {
    static constexpr char32_t listed[] = {0x09,   0x0A,   0x0B,   0x0C,   0x0D,   0x20,   0x85,
                                          0xA0,   0x1680, 0x2000, 0x2001, 0x2002, 0x2003, 0x2004,
                                          0x2005, 0x2006, 0x2007, 0x2008, 0x2009, 0x200A, 0x2028,
                                          0x2029, 0x202F, 0x205F, 0x3000};
    for (char32_t w : listed)
        if (w == c) return true;
    return false;
}

inline std::string_view trim(std::string_view text) {
    std::vector<CodePoint> points = code_points(text);
    std::size_t first = 0;
    while (first < points.size() && is_white_space(points[first].value)) ++first;
    if (first == points.size()) return text.substr(text.size());
    std::size_t last = points.size() - 1;
    while (is_white_space(points[last].value)) --last;
    return text.substr(points[first].offset,
                       points[last].offset + points[last].length - points[first].offset);
}

inline std::string_view last_token(std::string_view text) {
    std::vector<CodePoint> points = code_points(text);
    std::size_t end = points.size();
    while (end > 0 && is_white_space(points[end - 1].value)) --end;
    if (end == 0) return text.substr(text.size());
    std::size_t begin = end;
    while (begin > 0 && !is_white_space(points[begin - 1].value)) --begin;
    return text.substr(points[begin].offset,
                       points[end - 1].offset + points[end - 1].length - points[begin].offset);
}

} // namespace kelmor::reference
