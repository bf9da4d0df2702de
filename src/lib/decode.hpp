// decode.hpp: exact decoding of one data field's text into a binary32 value.
#pragma once

#include <array>
#include <bit>
#include <cstdint>
#include <cstring>
#include <string_view>

namespace kelmor {

enum class DecodeError : std::uint8_t {
    // The text decoded to a value.
    none,
    // The text is empty once white space is trimmed from both ends.
    empty,
    // The trimmed text is neither a decimal number nor one of "inf", "infinity", "nan".
    invalid,
};

struct DecodeResult {
    float value;       // meaningful only when error is DecodeError::none
    DecodeError error;
};

namespace detail {

// 10^-22 .. 10^22, each the nearest binary64 value (exact from 10^0 up).
inline constexpr int scale_limit = 22;
inline constexpr std::array<double, 2 * scale_limit + 1> scales = {
    1e-22, 1e-21, 1e-20, 1e-19, 1e-18, 1e-17, 1e-16, 1e-15, 1e-14, 1e-13, 1e-12,
    1e-11, 1e-10, 1e-9,  1e-8,  1e-7,  1e-6,  1e-5,  1e-4,  1e-3,  1e-2,  1e-1,
    1e0,   1e1,   1e2,   1e3,   1e4,   1e5,   1e6,   1e7,   1e8,   1e9,   1e10,
    1e11,  1e12,  1e13,  1e14,  1e15,  1e16,  1e17,  1e18,  1e19,  1e20,  1e21, 1e22};
// 10^0 .. 10^8.
inline constexpr std::array<std::uint64_t, 9> integer_powers = {
    1, 10, 100, 1'000, 10'000, 100'000, 1'000'000, 10'000'000, 100'000'000};

inline bool is_ascii_digit(char c) noexcept {
    return static_cast<unsigned char>(c - '0') < 10;
}

inline std::uint64_t ascii_digit_value(char c) noexcept {
    return static_cast<unsigned char>(c - '0');
}

// The value of 8 digits held one per byte (0 to 9), the first digit in the lowest byte:
// adjacent digits are paired into bytes 0, 2, 4 and 6, then the four pairs are weighted by
// two multiplications whose wanted sums meet in the upper 32 bits.
inline std::uint64_t eight_digit_value(std::uint64_t digits) noexcept {
    digits = digits * 10 + (digits >> 8);
    constexpr std::uint64_t pair_mask = 0x0000'00FF'0000'00FFu;
    const std::uint64_t outer = (digits & pair_mask) * (100 + (std::uint64_t{1'000'000} << 32));
    const std::uint64_t inner = ((digits >> 16) & pair_mask) * (1 + (std::uint64_t{10'000} << 32));
    return (outer + inner) >> 32;
}

// The layout that writers of data fields use, d.ffffE+xx with 4 to 8 fraction digits f and
// a two-digit exponent x, recognised in [p, end) with a few fixed-position tests and one
// 8-byte load of the fraction digits: the value is w * 10^q. Gives false for every other
// text, which the general parser then takes, and which would give the same w and q.
[[gnu::always_inline]] inline bool parse_layout(const char *p, const char *end, std::uint64_t &w,
                                                std::int64_t &q) noexcept {
    if constexpr (std::endian::native != std::endian::little) return false;
    const auto length = end - p;
    if (length < 10 || length > 14) return false;
    if (!is_ascii_digit(p[0]) || p[1] != '.' || (end[-4] | 0x20) != 'e' ||
        (end[-3] != '+' && end[-3] != '-') || !is_ascii_digit(end[-2]) || !is_ascii_digit(end[-1]))
        return false;
    const auto fraction = static_cast<int>(length - 6);
    std::uint64_t chunk = 0;
    std::memcpy(&chunk, p + 2, sizeof chunk); // length >= 10: the 8 bytes lie in the text
    // A byte's high bit is set in the first term when it is above '9' and in the second when
    // it is below '0'; carries can only disturb bytes after a flagged one. Only the fraction's
    // bytes count.
    const std::uint64_t flags =
        ((chunk + 0x4646'4646'4646'4646u) | (chunk - 0x3030'3030'3030'3030u)) &
        (0x8080'8080'8080'8080u >> (8 * (8 - fraction)));
    if (flags != 0) return false;
    // Shifting the fraction's digits to the top bytes drops the bytes after them and puts
    // zeros, leading digits that add nothing, in front.
    const std::uint64_t digits = (chunk - 0x3030'3030'3030'3030u) << (8 * (8 - fraction));
    w = ascii_digit_value(p[0]) * integer_powers[static_cast<std::size_t>(fraction)] +
        eight_digit_value(digits);
    const auto exponent =
        static_cast<std::int64_t>(ascii_digit_value(end[-2]) * 10 + ascii_digit_value(end[-1]));
    q = (end[-3] == '-' ? -exponent : exponent) - fraction;
    return true;
}

// w * 10^q correctly rounded to binary32 (w != 0, and no digit left out of w) by one
// multiplication by the nearest binary64 value of 10^q, for both signs of q (a division takes
// several times as long). The product lies within 2^-52 of the exact value relatively, that
// is within 3 binary64 units in its last place (the result is a normal binary32 magnitude:
// from 10^-22 to below 2^127). Unless it lies within 4 units of a binary32 midpoint, the exact
// value is on the same side of every midpoint and rounds to the same binary32 value; there,
// and outside the range, gives false and leaves the decision to the exact paths.
[[gnu::always_inline]] inline bool scale_quickly(std::uint64_t w, std::int64_t q,
                                                 float &value) noexcept {
    if (w > (std::uint64_t{1} << 53) || q < -scale_limit || q > scale_limit) return false;
    const double product = static_cast<double>(w) * scales[static_cast<std::size_t>(q + scale_limit)];
    constexpr std::uint64_t below_binary32 = (std::uint64_t{1} << 29) - 1;
    constexpr std::uint64_t midpoint = std::uint64_t{1} << 28;
    constexpr std::uint64_t tolerance = 4;
    if ((std::bit_cast<std::uint64_t>(product) & below_binary32) - (midpoint - tolerance) <=
        2 * tolerance)
        return false;
    value = static_cast<float>(product);
    return true;
}

// decode_field for every text that is not a field in the writers' layout.
DecodeResult decode_field_general(std::string_view text) noexcept;

} // namespace detail

// Trims Unicode white space from both ends of `text` (valid UTF-8 that begins and ends on
// character boundaries), then decodes it: an optional sign, then a decimal number with an
// optional exponent, or a special word. The result is the binary32 value nearest to the
// exact decimal value (round half to even; overflow gives infinity, underflow zero; the sign
// is applied last). Allocates nothing, has no side effects, never throws.
// Inline, so that the reader's loop decodes the common field without a call: a field as
// writers fill it, a blank or a sign and then d.ffffE+xx, needs no trimming (it starts and
// ends with a byte that is not white space) and, away from binary32 midpoints, one
// multiplication.
inline DecodeResult decode_field(std::string_view text) noexcept {
    const char *p = text.data();
    if (text.size() >= 11 && text.size() <= 15 && (*p == ' ' || *p == '-' || *p == '+')) {
        std::uint64_t w = 0;
        std::int64_t q = 0;
        float value = 0.0f;
        if (detail::parse_layout(p + 1, p + text.size(), w, q) && w != 0 &&
            detail::scale_quickly(w, q, value)) {
            const std::uint32_t sign = *p == '-' ? 0x8000'0000u : 0;
            return {std::bit_cast<float>(std::bit_cast<std::uint32_t>(value) | sign),
                    DecodeError::none};
        }
    }
    return detail::decode_field_general(text);
}

namespace detail {

// decode_field with the quick binary32/binary64 paths switched off, so that every number
// takes the exact conversion; lets tests check that the paths agree.
DecodeResult decode_field_exact(std::string_view text) noexcept;

} // namespace detail

} // namespace kelmor
