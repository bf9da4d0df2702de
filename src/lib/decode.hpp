// decode.hpp: exact decoding of one data field's text into a binary32 value.
#pragma once

#include <cstdint>
#include <string_view>

#include "layout.hpp"

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
    float value; // meaningful only when error is DecodeError::none
    DecodeError error;
};

namespace detail {

// Which way a text was decoded; the tests follow it, so that no way can vanish unnoticed.
enum class DecodePath : std::uint8_t {
    // A field in the writers' layout, read at fixed positions and scaled by one multiplication.
    layout,
    // Any other decimal number with few digits, clear of a binary32 midpoint: one multiplication.
    scaled,
    // A decimal number that only the exact conversion decides.
    exact,
    // Zero, a special word, or a text that does not decode.
    other,
};

// decode_field for every text that the layout path does not decide; records the way taken in
// *path unless path is null.
DecodeResult decode_field_general(std::string_view text, DecodePath *path = nullptr) noexcept;

// The value of the W-byte field at p (layout_read_bytes readable) when it is in the layout,
// which makes it a number: by one multiplication, or else by the general path. False when the
// field is not in the layout; then nothing is known about it.
template <std::uint32_t W>
[[gnu::always_inline]] inline bool decode_layout(const char *p, float &value) noexcept {
    const LayoutOutcome outcome = read_layout<W>(p, value);
    if (outcome == LayoutOutcome::undecided) [[unlikely]]
        value = decode_field_general(std::string_view(p, W)).value;
    return outcome != LayoutOutcome::other;
}

// decode_field, recording the way taken in *path unless path is null.
DecodeResult decode_field_traced(std::string_view text, DecodePath *path) noexcept;

} // namespace detail

// Trims Unicode white space from both ends of `text` (valid UTF-8 that begins and ends on
// character boundaries), then decodes it: an optional sign, then a decimal number with an
// optional exponent, or a special word. The result is the binary32 value nearest to the
// exact decimal value (round half to even; overflow gives infinity, underflow zero; the sign
// is applied last). Allocates nothing, has no side effects, never throws.
inline DecodeResult decode_field(std::string_view text) noexcept {
    return detail::decode_field_traced(text, nullptr);
}

namespace detail {

// decode_field with the quick paths switched off, so that every number takes the exact
// conversion; lets tests check that the paths agree.
DecodeResult decode_field_exact(std::string_view text) noexcept;

} // namespace detail

} // namespace kelmor
