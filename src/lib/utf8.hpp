// utf8.hpp: strict UTF-8 validation with the position of the first error, and lossy conversion.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace kelmor::utf8 {

enum class ErrorKind : std::uint8_t {
    // The bytes are valid UTF-8.
    none,
    // A byte that can never start a character: a continuation byte, 0xC0, 0xC1 or 0xF5..0xFF.
    header_bits,
    // A leading byte is not followed by enough continuation bytes before another byte or the end.
    too_short,
    // A character encoded with more bytes than it needs (0xE0 0x80..0x9F, 0xF0 0x80..0x8F).
    overlong,
    // An encoded UTF-16 surrogate, U+D800 to U+DFFF (0xED 0xA0..0xBF).
    surrogate,
    // A code point above U+10FFFF (0xF4 0x90..0xBF).
    too_large,
};

struct Result {
    ErrorKind kind;
    std::size_t position; // offset of the first byte of the bad sequence (the size when valid)
    std::size_t length;   // bytes of the bad sequence's longest valid prefix, at least 1
};

// Validates `bytes` as strict UTF-8 (no overlong forms, no surrogates, nothing above U+10FFFF).
Result validate(std::string_view bytes) noexcept;

inline bool is_valid(std::string_view bytes) noexcept {
    return validate(bytes).kind == ErrorKind::none;
}

// True when `offset` (at most text.size()) lies on a character boundary of valid UTF-8 text.
inline bool is_char_boundary(std::string_view text, std::size_t offset) noexcept {
    return offset == 0 || offset >= text.size() ||
           (static_cast<unsigned char>(text[offset]) & 0b1100'0000) != 0b1000'0000;
}

// Decodes the character of valid UTF-8 `text` that starts at `offset`; stores its byte length.
char32_t decode_at(std::string_view text, std::size_t offset, std::size_t &length) noexcept;

// Converts arbitrary bytes to valid UTF-8, replacing each maximal invalid subsequence by
// U+FFFD (so an encoded surrogate, three bytes, becomes three replacement characters).
std::string to_lossy(std::string_view bytes);

// Appends the UTF-8 form of code point `c` (at most U+10FFFF). A surrogate gets the three-byte
// form that strict validation rejects, which is what Python's "surrogatepass" writes for it.
void append(std::string &out, char32_t c);

} // namespace kelmor::utf8
