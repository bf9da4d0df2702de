// layout.hpp: data fields in the layout that writers use, recognised and read whole.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>

#include "scale.hpp"

namespace kelmor::detail {

// A field of W bytes (11 to 15) as writers fill it with C's "% .{W-7}E": a blank or "-", one
// digit, a point, W - 7 fraction digits, "E", the exponent's sign and two digits, such as
// " 1.23456E+02" (W = 12) or "-1.23456789E-02" (W = 15). Such a field needs neither trimming
// nor parsing: it is recognised at fixed positions and read whole. Any other field, such as
// one with "+" in front or a lower-case "e", takes the general parser, which gives the same
// value.
inline constexpr std::uint32_t layout_min_width = 11;
inline constexpr std::uint32_t layout_max_width = 15;
// Bytes that the layout readers load from the start of a field, beyond its end: their callers
// make them readable (the line source leaves at least this many after every line).
inline constexpr std::size_t layout_read_bytes = 16;

enum class LayoutOutcome : std::uint8_t {
    // The field is not in the layout; nothing is known about it.
    other,
    // The field is in the layout, and one multiplication decided its value.
    scaled,
    // The field is in the layout, so a number, but one multiplication cannot decide its value.
    undecided,
};

inline constexpr bool is_ascii_digit(char c) noexcept {
    return static_cast<unsigned char>(c - '0') < 10;
}

inline constexpr std::uint64_t digit_value(char c) noexcept {
    return static_cast<unsigned char>(c - '0');
}

// The value of 8 digits held one per byte (0 to 9), the first digit in the lowest byte, by the
// eight-digit SWAR method (as in fast_float's parse_eight_digits_unrolled, after Wojciech Muła):
// adjacent digits are paired into bytes 0, 2, 4 and 6, then the four pairs are weighted by two
// multiplications whose wanted sums meet in the upper 32 bits.
inline constexpr std::uint64_t eight_digit_value(std::uint64_t digits) noexcept {
    digits = digits * 10 + (digits >> 8);
    constexpr std::uint64_t pair_mask = 0x0000'00FF'0000'00FFu;
    const std::uint64_t outer = (digits & pair_mask) * (100 + (std::uint64_t{1'000'000} << 32));
    const std::uint64_t inner = ((digits >> 16) & pair_mask) * (1 + (std::uint64_t{10'000} << 32));
    return (outer + inner) >> 32;
}

// The sign bit of a field in the layout: of the blank and "-" in front, only "-" has bit 2.
// Signs vary from field to field, so they are taken from bits rather than by branches.
inline std::uint32_t layout_sign(const char *p) noexcept {
    return std::uint32_t{static_cast<unsigned char>(p[0]) & 4u} << 29;
}

// Reads the W bytes at p (layout_read_bytes readable) when they are in the layout: byte tests
// at the fixed positions, and one 8-byte word for the fraction digits, which both checks and
// weighs them (SWAR). Little-endian only: elsewhere no field is in the layout, and the general
// parser takes them all.
template <std::uint32_t W>
[[gnu::always_inline]] inline LayoutOutcome read_layout_portable(const char *p,
                                                                 float &value) noexcept {
    static_assert(W >= layout_min_width && W <= layout_max_width);
    if constexpr (std::endian::native != std::endian::little) return LayoutOutcome::other;
    constexpr std::uint32_t fraction = W - 7;
    if ((p[0] != ' ' && p[0] != '-') || !is_ascii_digit(p[1]) || p[2] != '.' || p[W - 4] != 'E' ||
        (p[W - 3] != '+' && p[W - 3] != '-') || !is_ascii_digit(p[W - 2]) ||
        !is_ascii_digit(p[W - 1]))
        return LayoutOutcome::other;
    std::uint64_t chunk = 0;
    std::memcpy(&chunk, p + 3, sizeof chunk);
    // A byte's high bit is set in the first term when it is above '9' and in the second when
    // it is below '0'; carries can only disturb bytes after a flagged one, and the word starts
    // at the first fraction digit. Only the fraction's bytes count.
    const std::uint64_t flags =
        ((chunk + 0x4646'4646'4646'4646u) | (chunk - 0x3030'3030'3030'3030u)) &
        (0x8080'8080'8080'8080u >> (8 * (8 - fraction)));
    if (flags != 0) return LayoutOutcome::other;
    // The fraction's digits moved to the top bytes, which drops the bytes after them and puts
    // zeros, leading digits that add nothing, in front; the integer digit goes just before
    // them when there is room.
    const std::uint64_t digits = (chunk & 0x0F0F'0F0F'0F0F'0F0Fu) << (8 * (8 - fraction));
    std::uint64_t w = 0;
    if constexpr (fraction < 8) {
        w = eight_digit_value(digits | digit_value(p[1]) << (8 * (7 - fraction)));
    } else {
        w = digit_value(p[1]) * 100'000'000 + eight_digit_value(digits);
    }
    // The exponent's sign: of "+" and "-", only "-" has bit 2.
    const std::uint64_t exponent = digit_value(p[W - 2]) * 10 + digit_value(p[W - 1]);
    const std::uint64_t negative = (static_cast<unsigned char>(p[W - 3]) >> 2) & 1u;
    const auto q = static_cast<std::int64_t>((exponent ^ (0 - negative)) + negative) - fraction;
    float magnitude = 0.0f;
    if (!scale(static_cast<double>(w), q, magnitude)) return LayoutOutcome::undecided;
    value = std::bit_cast<float>(std::bit_cast<std::uint32_t>(magnitude) | layout_sign(p));
    return LayoutOutcome::scaled;
}

// The length, with its line end, of a line at the start of `bytes` whose first `span` bytes are
// followed by "\n" or "\r\n" that `bytes` holds; 0 otherwise.
inline std::size_t line_length_after(std::string_view bytes, std::size_t span) noexcept {
    if (bytes.size() <= span) return 0;
    if (bytes[span] == '\n') return span + 1;
    return bytes[span] == '\r' && bytes.size() > span + 1 && bytes[span + 1] == '\n' ? span + 2 : 0;
}

// Reads a data line at the start of `bytes` (followed by layout_read_bytes readable bytes) when
// it is nothing but `fields` fields of width W in the layout and its line end: each field by
// read_layout_portable, field j into out[j * stride], and `decide(field, value)` settles those
// that one multiplication cannot decide. Gives the line's length with its line end; 0, with
// nothing known, when the line is anything else.
template <std::uint32_t W, typename Decide>
[[gnu::always_inline]] inline std::size_t
read_layout_line_portable(std::string_view bytes, std::uint32_t fields, float *out,
                          std::size_t stride, Decide decide) {
    const std::size_t length = line_length_after(bytes, std::size_t{fields} * W);
    if (length == 0) return 0;
    const char *p = bytes.data();
    for (std::uint32_t j = 0; j < fields; ++j, p += W, out += stride) {
        const LayoutOutcome outcome = read_layout_portable<W>(p, *out);
        if (outcome == LayoutOutcome::other) return 0;
        if (outcome == LayoutOutcome::undecided) [[unlikely]]
            decide(p, *out);
    }
    return length;
}

} // namespace kelmor::detail

#include "simd.hpp"
#ifdef KELMOR_SSE2
#include "layout_sse2.hpp"
#endif

namespace kelmor::detail {

// The W bytes at p (layout_read_bytes readable) read as a field in the layout, with SSE2 where
// it has a reader for W.
template <std::uint32_t W>
[[gnu::always_inline]] inline LayoutOutcome read_layout(const char *p, float &value) noexcept {
#ifdef KELMOR_SSE2
    if constexpr (has_sse2_layout(W)) return read_layout_sse2<W>(p, value);
#endif
    return read_layout_portable<W>(p, value);
}

} // namespace kelmor::detail
