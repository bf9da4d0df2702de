// decode.cpp: strict syntax and correctly rounded conversion of a data field to binary32.
#include "decode.hpp"

#include "whitespace.hpp"

#include <array>
#include <bit>
#include <charconv>
#include <cstddef>
#include <cstdint>
#include <system_error>

namespace kelmor {

namespace {

constexpr std::uint32_t sign_bit = 0x8000'0000u;
constexpr std::uint32_t infinity_bits = 0x7F80'0000u;
constexpr std::uint32_t quiet_nan_bits = 0x7FC0'0000u;

// The significand keeps the first 19 significant digits: 10^19 - 1 still fits in 64 bits.
constexpr int significand_digits = 19;
// Once the exponent accumulator reaches this, further exponent digits leave it unchanged.
constexpr std::uint32_t exponent_saturation = 65536;
// The exact conversion keeps this many significant digits. Every binary32 value and every
// midpoint between two neighbours is m * 2^e with m < 2^25 and e >= -150, which takes at
// most 113 significant digits, so the digits beyond only tell whether the value lies above
// the kept ones, which one extra non-zero digit records.
constexpr std::size_t exact_digits = 768;

// 10^0 .. 10^10 are exact in binary32: 5^10 < 2^24.
constexpr std::array<float, 11> float_powers = {1e0f, 1e1f, 1e2f, 1e3f, 1e4f, 1e5f,
                                                1e6f, 1e7f, 1e8f, 1e9f, 1e10f};
// 10^0 .. 10^22 are exact in binary64: 5^22 < 2^53.
constexpr std::array<double, 23> double_powers = {
    1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,  1e8,  1e9,  1e10, 1e11,
    1e12, 1e13, 1e14, 1e15, 1e16, 1e17, 1e18, 1e19, 1e20, 1e21, 1e22};

bool is_ascii_white_space(char c) noexcept {
    return c == ' ' || (c >= '\t' && c <= '\r');
}

bool is_digit(char c) noexcept {
    return static_cast<unsigned char>(c - '0') < 10;
}

unsigned digit_value(char c) noexcept {
    return static_cast<unsigned char>(c - '0');
}

// A body that is a decimal number, reduced to what the conversion needs. The exact value is
// w * 10^q when the number has at most 19 significant digits; otherwise w holds the first 19
// (so w >= 10^18) and the value lies in [w * 10^q, (w + 1) * 10^q).
struct Decimal {
    std::uint64_t w;          // the first (at most 19) significant digits; 0 for a zero value
    std::int64_t q;           // decimal exponent of w's last digit
    const char *digits_begin; // integer digits, point and fraction digits, as written
    const char *digits_end;
};

// Redoes the significand of a number written with more than 19 digits: skips leading zeros
// and keeps the first 19 significant digits. Positions are counted in 64 bits, since a field
// may hold billions of digits.
void reduce_long_significand(Decimal &decimal) noexcept {
    std::uint64_t w = 0;
    int kept = 0;
    std::int64_t shift = 0; // decimal exponent of the last kept digit, before the exponent part
    bool fraction = false;
    for (const char *p = decimal.digits_begin; p != decimal.digits_end; ++p) {
        if (*p == '.') {
            fraction = true;
        } else if (kept < significand_digits) {
            w = w * 10 + digit_value(*p);
            kept += w != 0 ? 1 : 0; // leading zeros are not significant
            shift -= fraction ? 1 : 0;
        } else {
            shift += fraction ? 0 : 1;
        }
    }
    decimal.q += shift;
    decimal.w = w;
}

// Parses [p, end) as: digits, optionally "." and digits, at least one digit in all, then
// optionally "e" or "E", an optional sign and at least one digit, and nothing more.
[[gnu::always_inline]] inline bool parse_decimal(const char *p, const char *end,
                                                 Decimal &out) noexcept {
    const char *const begin = p;
    // Accumulate every digit; this may wrap when there are more than 19, which is checked
    // afterwards (the wrapped value is then recomputed).
    std::uint64_t w = 0;
    for (; p != end && is_digit(*p); ++p) w = w * 10 + digit_value(*p);
    auto digit_count = static_cast<std::uint64_t>(p - begin);
    std::int64_t shift = 0;
    if (p != end && *p == '.') {
        const char *const fraction = ++p;
        for (; p != end && is_digit(*p); ++p) w = w * 10 + digit_value(*p);
        shift = -(p - fraction);
        digit_count += static_cast<std::uint64_t>(p - fraction);
    }
    if (digit_count == 0) return false;
    const char *const digits_end = p;

    std::int64_t exponent = 0;
    if (p != end && (*p | 0x20) == 'e') {
        ++p;
        bool negative = false;
        if (p != end && (*p == '+' || *p == '-')) {
            negative = *p == '-';
            ++p;
        }
        if (p == end || !is_digit(*p)) return false;
        std::uint32_t accumulator = 0;
        for (; p != end && is_digit(*p); ++p) {
            if (accumulator < exponent_saturation) accumulator = accumulator * 10 + digit_value(*p);
        }
        exponent = negative ? -std::int64_t{accumulator} : std::int64_t{accumulator};
    }
    if (p != end) return false;

    out = Decimal{w, exponent + shift, begin, digits_end};
    if (digit_count > significand_digits) [[unlikely]] {
        out.q = exponent;
        reduce_long_significand(out);
    }
    return true;
}

// The writers' layout as a Decimal; see detail::parse_layout.
[[gnu::always_inline]] inline bool parse_layout(const char *p, const char *end,
                                                Decimal &out) noexcept {
    std::uint64_t w = 0;
    std::int64_t q = 0;
    if (!detail::parse_layout(p, end, w, q)) return false;
    out = Decimal{w, q, p, end - 4};
    return true;
}

// "inf", "infinity" or "nan" in any letter case, as the whole body.
bool parse_special(const char *p, const char *end, std::uint32_t &bits) noexcept {
    const auto matches = [p](const char *word, std::size_t length) {
        for (std::size_t i = 0; i < length; ++i) {
            // Setting bit 5 lower-cases a letter and maps no other byte onto one.
            if ((p[i] | 0x20) != word[i]) return false;
        }
        return true;
    };
    const auto length = static_cast<std::size_t>(end - p);
    if ((length == 3 && matches("inf", 3)) || (length == 8 && matches("infinity", 8))) {
        bits = infinity_bits;
        return true;
    }
    if (length == 3 && matches("nan", 3)) {
        bits = quiet_nan_bits;
        return true;
    }
    return false;
}

// Exact conversion of any decimal number: first settle magnitudes far beyond the binary32
// range, then hand a canonical text of at most 769 significant digits and a small exponent
// to the correctly rounded library conversion.
float convert_exact(const Decimal &decimal) noexcept {
    // The value lies in [10^leading, 10^(leading + 1)).
    std::int64_t leading = decimal.q;
    for (std::uint64_t rest = decimal.w / 10; rest != 0; rest /= 10) ++leading;
    // 10^39 > 2^128 overflows; 10^-46 < 2^-150 rounds to zero.
    if (leading >= 39) return std::bit_cast<float>(infinity_bits);
    if (leading < -46) return 0.0f;

    // Significant digits, then "e" and an exponent of a sign and at most 3 digits.
    std::array<char, exact_digits + 8> text;
    std::size_t count = 0;
    bool more = false;
    for (const char *p = decimal.digits_begin; p != decimal.digits_end; ++p) {
        if (*p == '.' || (count == 0 && *p == '0')) continue;
        if (count < exact_digits) {
            text[count++] = *p;
        } else if (*p != '0') {
            more = true;
            break;
        }
    }
    // A final non-zero digit stands for all the dropped ones: it keeps the value strictly
    // between the same two multiples of the last kept digit's unit, where no midpoint lies.
    if (more) text[count++] = '1';
    const std::int64_t exponent = leading - static_cast<std::int64_t>(count) + 1;
    text[count++] = 'e';
    const auto written = std::to_chars(text.data() + count, text.data() + text.size(), exponent);
    float value = 0.0f;
    const auto result = std::from_chars(text.data(), written.ptr, value);
    // A result that rounds to zero or overflows is reported as out of range, value untouched.
    if (result.ec == std::errc::result_out_of_range) {
        return leading < 0 ? 0.0f : std::bit_cast<float>(infinity_bits);
    }
    return value;
}

// The magnitude of a decimal number, correctly rounded to binary32.
template <bool quick> [[gnu::always_inline]] inline float convert(const Decimal &decimal) noexcept {
    const std::uint64_t w = decimal.w;
    const std::int64_t q = decimal.q;
    if (w == 0) return 0.0f;
    if constexpr (quick) {
        // Below, a significand of at most 2^53 has at most 16 digits, so no digit was left
        // out of it and w * 10^q is the exact value.
        float scaled = 0.0f;
        if (detail::scale_quickly(w, q, scaled)) return scaled;
        constexpr std::uint64_t below_binary32 = (std::uint64_t{1} << 29) - 1;
        constexpr std::uint64_t midpoint = std::uint64_t{1} << 28;

        // Both operands exact in binary32, so one correctly rounded operation.
        if (w <= (std::uint64_t{1} << 24) && q >= -10 && q <= 10) {
            const auto significand = static_cast<float>(w);
            return q >= 0 ? significand * float_powers[static_cast<std::size_t>(q)]
                          : significand / float_powers[static_cast<std::size_t>(-q)];
        }
        // Both operands exact in binary64 and the result a normal binary32 magnitude. Binary64
        // rounding is monotone and every binary32 value and midpoint here is a binary64 value,
        // so rounding the binary64 result to binary32 gives the correct result unless that
        // result is itself a binary32 midpoint (then it may have been rounded onto it).
        if (w <= (std::uint64_t{1} << 53) && q >= -22 && q <= 22) {
            const auto significand = static_cast<double>(w);
            const double product =
                q >= 0 ? significand * double_powers[static_cast<std::size_t>(q)]
                       : significand / double_powers[static_cast<std::size_t>(-q)];
            if ((std::bit_cast<std::uint64_t>(product) & below_binary32) != midpoint) {
                return static_cast<float>(product);
            }
        }
    }
    return convert_exact(decimal);
}

template <bool quick> [[gnu::hot]] DecodeResult decode(std::string_view text) noexcept {
    const char *p = text.data();
    const char *end = p + text.size();
    // Trim ASCII white space here; only a non-ASCII byte at either end needs the full scan.
    while (p != end && is_ascii_white_space(*p)) ++p;
    while (end != p && is_ascii_white_space(end[-1])) --end;
    if (p != end && (static_cast<unsigned char>(*p) >= 0x80 ||
                     static_cast<unsigned char>(end[-1]) >= 0x80)) {
        const std::string_view trimmed =
            trim_white_space(std::string_view(p, static_cast<std::size_t>(end - p)));
        p = trimmed.data();
        end = p + trimmed.size();
    }
    if (p == end) return {0.0f, DecodeError::empty};

    // A lone sign leaves a body that is neither a number nor a word: invalid below.
    std::uint32_t sign = 0;
    if (*p == '+' || *p == '-') {
        sign = *p == '-' ? sign_bit : 0;
        ++p;
    }
    std::uint32_t bits = 0;
    Decimal decimal;
    if ((quick && parse_layout(p, end, decimal)) || parse_decimal(p, end, decimal)) {
        bits = std::bit_cast<std::uint32_t>(convert<quick>(decimal));
    } else if (!parse_special(p, end, bits)) {
        return {0.0f, DecodeError::invalid};
    }
    return {std::bit_cast<float>(bits | sign), DecodeError::none};
}

} // namespace

namespace detail {

DecodeResult decode_field_general(std::string_view text) noexcept {
    return decode<true>(text);
}

DecodeResult decode_field_exact(std::string_view text) noexcept {
    return decode<false>(text);
}

} // namespace detail

} // namespace kelmor
