// decode.cpp: strict syntax and correctly rounded conversion of a data field to binary32.
#include "decode.hpp"

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "convert_exact.hpp"
#include "whitespace.hpp"

namespace kelmor {

namespace {

using detail::DecodePath;

constexpr std::uint32_t sign_bit = 0x8000'0000u;
constexpr std::uint32_t infinity_bits = 0x7F80'0000u;
constexpr std::uint32_t quiet_nan_bits = 0x7FC0'0000u;

// The significand keeps the first 19 significant digits: 10^19 - 1 still fits in 64 bits.
constexpr int significand_digits = 19;
// Once the exponent accumulator reaches this, further exponent digits leave it unchanged.
constexpr std::uint32_t exponent_saturation = 65536;

void trace(DecodePath *path, DecodePath taken) noexcept {
    if (path != nullptr) *path = taken;
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
            w = w * 10 + detail::digit_value(*p);
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
bool parse_decimal(const char *p, const char *end, Decimal &out) noexcept {
    using detail::digit_value;
    using detail::is_ascii_digit;
    const char *const begin = p;
    // Accumulate every digit; this may wrap when there are more than 19, which is checked
    // afterwards (the wrapped value is then recomputed).
    std::uint64_t w = 0;
    for (; p != end && is_ascii_digit(*p); ++p) w = w * 10 + digit_value(*p);
    auto digit_count = static_cast<std::uint64_t>(p - begin);
    std::int64_t shift = 0;
    if (p != end && *p == '.') {
        const char *const fraction = ++p;
        for (; p != end && is_ascii_digit(*p); ++p) w = w * 10 + digit_value(*p);
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
        if (p == end || !is_ascii_digit(*p)) return false;
        std::uint32_t accumulator = 0;
        for (; p != end && is_ascii_digit(*p); ++p) {
            if (accumulator < exponent_saturation)
                accumulator = accumulator * 10 + static_cast<std::uint32_t>(digit_value(*p));
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

// The magnitude of a decimal number, correctly rounded to binary32.
template <bool quick>
float convert(const Decimal &decimal, DecodePath *path) noexcept {
    if (decimal.w == 0) {
        trace(path, DecodePath::other);
        return 0.0f;
    }
    // A significand of at most 2^53 has at most 16 digits, so no digit was left out of it and
    // w * 10^q is the exact value.
    float value = 0.0f;
    if (quick && decimal.w <= (std::uint64_t{1} << 53) &&
        detail::scale(static_cast<double>(decimal.w), decimal.q, value)) {
        trace(path, DecodePath::scaled);
        return value;
    }
    trace(path, DecodePath::exact);
    std::int64_t leading = decimal.q;
    for (std::uint64_t rest = decimal.w / 10; rest != 0; rest /= 10) ++leading;
    return detail::convert_exact({decimal.digits_begin, decimal.digits_end, leading});
}

template <bool quick>
DecodeResult decode(std::string_view text, DecodePath *path) noexcept {
    trace(path, DecodePath::other);
    text = trim_white_space(text);
    if (text.empty()) return {0.0f, DecodeError::empty};
    const char *p = text.data();
    const char *const end = p + text.size();

    // A lone sign leaves a body that is neither a number nor a word: invalid below.
    std::uint32_t sign = 0;
    if (*p == '+' || *p == '-') {
        sign = *p == '-' ? sign_bit : 0;
        ++p;
    }
    std::uint32_t bits = 0;
    Decimal decimal;
    if (parse_decimal(p, end, decimal)) {
        bits = std::bit_cast<std::uint32_t>(convert<quick>(decimal, path));
    } else if (!parse_special(p, end, bits)) {
        return {0.0f, DecodeError::invalid};
    }
    return {std::bit_cast<float>(bits | sign), DecodeError::none};
}

} // namespace

namespace detail {

DecodeResult decode_field_general(std::string_view text, DecodePath *path) noexcept {
    return decode<true>(text, path);
}

DecodeResult decode_field_exact(std::string_view text) noexcept {
    return decode<false>(text, nullptr);
}

DecodeResult decode_field_traced(std::string_view text, DecodePath *path) noexcept {
    const std::size_t size = text.size();
    if (size - layout_min_width <= layout_max_width - layout_min_width) {
        // The layout readers load 16 bytes; the text may end where its memory does.
        alignas(16) char field[layout_read_bytes] = {};
        std::memcpy(field, text.data(), 8);
        std::memcpy(field + size - 8, text.data() + size - 8, 8);
        float value = 0.0f;
        LayoutOutcome outcome = LayoutOutcome::other;
        switch (size) {
        case 11: outcome = read_layout<11>(field, value); break;
        case 12: outcome = read_layout<12>(field, value); break;
        case 13: outcome = read_layout<13>(field, value); break;
        case 14: outcome = read_layout<14>(field, value); break;
        default: outcome = read_layout<15>(field, value); break;
        }
        if (outcome == LayoutOutcome::scaled) {
            trace(path, DecodePath::layout);
            return {value, DecodeError::none};
        }
    }
    return decode<true>(text, path);
}

} // namespace detail

} // namespace kelmor
