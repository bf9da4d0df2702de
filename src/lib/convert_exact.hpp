// convert_exact.hpp: correctly rounded binary32 value of a decimal number of any length.
#pragma once

#include <cstdint>

namespace kelmor::detail {

// A non-zero decimal number as written: its digits, with at most one "." among them and at
// least one non-zero digit, and the decimal exponent of its first non-zero digit, so that its
// value lies in [10^leading, 10^(leading + 1)).
struct DecimalDigits {
    const char *begin;
    const char *end;
    std::int64_t leading;
};

// The number's magnitude rounded to the nearest binary32 value, ties to even: infinity from
// 2^128 - 2^103 up, zero at 2^-150 and below. Decides every case, whatever the number of
// digits; the decoder calls it only when its quick path cannot decide. This is the one place
// that depends on the C++ library's correctly rounded std::from_chars<float>.
float convert_exact(const DecimalDigits &number) noexcept;

} // namespace kelmor::detail
