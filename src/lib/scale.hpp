// scale.hpp: w * 10^q correctly rounded to binary32 by one multiplication, where that decides.
#pragma once

#include <array>
#include <bit>
#include <cstdint>

namespace kelmor::detail {

// 10^-37 .. 10^38, each the nearest binary64 value (the compiler rounds each literal once).
// From 10^-37 up, w * 10^q with w >= 1 is a normal binary32 magnitude or overflows.
inline constexpr int scale_min = -37;
inline constexpr int scale_max = 38;
inline constexpr std::array<double, scale_max - scale_min + 1> scales = {
    1e-37, 1e-36, 1e-35, 1e-34, 1e-33, 1e-32, 1e-31, 1e-30, 1e-29, 1e-28, 1e-27, 1e-26, 1e-25,
    1e-24, 1e-23, 1e-22, 1e-21, 1e-20, 1e-19, 1e-18, 1e-17, 1e-16, 1e-15, 1e-14, 1e-13, 1e-12,
    1e-11, 1e-10, 1e-9,  1e-8,  1e-7,  1e-6,  1e-5,  1e-4,  1e-3,  1e-2,  1e-1,  1e0,   1e1,
    1e2,   1e3,   1e4,   1e5,   1e6,   1e7,   1e8,   1e9,   1e10,  1e11,  1e12,  1e13,  1e14,
    1e15,  1e16,  1e17,  1e18,  1e19,  1e20,  1e21,  1e22,  1e23,  1e24,  1e25,  1e26,  1e27,
    1e28,  1e29,  1e30,  1e31,  1e32,  1e33,  1e34,  1e35,  1e36,  1e37,  1e38};

// True when `product`, the binary64 product of an integer w (exact: at most 2^53) and the
// nearest binary64 value of 10^q (-37 <= q <= 38), may lie on the other side of a binary32
// midpoint than w * 10^q: when its low 29 bits are within 2^28 - 4 to 2^28 + 3, binary32 having
// 29 fraction bits fewer, so that a midpoint's low 29 bits are 2^28.
//
// The two roundings (of 10^q and of the product) leave the product within 2^-52 of w * 10^q
// relatively, at most 2 units in its last place. Away from midpoints, the exact value lies on
// the same side of every midpoint and rounds to the binary32 value that the product rounds to;
// overflow included, since 2^128 - 2^103 is such a midpoint too. This is the test of Clinger's
// Bellerophon ("How to Read Floating Point Numbers Accurately", 1990): an approximation with a
// bounded error decides unless a midpoint lies within the bound. Adding 4 first makes the window
// the 8 values whose low 29 bits, bar the last 3, are 2^28.
[[gnu::always_inline]] inline bool near_midpoint(double product) noexcept {
    constexpr std::uint64_t window = ((std::uint64_t{1} << 29) - 1) & ~std::uint64_t{7};
    return ((std::bit_cast<std::uint64_t>(product) + 4) & window) == std::uint64_t{1} << 28;
}

// Near a midpoint, a product that is exact still decides (Clinger's fast path): for
// 0 <= q <= 22 both factors are exact, and then so is an integer product below 2^53. Converting
// it rounds correctly even when it is a midpoint, as large round values with few digits often
// are (2.86344E+09 lies halfway between two binary32 neighbours).
[[gnu::always_inline]] inline bool is_exact_product(double product, std::int64_t q) noexcept {
    return q >= 0 && q <= 22 && product < 0x1p53;
}

// w * 10^q correctly rounded to binary32 (w an exact integer, at most 2^53) by one
// multiplication, when that decides; false otherwise, which leaves the value to the exact
// conversion. w = 0 gives +0.
[[gnu::always_inline]] inline bool scale(double w, std::int64_t q, float &value) noexcept {
    const auto index = static_cast<std::uint64_t>(q - scale_min);
    if (index >= scales.size()) return false;
    const double product = w * scales[index];
    if (near_midpoint(product) && !is_exact_product(product, q)) [[unlikely]]
        return false;
    value = static_cast<float>(product);
    return true;
}

} // namespace kelmor::detail
