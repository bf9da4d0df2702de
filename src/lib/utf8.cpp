// utf8.cpp: strict UTF-8 validation with an ASCII fast path, decoding and lossy conversion.
#include "utf8.hpp"

#include <algorithm>
#include <cstring>

namespace kelmor::utf8 {
namespace {

// The outcome for one character: its byte length when valid, else the length of the
// longest prefix that could still begin a valid character (the "maximal subpart").
struct CharCheck {
    ErrorKind kind;
    std::size_t length;
};

constexpr bool is_continuation(unsigned char byte) noexcept {
    return (byte & 0b1100'0000) == 0b1000'0000;
}

// Checks the character that starts at p[0], with `available` >= 1 bytes readable.
//
//   U+0000..U+007F     0xxxxxxx
//   U+0080..U+07FF     110xxxxx 10xxxxxx                     lead C2..DF
//   U+0800..U+FFFF     1110xxxx 10xxxxxx 10xxxxxx            second byte A0..BF after E0,
//                                                            80..9F after ED (surrogates)
//   U+10000..U+10FFFF  11110xxx 10xxxxxx 10xxxxxx 10xxxxxx   second byte 90..BF after F0,
//                                                            80..8F after F4
// The narrowed second-byte ranges exclude overlong forms, surrogates and values above
// U+10FFFF, so a valid prefix is known after two bytes at most.
inline CharCheck check_char(const unsigned char *p, std::size_t available) noexcept {
    const unsigned char lead = p[0];
    if ((lead & 0b1000'0000) == 0) {
        return {ErrorKind::none, 1};
    }
    std::size_t needed = 0;
    unsigned char low = 0x80;
    unsigned char high = 0xBF;
    ErrorKind below_low = ErrorKind::too_short;
    ErrorKind above_high = ErrorKind::too_short;
    if ((lead & 0b1110'0000) == 0b1100'0000) {
        // C0 and C1 could only encode ASCII characters, in two bytes.
        if (lead < 0xC2) {
            return {ErrorKind::header_bits, 1};
        }
        needed = 2;
    } else if ((lead & 0b1111'0000) == 0b1110'0000) {
        needed = 3;
        if (lead == 0xE0) {
            low = 0xA0;
            below_low = ErrorKind::overlong;
        } else if (lead == 0xED) {
            high = 0x9F;
            above_high = ErrorKind::surrogate;
        }
    } else if ((lead & 0b1111'1000) == 0b1111'0000) {
        // F5..F7 would start code points above U+10FFFF only.
        if (lead > 0xF4) {
            return {ErrorKind::header_bits, 1};
        }
        needed = 4;
        if (lead == 0xF0) {
            low = 0x90;
            below_low = ErrorKind::overlong;
        } else if (lead == 0xF4) {
            high = 0x8F;
            above_high = ErrorKind::too_large;
        }
    } else {
        // A continuation byte, or F8..FF.
        return {ErrorKind::header_bits, 1};
    }
    if (available < 2 || !is_continuation(p[1])) {
        return {ErrorKind::too_short, 1};
    }
    if (p[1] < low) {
        return {below_low, 1};
    }
    if (p[1] > high) {
        return {above_high, 1};
    }
    for (std::size_t k = 2; k < needed; ++k) {
        if (k >= available || !is_continuation(p[k])) {
            return {ErrorKind::too_short, k};
        }
    }
    return {ErrorKind::none, needed};
}

// True when one of the 16 bytes at p has its high bit set, that is, is not ASCII.
inline bool has_non_ascii_16(const unsigned char *p) noexcept {
    std::uint64_t first = 0;
    std::uint64_t second = 0;
    std::memcpy(&first, p, sizeof first);
    std::memcpy(&second, p + sizeof first, sizeof second);
    return ((first | second) & 0x8080'8080'8080'8080U) != 0;
}

constexpr std::size_t block_size = 16;

} // namespace

Result validate(std::string_view bytes) noexcept {
    const auto *p = reinterpret_cast<const unsigned char *>(bytes.data());
    const std::size_t size = bytes.size();
    std::size_t i = 0;
    while (i < size) {
        // Skip whole blocks of ASCII: most plot file text is digits, signs and blanks.
        while (size - i >= block_size && !has_non_ascii_16(p + i)) {
            i += block_size;
        }
        // A shorter rest (a line's last bytes) is checked as the input's last 16 bytes,
        // which overlap bytes already checked, rather than byte by byte.
        if (size - i < block_size && size >= block_size &&
            !has_non_ascii_16(p + size - block_size)) {
            return {ErrorKind::none, size, 0};
        }
        // Then check character by character to the end of the block that stopped the
        // fast path (or of the input), so mixed text does not retry it at every character.
        const std::size_t stop = std::min(size, i + block_size);
        while (i < stop) {
            if (p[i] < 0x80) {
                ++i;
                continue;
            }
            const CharCheck check = check_char(p + i, size - i);
            if (check.kind != ErrorKind::none) {
                return {check.kind, i, check.length};
            }
            i += check.length;
        }
    }
    return {ErrorKind::none, size, 0};
}

char32_t decode_at(std::string_view text, std::size_t offset, std::size_t &length) noexcept {
    if (offset >= text.size()) {
        length = 0;
        return 0;
    }
    const auto *p = reinterpret_cast<const unsigned char *>(text.data()) + offset;
    const CharCheck check = check_char(p, text.size() - offset);
    length = check.length;
    // Invalid bytes read as one replacement character per maximal subpart, as in to_lossy.
    if (check.kind != ErrorKind::none) {
        return U'\uFFFD';
    }
    std::uint32_t code = 0;
    switch (check.length) {
    case 1: code = p[0]; break;
    case 2: code = (std::uint32_t{p[0] & 0b0001'1111U} << 6) | (p[1] & 0b0011'1111U); break;
    case 3:
        code = (std::uint32_t{p[0] & 0b0000'1111U} << 12) |
               (std::uint32_t{p[1] & 0b0011'1111U} << 6) | (p[2] & 0b0011'1111U);
        break;
    default:
        code = (std::uint32_t{p[0] & 0b0000'0111U} << 18) |
               (std::uint32_t{p[1] & 0b0011'1111U} << 12) |
               (std::uint32_t{p[2] & 0b0011'1111U} << 6) | (p[3] & 0b0011'1111U);
        break;
    }
    return static_cast<char32_t>(code);
}

void append(std::string &out, char32_t c) {
    const auto code = static_cast<std::uint32_t>(c);
    if (code < 0x80) {
        out.push_back(static_cast<char>(code));
    } else if (code < 0x800) {
        out.push_back(static_cast<char>(0b1100'0000U | (code >> 6)));
        out.push_back(static_cast<char>(0b1000'0000U | (code & 0b0011'1111U)));
    } else if (code < 0x10000) {
        out.push_back(static_cast<char>(0b1110'0000U | (code >> 12)));
        out.push_back(static_cast<char>(0b1000'0000U | ((code >> 6) & 0b0011'1111U)));
        out.push_back(static_cast<char>(0b1000'0000U | (code & 0b0011'1111U)));
    } else {
        out.push_back(static_cast<char>(0b1111'0000U | (code >> 18)));
        out.push_back(static_cast<char>(0b1000'0000U | ((code >> 12) & 0b0011'1111U)));
        out.push_back(static_cast<char>(0b1000'0000U | ((code >> 6) & 0b0011'1111U)));
        out.push_back(static_cast<char>(0b1000'0000U | (code & 0b0011'1111U)));
    }
}

std::string to_lossy(std::string_view bytes) {
    std::string text;
    text.reserve(bytes.size());
    for (;;) {
        const Result result = validate(bytes);
        text.append(bytes.substr(0, result.position));
        if (result.kind == ErrorKind::none) {
            return text;
        }
        text.append("\xEF\xBF\xBD"); // U+FFFD REPLACEMENT CHARACTER
        bytes.remove_prefix(result.position + result.length);
    }
}

} // namespace kelmor::utf8
