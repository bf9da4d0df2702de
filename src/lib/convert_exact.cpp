// convert_exact.cpp: correctly rounded binary32 value of a decimal number of any length.
#include "convert_exact.hpp"

#include <array>
#include <bit>
#include <charconv>
#include <cstddef>
#include <system_error>

namespace kelmor::detail {

namespace {

constexpr std::uint32_t infinity_bits = 0x7F80'0000u;

// The conversion keeps this many significant digits. Every binary32 value and every midpoint
// between two neighbours is m * 2^e with m < 2^25 and e >= -150, which takes at most 113
// significant digits, so the digits beyond only tell whether the value lies above the kept
// ones, which one extra non-zero digit records.
constexpr std::size_t kept_digits = 768;

} // namespace

// Settles magnitudes far beyond the binary32 range, then hands a canonical text of at most
// 769 significant digits and a small exponent to the library's conversion, which is correctly
// rounded (libstdc++ 12 and later).
float convert_exact(const DecimalDigits &number) noexcept {
    // 10^39 > 2^128 overflows; 10^-46 < 2^-150 rounds to zero.
    if (number.leading >= 39) return std::bit_cast<float>(infinity_bits);
    if (number.leading < -46) return 0.0f;

    // Significant digits, then "e" and an exponent of a sign and at most 3 digits.
    std::array<char, kept_digits + 8> text;
    std::size_t count = 0;
    bool more = false;
    for (const char *p = number.begin; p != number.end; ++p) {
        if (*p == '.' || (count == 0 && *p == '0')) continue;
        if (count < kept_digits) {
            text[count++] = *p;
        } else if (*p != '0') {
            more = true;
            break;
        }
    }
    // A final non-zero digit stands for all the dropped ones: it keeps the value strictly
    // between the same two multiples of the last kept digit's unit, where no midpoint lies.
    if (more) text[count++] = '1';
    const std::int64_t exponent = number.leading - static_cast<std::int64_t>(count) + 1;
    text[count++] = 'e';
    const auto written = std::to_chars(text.data() + count, text.data() + text.size(), exponent);
    float value = 0.0f;
    const auto result = std::from_chars(text.data(), written.ptr, value);
    // A result that rounds to zero or overflows is reported as out of range, value untouched.
    if (result.ec == std::errc::result_out_of_range) {
        return number.leading < 0 ? 0.0f : std::bit_cast<float>(infinity_bits);
    }
    return value;
}

} // namespace kelmor::detail
