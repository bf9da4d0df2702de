// decode.hpp: exact decoding of one data field's text into a binary32 value.
#pragma once

#include <cstdint>
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

// Trims Unicode white space from both ends of `text` (valid UTF-8 that begins and ends on
// character boundaries), then decodes it: an optional sign, then a decimal number with an
// optional exponent, or a special word. The result is the binary32 value nearest to the
// exact decimal value (round half to even; overflow gives infinity, underflow zero; the sign
// is applied last). Allocates nothing, has no side effects, never throws.
DecodeResult decode_field(std::string_view text) noexcept;

namespace detail {

// decode_field with the quick binary32/binary64 paths switched off, so that every number
// takes the exact conversion; lets tests check that the paths agree.
DecodeResult decode_field_exact(std::string_view text) noexcept;

} // namespace detail

} // namespace kelmor
