// layout_sse2.hpp: the layout readers with SSE2 (the baseline of x86-64): a field, two, a line.
// Included by layout.hpp, after the portable readers that these must agree with.
#pragma once

#include "simd.hpp"

#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>

namespace kelmor::detail {

// The widths in use get SSE2 readers; the others take the portable reader.
inline constexpr bool has_sse2_layout(std::uint32_t width) noexcept {
    return width == 12 || width == 15;
}

template <typename T, std::size_t N>
inline __m128i load_vector(const std::array<T, N> &values) noexcept {
    static_assert(sizeof(T) * N == 16);
    return _mm_load_si128(reinterpret_cast<const __m128i *>(values.data()));
}

// Weights that turn the digits of two fields, one per 16-bit word, into their w and their
// exponent indexes by multiply-adds of word pairs (pmaddwd), each weight below 2^15 and every
// sum below 2^15 until the last: first pairs of digits, then pairs of those ("second"), then
// pairs of those ("third"). Non-digit positions weigh 0, but for the exponent's sign: its byte
// minus '0' is 251 for "+" and 253 for "-", so weighing it 50 adds 12550 or 12650 to the
// exponent's value, which gives an index into layout_powers (modulo 256).
template <std::uint32_t W>
struct Sse2Weights;

// Bytes: sign, d, ".", f1 .. f5, "E", sign, e1, e2 (and 4 more). The first 8 bytes of each field
// go through "low"; bytes 8 to 11 of both fields, side by side, through "high".
template <>
struct Sse2Weights<12> {
    // (sign, d) (".", f1) (f2, f3) (f4, f5) -> d, f1, f2f3, f4f5
    alignas(16) static constexpr std::array<std::int16_t, 8> low = {0, 1, 0, 1, 10, 1, 10, 1};
    // ("E", sign) (e1, e2) of a, then of b -> sign * 50, e1e2, sign * 50, e1e2
    alignas(16) static constexpr std::array<std::int16_t, 8> high = {0, 50, 10, 1, 0, 50, 10, 1};
    // (d, f1) (f2f3, f4f5) of a, then of b -> df1, f2f3f4f5, df1, f2f3f4f5
    alignas(16) static constexpr std::array<std::int16_t, 8> second = {10, 1, 100, 1,
                                                                       10, 1, 100, 1};
    // (df1, f2f3f4f5) of a and of b, (sign * 50, e1e2) of a and of b -> w, w, index, index
    alignas(16) static constexpr std::array<std::int16_t, 8> third = {10000, 1, 10000, 1,
                                                                      1,     1, 1,     1};
};

// Bytes: sign, d, ".", f1 .. f8, "E", sign, e1, e2 (and 1 more). Each field goes through "low"
// and "high", and "second"; two fields meet in "third".
template <>
struct Sse2Weights<15> {
    // (sign, d) (".", f1) (f2, f3) (f4, f5) -> d, f1, f2f3, f4f5
    alignas(16) static constexpr std::array<std::int16_t, 8> low = {0, 1, 0, 1, 10, 1, 10, 1};
    // (f6, f7) (f8, "E") (sign, e1) (e2, -) -> f6f7, f8, sign * 50 + e1 * 10, e2
    alignas(16) static constexpr std::array<std::int16_t, 8> high = {10, 1, 1, 0, 50, 10, 1, 0};
    // (d, f1) (f2f3, f4f5) (f6f7, f8) (sign * 50 + e1 * 10, e2) -> df1, f2f3f4f5, f6f7f8, index
    alignas(16) static constexpr std::array<std::int16_t, 8> second = {10, 1, 100, 1, 10, 1, 1, 1};
    // (df1, f2f3f4f5) (f6f7f8, -) of a, then of b -> df1f2f3f4f5, f6f7f8, twice; w is the first
    // times 1000 plus the second
    alignas(16) static constexpr std::array<std::int16_t, 8> third = {10000, 1, 1, 0,
                                                                      10000, 1, 1, 0};
};

// The power of ten of a field of width W, indexed by its exponent index modulo 256: that is
// 12550 + e for the exponent +e and 12650 + e for -e, and 12550 is 6 modulo 256. Each power is
// the value from `scales`; where that has none, the entry is a NaN whose low 29 bits are 2^28.
// Multiplying by a NaN gives that NaN on x86-64 (a NaN operand is returned, quieted), which
// near_midpoint then takes for a product near a midpoint: undecided, with no test of its own.
// The other 56 entries are such NaNs too, so that no byte can lead a load out of the table.
inline constexpr std::size_t layout_power_base =
    (50 * std::size_t{static_cast<unsigned char>('+' - '0')}) % 256;

template <std::uint32_t W>
constexpr std::array<double, 256> make_layout_powers() {
    std::array<double, 256> powers{};
    for (std::size_t index = 0; index < 256; ++index) {
        powers[index] = std::bit_cast<double>(std::uint64_t{0x7FF8'0000'1000'0000u});
        if (index < layout_power_base || index >= layout_power_base + 200) continue;
        const int e = static_cast<int>(index - layout_power_base);
        const int q = (e < 100 ? e : 100 - e) - static_cast<int>(W - 7);
        if (q >= scale_min && q <= scale_max)
            powers[index] = scales[static_cast<std::size_t>(q - scale_min)];
    }
    return powers;
}

template <std::uint32_t W>
inline constexpr std::array<double, 256> layout_powers = make_layout_powers<W>();

// The decimal exponent of w whose power has index `index`.
inline std::int64_t layout_exponent(std::size_t index, std::uint32_t width) noexcept {
    const auto e = static_cast<std::int64_t>(index) - static_cast<std::int64_t>(layout_power_base);
    return (e < 100 ? e : 100 - e) - static_cast<std::int64_t>(width - 7);
}

// w (exact, in binary64) and the index into layout_powers of the two fields whose bytes minus
// '0' are `a` and `b`: see Sse2Weights.
struct LayoutPair {
    __m128d w; // of a, of b
    std::size_t index_a;
    std::size_t index_b;
};

// `same` when a and b are one field, which then is weighed once where that saves work.
template <std::uint32_t W, bool same = false>
[[gnu::always_inline]] inline LayoutPair layout_pair(__m128i a, __m128i b) noexcept {
    using M = Sse2Weights<W>;
    const __m128i zero = _mm_setzero_si128();
    const __m128i low = load_vector(M::low);
    if constexpr (W == 12) {
        const __m128i second =
            _mm_madd_epi16(_mm_packs_epi32(_mm_madd_epi16(_mm_unpacklo_epi8(a, zero), low),
                                           _mm_madd_epi16(_mm_unpacklo_epi8(b, zero), low)),
                           load_vector(M::second));
        // Bytes 8 to 11 of a, then of b.
        const __m128i high =
            _mm_madd_epi16(_mm_unpacklo_epi8(_mm_unpackhi_epi32(a, b), zero), load_vector(M::high));
        const __m128i third = _mm_madd_epi16(_mm_packs_epi32(second, high), load_vector(M::third));
        const auto indexes =
            static_cast<std::uint64_t>(_mm_cvtsi128_si64(_mm_unpackhi_epi64(third, third)));
        return {_mm_cvtepi32_pd(third), indexes & 0xFF, (indexes >> 32) & 0xFF};
    } else {
        const __m128i high = load_vector(M::high);
        const auto sums = [&](__m128i digits) {
            return _mm_madd_epi16(
                _mm_packs_epi32(_mm_madd_epi16(_mm_unpacklo_epi8(digits, zero), low),
                                _mm_madd_epi16(_mm_unpackhi_epi8(digits, zero), high)),
                load_vector(M::second));
        };
        const __m128i sums_a = sums(a);
        const __m128i sums_b = same ? sums_a : sums(b);
        const __m128i third =
            _mm_madd_epi16(_mm_packs_epi32(sums_a, sums_b), load_vector(M::third));
        const __m128i parts = _mm_shuffle_epi32(third, _MM_SHUFFLE(3, 1, 2, 0));
        const __m128d w = _mm_add_pd(_mm_mul_pd(_mm_cvtepi32_pd(parts), _mm_set1_pd(1000.0)),
                                     _mm_cvtepi32_pd(_mm_unpackhi_epi64(parts, parts)));
        return {w, static_cast<std::size_t>(_mm_extract_epi16(sums_a, 6)) & 0xFF,
                static_cast<std::size_t>(_mm_extract_epi16(sums_b, 6)) & 0xFF};
    }
}

// The test of a byte position: the byte minus `base` must be at most `span` (unsigned), or
// equal `other`. A digit: '0', 9; a single character c: c, 0; two characters a and b: a, 0, b;
// any byte: 0, 255. One subtraction, one minimum and two comparisons test 16 positions.
struct ByteTests {
    alignas(16) std::array<char, 16> base{};
    alignas(16) std::array<char, 16> span{};
    alignas(16) std::array<char, 16> other{};

    constexpr void set(std::size_t at, char first, char range, char second) noexcept {
        base[at] = first;
        span[at] = range;
        other[at] = second;
    }
    // The byte tests of position `position` of a field of width `width` in the layout.
    constexpr void set_field_position(std::size_t at, std::size_t position,
                                      std::size_t width) noexcept {
        if (position == 0) set(at, ' ', 0, '-');
        else if (position == 2) set(at, '.', 0, '.');
        else if (position == width - 4) set(at, 'E', 0, 'E');
        else if (position == width - 3) set(at, '+', 0, '-');
        else set(at, '0', 9, '0');
    }
    // True in every byte that passes its test.
    __m128i passed(__m128i x) const noexcept {
        const __m128i offset = _mm_sub_epi8(x, load_vector(base));
        return _mm_or_si128(_mm_cmpeq_epi8(_mm_min_epu8(offset, load_vector(span)), offset),
                            _mm_cmpeq_epi8(x, load_vector(other)));
    }
};

template <std::uint32_t W>
constexpr ByteTests field_tests() {
    ByteTests tests;
    for (std::size_t i = 0; i < 16; ++i) {
        if (i < W) tests.set_field_position(i, i, W);
        else tests.set(i, 0, static_cast<char>(0xFF), 0);
    }
    return tests;
}

template <std::uint32_t W>
inline constexpr ByteTests sse2_field_tests = field_tests<W>();

// The value of a field in the layout, from w and its exponent index, signed by p's first byte.
template <std::uint32_t W>
[[gnu::always_inline]] inline LayoutOutcome
finish_layout_sse2(const char *p, double w, std::size_t index, float &value) noexcept {
    const double product = w * layout_powers<W>[index];
    if (near_midpoint(product) && !is_exact_product(product, layout_exponent(index, W)))
        [[unlikely]]
        return LayoutOutcome::undecided;
    value = std::bit_cast<float>(std::bit_cast<std::uint32_t>(static_cast<float>(product)) |
                                 layout_sign(p));
    return LayoutOutcome::scaled;
}

// read_layout_portable with the 16 bytes at p in one vector: every position tested at once,
// then the digits weighed by multiply-adds.
template <std::uint32_t W>
[[gnu::always_inline]] inline LayoutOutcome read_layout_sse2(const char *p, float &value) noexcept {
    static_assert(has_sse2_layout(W));
    const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i *>(p));
    if (_mm_movemask_epi8(sse2_field_tests<W>.passed(bytes)) != 0xFFFF) return LayoutOutcome::other;
    const __m128i digits = _mm_sub_epi8(bytes, _mm_set1_epi8('0'));
    const LayoutPair pair = layout_pair<W, true>(digits, digits);
    return finish_layout_sse2<W>(p, _mm_cvtsd_f64(pair.w), pair.index_a, value);
}

// The fields at a and b, both known to be in the layout, into out[0] and out[stride] (out[0]
// alone when only `a` is wanted), when one multiplication decides both: two fields share the
// last multiply-add, the scaling and the conversion. False, with nothing written, otherwise.
template <std::uint32_t W>
[[gnu::always_inline]] inline bool read_layout_pair_sse2(const char *a, const char *b, bool both,
                                                         float *out, std::size_t stride) noexcept {
    const __m128i zero_char = _mm_set1_epi8('0');
    const __m128i bytes_a = _mm_loadu_si128(reinterpret_cast<const __m128i *>(a));
    const __m128i bytes_b = _mm_loadu_si128(reinterpret_cast<const __m128i *>(b));
    const LayoutPair pair =
        layout_pair<W>(_mm_sub_epi8(bytes_a, zero_char), _mm_sub_epi8(bytes_b, zero_char));
    const __m128d powers =
        _mm_loadh_pd(_mm_load_sd(&layout_powers<W>[pair.index_a]), &layout_powers<W>[pair.index_b]);
    const __m128d product = _mm_mul_pd(pair.w, powers);
    // Near a midpoint, or without a power (see layout_powers): undecided.
    const __m128i window =
        _mm_and_si128(_mm_add_epi64(_mm_castpd_si128(product), _mm_set1_epi64x(4)),
                      _mm_set1_epi64x(((1 << 29) - 1) & ~7));
    const __m128i near = _mm_cmpeq_epi32(window, _mm_set1_epi64x(1 << 28));
    if ((_mm_movemask_ps(_mm_castsi128_ps(near)) & 0b0101) != 0) [[unlikely]]
        return false;
    // The sign bit of each is bit 2 of its first byte (see layout_sign), which a shift by 29
    // puts at bit 31.
    const __m128i signs = _mm_and_si128(_mm_slli_epi32(_mm_unpacklo_epi32(bytes_a, bytes_b), 29),
                                        _mm_set_epi32(0, 0, INT32_MIN, INT32_MIN));
    const __m128i values = _mm_or_si128(_mm_castps_si128(_mm_cvtpd_ps(product)), signs);
    _mm_store_ss(out, _mm_castsi128_ps(values));
    if (both) _mm_store_ss(out + stride, _mm_castsi128_ps(_mm_shuffle_epi32(values, 1)));
    return true;
}

// A data line of `fields` fields of width W in the layout, then its line end, checked all at
// once 16 bytes at a time: the tests of its byte positions are known in advance.
class Sse2LayoutLine {
public:
    static constexpr std::uint32_t max_fields = 10;

    // For 1 to max_fields fields of width 12 or 15.
    Sse2LayoutLine(std::uint32_t width, std::uint32_t fields) noexcept
        : m_span(std::size_t{width} * fields),
          // Bytes up to and including the one after the fields, where the line end starts.
          m_chunks(static_cast<std::uint32_t>(m_span / 16 + 1)) {
        for (std::size_t i = 0; i < std::size_t{m_chunks} * 16; ++i) {
            ByteTests &tests = m_tests[i / 16];
            if (i < m_span) tests.set_field_position(i % 16, i % width, width);
            else if (i == m_span) tests.set(i % 16, '\n', 0, '\r');
            else tests.set(i % 16, 0, static_cast<char>(0xFF), 0);
        }
    }

    std::size_t span() const noexcept { return m_span; }

    // The length with its line end of the line at the start of `bytes` (followed by padding)
    // when it is the fields in the layout and a line end that `bytes` holds ("\n" or "\r\n");
    // 0 otherwise.
    std::size_t match(std::string_view bytes) const noexcept {
        if (bytes.size() <= m_span) return 0;
        const char *const p = bytes.data();
        __m128i passed = _mm_set1_epi8(-1);
        for (std::uint32_t k = 0; k < m_chunks; ++k) {
            const __m128i x =
                _mm_loadu_si128(reinterpret_cast<const __m128i *>(p + 16 * std::size_t{k}));
            passed = _mm_and_si128(passed, m_tests[k].passed(x));
        }
        if (_mm_movemask_epi8(passed) != 0xFFFF) return 0;
        if (p[m_span] == '\n') return m_span + 1;
        return bytes.size() > m_span + 1 && p[m_span + 1] == '\n' ? m_span + 2 : 0;
    }

private:
    static constexpr std::uint32_t max_chunks = (max_fields * 15 + 1) / 16 + 1;

    std::size_t m_span; // bytes of the fields
    std::uint32_t m_chunks;
    std::array<ByteTests, max_chunks> m_tests;
};

// read_layout_line_portable with the line checked by `line` (made for W and `fields`), and the
// values read two at a time; a pair that one multiplication cannot decide is read one by one.
template <std::uint32_t W, typename Decide>
[[gnu::always_inline]] inline std::size_t
read_layout_line_sse2(const Sse2LayoutLine &line, std::string_view bytes, std::uint32_t fields,
                      float *out, std::size_t stride, Decide decide) {
    const std::size_t length = line.match(bytes);
    if (length == 0) return 0;
    const char *const p = bytes.data();
#pragma GCC unroll 5
    for (std::uint32_t j = 0; j < fields; j += 2) {
        const char *const a = p + std::size_t{j} * W;
        float *const to = out + j * stride;
        const bool both = j + 1 < fields;
        if (read_layout_pair_sse2<W>(a, both ? a + W : a, both, to, stride)) [[likely]]
            continue;
        for (std::uint32_t k = 0; k < (both ? 2u : 1u); ++k) {
            const char *const field = a + std::size_t{k} * W;
            if (read_layout_sse2<W>(field, to[k * stride]) != LayoutOutcome::scaled)
                decide(field, to[k * stride]);
        }
    }
    return length;
}

} // namespace kelmor::detail
