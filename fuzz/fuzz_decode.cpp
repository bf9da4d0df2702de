// fuzz_decode.cpp: libFuzzer target: field decoding against a hand-written syntax check and
// glibc's correctly rounded strtof.
//
// The first input byte chooses how the rest becomes a field text: used as it is, built into a
// number (signs, long digit runs, exponents past the accumulator's saturation, padding),
// placed next to the exact midpoint between two neighbouring binary32 values, where a wrong
// rounding shows, or written in the writers' layout, sometimes with a byte replaced. Fields of
// 11 to 15 bytes also go to the layout readers, which must agree with each other.
#include <bit>
#include <cerrno>
#include <cfloat>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

#include "decode.hpp"
#include "layout.hpp"
#include "reference.hpp"
#include "utf8.hpp"

namespace {

using kelmor::DecodeError;
using kelmor::DecodeResult;

constexpr std::uint32_t sign_bit = 0x8000'0000u;

bool digit(char c) {
    return c >= '0' && c <= '9';
}

// What the syntax rules make of a field: the decode error, or the value as a text that
// strtof reads exactly (the exponent replaced by the saturated accumulator) and a sign.
struct Expected {
    DecodeError error = DecodeError::invalid;
    bool negative = false;
    bool special = false;
    std::uint32_t special_bits = 0;
    std::string strtof_text;
};

Expected expected_of(std::string_view field) {
    Expected want;
    std::string_view t = kelmor::reference::trim(field);
    if (t.empty()) {
        want.error = DecodeError::empty;
        return want;
    }
    if (t[0] == '+' || t[0] == '-') {
        want.negative = t[0] == '-';
        t.remove_prefix(1);
    }
    if (t.empty()) return want;
    std::size_t i = 0;
    std::size_t digits = 0;
    while (i < t.size() && digit(t[i])) ++i, ++digits;
    if (i < t.size() && t[i] == '.') {
        ++i;
        while (i < t.size() && digit(t[i])) ++i, ++digits;
    }
    const std::size_t mantissa_end = i;
    bool number = digits > 0;
    std::uint32_t exponent = 0;
    bool exponent_negative = false;
    if (number && i < t.size() && (t[i] == 'e' || t[i] == 'E')) {
        ++i;
        if (i < t.size() && (t[i] == '+' || t[i] == '-')) exponent_negative = t[i++] == '-';
        std::size_t exponent_digits = 0;
        for (; i < t.size() && digit(t[i]); ++i, ++exponent_digits)
            if (exponent < 65536) exponent = exponent * 10 + static_cast<std::uint32_t>(t[i] - '0');
        if (exponent_digits == 0) number = false;
    }
    if (number && i == t.size()) {
        want.error = DecodeError::none;
        want.strtof_text = std::string(t.substr(0, mantissa_end)) + "e" +
                           (exponent_negative ? "-" : "") + std::to_string(exponent);
        return want;
    }
    std::string lower(t);
    for (char &c : lower)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    if (lower == "inf" || lower == "infinity" || lower == "nan") {
        want.error = DecodeError::none;
        want.special = true;
        want.special_bits = lower == "nan" ? 0x7FC0'0000u : 0x7F80'0000u;
    }
    return want;
}

[[noreturn]] void mismatch(std::string_view field, const char *what, std::uint32_t got,
                           std::uint32_t want) {
    std::fprintf(stderr, "fuzz_decode: %s for field [%.*s]: got 0x%08X, want 0x%08X\n", what,
                 static_cast<int>(field.size() > 2000 ? 2000 : field.size()), field.data(), got,
                 want);
    std::abort();
}

// The readers of the writers' layout of width W, which load 16 bytes: they must agree with each
// other, and a field they take must be a number whose value, when they decide it, is the one
// the general decoder gives.
template <std::uint32_t W>
void check_layout_readers(std::string_view field) {
    using kelmor::detail::LayoutOutcome;
    std::string memory(field);
    memory.append(kelmor::detail::layout_read_bytes, '\0');
    float portable = 0.0f;
    const LayoutOutcome outcome = kelmor::detail::read_layout_portable<W>(memory.data(), portable);
#ifdef KELMOR_SSE2
    if constexpr (kelmor::detail::has_sse2_layout(W)) {
        float sse2 = 0.0f;
        const LayoutOutcome other = kelmor::detail::read_layout_sse2<W>(memory.data(), sse2);
        if (other != outcome)
            mismatch(field, "layout readers' outcome", static_cast<std::uint32_t>(other),
                     static_cast<std::uint32_t>(outcome));
        if (outcome == LayoutOutcome::scaled &&
            std::bit_cast<std::uint32_t>(sse2) != std::bit_cast<std::uint32_t>(portable))
            mismatch(field, "layout readers' value", std::bit_cast<std::uint32_t>(sse2),
                     std::bit_cast<std::uint32_t>(portable));
    }
#endif
    if (outcome == LayoutOutcome::other) return;
    const DecodeResult general = kelmor::detail::decode_field_exact(field);
    if (general.error != DecodeError::none) mismatch(field, "layout field that is no number", 0, 0);
    if (outcome == LayoutOutcome::scaled &&
        std::bit_cast<std::uint32_t>(portable) != std::bit_cast<std::uint32_t>(general.value))
        mismatch(field, "layout value", std::bit_cast<std::uint32_t>(portable),
                 std::bit_cast<std::uint32_t>(general.value));
}

void check(std::string_view field) {
    switch (field.size()) {
    case 11: check_layout_readers<11>(field); break;
    case 12: check_layout_readers<12>(field); break;
    case 13: check_layout_readers<13>(field); break;
    case 14: check_layout_readers<14>(field); break;
    case 15: check_layout_readers<15>(field); break;
    default: break;
    }
    if (!kelmor::utf8::is_valid(field)) return; // lines are validated before fields are cut
    const Expected want = expected_of(field);
    const DecodeResult fast = kelmor::decode_field(field);
    const DecodeResult exact = kelmor::detail::decode_field_exact(field);
    if (fast.error != want.error)
        mismatch(field, "decode error", static_cast<std::uint32_t>(fast.error),
                 static_cast<std::uint32_t>(want.error));
    if (exact.error != want.error)
        mismatch(field, "decode error of the exact path", static_cast<std::uint32_t>(exact.error),
                 static_cast<std::uint32_t>(want.error));
    if (want.error != DecodeError::none) return;
    std::uint32_t want_bits = want.special_bits;
    if (!want.special) {
        char *end = nullptr;
        errno = 0;
        const float value = std::strtof(want.strtof_text.c_str(), &end);
        if (end != want.strtof_text.c_str() + want.strtof_text.size())
            mismatch(field, "strtof did not take the whole text", 0, 0);
        want_bits = std::bit_cast<std::uint32_t>(value);
    }
    if (want.negative) want_bits |= sign_bit;
    const auto fast_bits = std::bit_cast<std::uint32_t>(fast.value);
    const auto exact_bits = std::bit_cast<std::uint32_t>(exact.value);
    if (fast_bits != want_bits) mismatch(field, "value", fast_bits, want_bits);
    if (exact_bits != want_bits) mismatch(field, "value of the exact path", exact_bits, want_bits);
}

class Bytes {
public:
    Bytes(const std::uint8_t *data, std::size_t size) : m_data(data), m_size(size) {}
    unsigned next() { return m_used < m_size ? m_data[m_used++] : 0; }
    bool empty() const { return m_used >= m_size; }

private:
    const std::uint8_t *m_data;
    std::size_t m_size;
    std::size_t m_used = 0;
};

// Padding: mostly white space of several kinds, sometimes a character that only looks blank.
void pad(std::string &text, Bytes &in) {
    static constexpr const char *pieces[] = {" ",
                                             "\t",
                                             "\r",
                                             "\n",
                                             "\v\f",
                                             "\xC2\xA0",
                                             "\xE3\x80\x80",
                                             "\xE2\x80\xA8",
                                             "\xE1\x9A\x80",
                                             "\xE2\x80\x8B",
                                             "\xEF\xBB\xBF",
                                             "\x1C",
                                             "\xC2\x85"};
    for (unsigned k = in.next() % 4; k > 0; --k) {
        unsigned choice = in.next();
        text += pieces[choice < 200 ? choice % 9 : choice % (sizeof(pieces) / sizeof(*pieces))];
    }
}

void digits(std::string &text, Bytes &in) {
    unsigned count_byte = in.next();
    std::size_t count = count_byte < 200 ? count_byte % 24 : (count_byte - 199) * 16;
    // Long runs repeat a short pattern, so that a few input bytes make hundreds of digits.
    unsigned pattern[4] = {in.next() % 10, in.next() % 10, in.next() % 10, in.next() % 10};
    unsigned mask = count > 24 ? in.next() : 0xFF;
    for (std::size_t k = 0; k < count; ++k) {
        unsigned d = count <= 24 ? in.next() % 10 : pattern[k % 4];
        if (count > 24 && ((mask >> (k % 8)) & 1) == 0) d = 0;
        text += static_cast<char>('0' + d);
    }
}

std::string structured_number(Bytes &in) {
    std::string text;
    pad(text, in);
    unsigned sign = in.next() % 4;
    if (sign == 1) text += '+';
    if (sign == 2) text += '-';
    digits(text, in);
    if (in.next() % 3 != 0) {
        text += '.';
        digits(text, in);
    }
    unsigned exponent = in.next() % 4;
    if (exponent != 0) {
        text += exponent == 2 ? 'E' : 'e';
        unsigned exponent_sign = in.next() % 3;
        if (exponent_sign == 1) text += '+';
        if (exponent_sign == 2) text += '-';
        unsigned count = in.next() % 12;
        for (unsigned k = 0; k < count; ++k) text += static_cast<char>('0' + in.next() % 10);
    }
    pad(text, in);
    return text;
}

// The exact decimal text of the midpoint above a binary32 value, or a text just below or
// just above that midpoint.
std::string near_midpoint(Bytes &in) {
    std::uint32_t bits = in.next() | in.next() << 8 | in.next() << 16 | (in.next() & 0x7F) << 24;
    if ((bits & 0x7F80'0000u) == 0x7F80'0000u) bits = 0x7F7F'FFFFu; // no infinity or NaN
    const float low = std::bit_cast<float>(bits);
    const float high = std::nextafter(low, INFINITY);
    const double midpoint = std::isinf(high) ? static_cast<double>(FLT_MAX) + std::ldexp(1.0, 103)
                                             : (static_cast<double>(low) + high) / 2;
    char buffer[256];
    // 131 significant digits hold every binary32 midpoint exactly.
    std::snprintf(buffer, sizeof buffer, "%.130e", midpoint);
    std::string text = buffer;
    const std::size_t e = text.find('e');
    std::string mantissa = text.substr(0, e);
    const std::string exponent = text.substr(e);
    switch (in.next() % 4) {
    case 0: break;                                          // the midpoint itself: ties to even
    case 1: mantissa += "000001"; break;                    // just above
    case 2: mantissa += std::string(780, '0') + "1"; break; // above, beyond the kept digits
    default: { // just below: drop trailing digits, or lower the last one
        std::size_t last = mantissa.find_last_not_of('0');
        if (last != std::string::npos && mantissa[last] != '.') {
            mantissa[last] = static_cast<char>(mantissa[last] - 1);
            mantissa += "99999";
        }
        break;
    }
    }
    std::string sign = in.next() % 2 ? "-" : "";
    return sign + mantissa + exponent;
}

// A field in the writers' layout of 11 to 15 bytes, with a byte or two sometimes replaced.
std::string layout_field(Bytes &in) {
    const unsigned width = 11 + in.next() % 5;
    std::string text = in.next() % 2 ? " " : "-";
    text += static_cast<char>('0' + in.next() % 10);
    text += '.';
    for (unsigned k = 0; k < width - 7; ++k) text += static_cast<char>('0' + in.next() % 10);
    text += 'E';
    text += in.next() % 2 ? '+' : '-';
    text += static_cast<char>('0' + in.next() % 10);
    text += static_cast<char>('0' + in.next() % 10);
    for (unsigned k = in.next() % 4; k == 1 || k == 2; --k)
        text[in.next() % width] = static_cast<char>(in.next());
    return text;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    if (size == 0) return 0;
    Bytes in(data + 1, size - 1);
    switch (data[0] % 4) {
    case 0: check(std::string_view(reinterpret_cast<const char *>(data + 1), size - 1)); break;
    case 1: check(structured_number(in)); break;
    case 2: check(near_midpoint(in)); break;
    default: check(layout_field(in)); break;
    }
    return 0;
}
