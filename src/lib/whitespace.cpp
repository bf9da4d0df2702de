// whitespace.cpp: trimming and the last token of UTF-8 text, at Unicode white space.
#include "whitespace.hpp"

#include <cstddef>

#include "utf8.hpp"

namespace kelmor {

namespace {

// The byte length of the character that starts at `pos` when it is white space, else 0.
std::size_t white_space_length_at(std::string_view text, std::size_t pos) noexcept {
    // Fields and count lines are ASCII: their characters need no decoding.
    const auto byte = static_cast<unsigned char>(text[pos]);
    if (byte < 0x80) return is_white_space(byte) ? 1 : 0;
    std::size_t length = 0;
    return is_white_space(utf8::decode_at(text, pos, length)) ? length : 0;
}

// The start of the character that ends just before `end` (end > 0).
std::size_t previous_char_start(std::string_view text, std::size_t end) noexcept {
    std::size_t start = end - 1;
    while (!utf8::is_char_boundary(text, start)) --start;
    return start;
}

// True when the character that ends just before `end` is white space; stores its start.
bool white_space_before(std::string_view text, std::size_t end, std::size_t &start) noexcept {
    start = previous_char_start(text, end);
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
    while (end > begin && white_space_before(text, end, start)) end = start;
    return text.substr(begin, end - begin);
}

std::string_view last_token(std::string_view text) noexcept {
    std::size_t end = text.size();
    std::size_t start = 0;
    while (end > 0 && white_space_before(text, end, start)) end = start;
    std::size_t begin = end;
    while (begin > 0 && !white_space_before(text, begin, start)) begin = start;
    return text.substr(begin, end - begin);
}

} // namespace kelmor
