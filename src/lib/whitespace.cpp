// whitespace.cpp: trimming and the last token of UTF-8 text, at Unicode white space.
#include "whitespace.hpp"

#include <cstddef>

namespace kelmor {

namespace {

bool is_continuation(unsigned char byte) noexcept {
    return (byte & 0b1100'0000) == 0b1000'0000;
}

// The byte length of the character that starts at `pos` when it is white space, else 0.
// Only the lead byte's length class matters for the multi-byte white space (2 and 3 bytes);
// a sequence cut short by the end of the text counts as no white space.
std::size_t white_space_length_at(std::string_view text, std::size_t pos) noexcept {
    const auto lead = static_cast<unsigned char>(text[pos]);
    if (lead < 0x80) return is_white_space(lead) ? 1 : 0;
    std::size_t length = 0;
    char32_t code = 0;
    if ((lead & 0b1110'0000) == 0b1100'0000) {
        length = 2;
        code = lead & 0b0001'1111u;
    } else if ((lead & 0b1111'0000) == 0b1110'0000) {
        length = 3;
        code = lead & 0b0000'1111u;
    } else {
        return 0; // four-byte characters (and stray bytes) are never white space
    }
    if (text.size() - pos < length) return 0;
    for (std::size_t i = 1; i < length; ++i) {
        code = (code << 6) | (static_cast<unsigned char>(text[pos + i]) & 0b0011'1111u);
    }
    return is_white_space(code) ? length : 0;
}

// The start of the character that ends just before `end` (end > begin).
std::size_t previous_char_start(std::string_view text, std::size_t begin,
                                std::size_t end) noexcept {
    std::size_t start = end - 1;
    while (start > begin && end - start < 4 &&
           is_continuation(static_cast<unsigned char>(text[start]))) {
        --start;
    }
    return start;
}

// True when the character that ends just before `end` is white space; stores its start.
bool white_space_before(std::string_view text, std::size_t begin, std::size_t end,
                        std::size_t &start) noexcept {
    start = previous_char_start(text, begin, end);
    return white_space_length_at(text, start) == end - start;
}

} // namespace

std::string_view trim_white_space(std::string_view text) noexcept {
    // Forward to the first character that is not white space.
    std::size_t begin = 0;
    while (begin < text.size()) {
        const std::size_t length = white_space_length_at(text, begin);
        if (length == 0) break;
        begin += length;
    }
    if (begin == text.size()) return text.substr(begin, 0);
    // Backward to the last one; the first one found above stops this scan.
    std::size_t end = text.size();
    std::size_t start = 0;
    while (end > begin && white_space_before(text, begin, end, start)) end = start;
    return text.substr(begin, end - begin);
}

std::string_view last_token(std::string_view text) noexcept {
    std::size_t end = text.size();
    std::size_t start = 0;
    while (end > 0 && white_space_before(text, 0, end, start)) end = start;
    std::size_t begin = end;
    while (begin > 0 && !white_space_before(text, 0, begin, start)) begin = start;
    return text.substr(begin, end - begin);
}

} // namespace kelmor
