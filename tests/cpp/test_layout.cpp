// test_layout.cpp: the readers of fields and lines in the writers' layout: the portable one and,
// on x86-64, the SSE2 one must take the same fields and give the exact decoder's values.
#include "decode.hpp"
#include "layout.hpp"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <random>
#include <string>
#include <string_view>
#include <vector>

namespace kelmor::detail {
namespace {

std::uint32_t bits_of(float value) {
    return std::bit_cast<std::uint32_t>(value);
}

// The layout as its definition reads, byte by byte.
bool in_layout(std::string_view field) {
    const std::size_t w = field.size();
    if (w < layout_min_width || w > layout_max_width) return false;
    const auto digit = [&](std::size_t i) { return field[i] >= '0' && field[i] <= '9'; };
    for (std::size_t i = 0; i < w; ++i) {
        const char c = field[i];
        const bool ok = i == 0       ? c == ' ' || c == '-'
                        : i == 2     ? c == '.'
                        : i == w - 4 ? c == 'E'
                        : i == w - 3 ? c == '+' || c == '-'
                                     : digit(i);
        if (!ok) return false;
    }
    return true;
}

// A field of width `width` for `value` as writers write it ("% .{width-7}E").
std::string layout_field(double value, std::uint32_t width) {
    char text[64];
    std::snprintf(text, sizeof text, "% .*E", static_cast<int>(width - 7), value);
    return text;
}

// The field in memory that the readers may read 16 bytes of.
std::string padded(std::string_view field) {
    return std::string(field) + std::string(layout_read_bytes, '#');
}

struct Reading {
    LayoutOutcome outcome;
    float value;
};

template <std::uint32_t W>
Reading read_portable(std::string_view field) {
    Reading r{LayoutOutcome::other, -1.0f};
    r.outcome = read_layout_portable<W>(padded(field).data(), r.value);
    return r;
}

#ifdef KELMOR_SSE2
template <std::uint32_t W>
Reading read_sse2(std::string_view field) {
    Reading r{LayoutOutcome::other, -1.0f};
    r.outcome = read_layout_sse2<W>(padded(field).data(), r.value);
    return r;
}
#endif

// Every reader of width W takes `field` exactly when it is in the layout, and a value it
// decides is the exact decoder's.
template <std::uint32_t W>
void expect_readers_agree(std::string_view field) {
    SCOPED_TRACE("field [" + std::string(field) + "]");
    const bool expected = in_layout(field);
    const DecodeResult exact = decode_field_exact(field);
    std::vector<Reading> readings{read_portable<W>(field)};
#ifdef KELMOR_SSE2
    if constexpr (has_sse2_layout(W)) readings.push_back(read_sse2<W>(field));
#endif
    for (const Reading &r : readings) {
        EXPECT_EQ(r.outcome != LayoutOutcome::other, expected);
        if (r.outcome == LayoutOutcome::scaled) {
            ASSERT_EQ(exact.error, DecodeError::none);
            EXPECT_EQ(bits_of(r.value), bits_of(exact.value));
        }
    }
    if (readings.size() == 2) {
        EXPECT_EQ(readings[0].outcome, readings[1].outcome);
    }
}

// Bytes that each position meets in bad fields: its neighbours in the code table, the other
// positions' characters, line ends, white space and bytes of multi-byte characters.
const std::string odd_bytes = std::string("/09:.,+-Ee \t\r\n\x01\x7F") + '\0' + "\x80\xBF\xC3\xFF";

template <std::uint32_t W>
void mutate_every_position(const std::string &field) {
    expect_readers_agree<W>(field);
    for (std::size_t i = 0; i < W; ++i) {
        for (const char c : odd_bytes) {
            std::string bad = field;
            bad[i] = c;
            expect_readers_agree<W>(bad);
        }
        if (testing::Test::HasFailure()) return;
    }
}

template <std::uint32_t W>
void mutate_all_widths_case(double value) {
    mutate_every_position<W>(layout_field(value, W));
}

// Each position of the layout, with every odd byte in its place, for every width.
TEST(LayoutReaders, AgreeOnEveryMutatedPosition) {
    for (const double value : {1.23456789e2, -9.87654321e-5, 0.0, -0.0, 2.86344e9, 3.4028234e38,
                               1.17549435e-38, 5.0e-20, 7.1e37}) {
        mutate_all_widths_case<11>(value);
        mutate_all_widths_case<12>(value);
        mutate_all_widths_case<13>(value);
        mutate_all_widths_case<14>(value);
        mutate_all_widths_case<15>(value);
    }
}

// Every exponent that two digits can write, both signs, at both widths in use: those whose
// power of ten the scaling has (10^-37 .. 10^38 after the fraction's digits) are decided
// unless near a midpoint; the others are left undecided, and the value is the exact one.
template <std::uint32_t W>
void every_exponent() {
    std::mt19937_64 random(W);
    std::uniform_int_distribution<int> digit(0, 9);
    for (int e = -99; e <= 99; ++e) {
        for (int k = 0; k < 20; ++k) {
            std::string field = k % 2 == 0 ? " " : "-";
            field += static_cast<char>('1' + digit(random) % 9);
            field += '.';
            for (std::uint32_t i = 0; i < W - 7; ++i)
                field += static_cast<char>('0' + digit(random));
            char exponent[8];
            std::snprintf(exponent, sizeof exponent, "E%+03d", e);
            field += exponent;
            expect_readers_agree<W>(field);
            const int q = e - static_cast<int>(W - 7);
            if (q < scale_min || q > scale_max) {
                EXPECT_EQ(read_portable<W>(field).outcome, LayoutOutcome::undecided) << field;
            }
        }
        if (testing::Test::HasFailure()) return;
    }
}

TEST(LayoutReaders, EveryExponentAtBothWidths) {
    every_exponent<12>();
    every_exponent<15>();
}

// Round values that lie on a binary32 midpoint: the product is exact, so the layout readers
// decide them, rounding half to even.
TEST(LayoutReaders, ExactMidpointsAreDecided) {
    struct Case {
        const char *field;
        std::uint32_t bits;
    };
    const Case cases[] = {
        {" 2.86344E+09", bits_of(std::ldexp(11185312.0f, 8))},    // 11185312.5 * 256
        {" 2.86344128E+09", bits_of(std::ldexp(11185318.0f, 8))}, // 11185317.5 * 256
        {"-1.6777217E+07", bits_of(-std::ldexp(1.0f, 24))},
        {" 1.6777219E+07", bits_of(std::ldexp(1.0f, 24) + 4.0f)},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.field);
        const std::string_view field(c.field);
        float value = 0.0f;
        const std::string memory = padded(field);
        LayoutOutcome outcome = LayoutOutcome::other;
        switch (field.size()) {
        case 12: outcome = read_layout<12>(memory.data(), value); break;
        case 14: outcome = read_layout<14>(memory.data(), value); break;
        case 15: outcome = read_layout<15>(memory.data(), value); break;
        default: FAIL();
        }
        EXPECT_EQ(outcome, LayoutOutcome::scaled);
        EXPECT_EQ(bits_of(value), c.bits);
    }
}

#ifdef KELMOR_SSE2
// The pair reader decides two fields with one multiplication each, or neither: it writes both
// values (the first alone when only one is wanted) exactly when neither product is near a
// binary32 midpoint, and nothing otherwise. Ordinary fields are nearly all decided here; the
// line reader falls back to one field at a time only for the rest.
template <std::uint32_t W>
void pairs_decide_both_or_neither() {
    std::mt19937_64 random(W);
    // Values whose exponent has a power in the table: from 10^-28, so that q = e - (W - 7)
    // stays at or above scale_min.
    std::uniform_real_distribution<double> exponent(-28.0, 37.0);
    std::uniform_int_distribution<int> coin(0, 1);
    std::vector<std::string> fields = {layout_field(2.86344e9, W), layout_field(1.4013e-45, W),
                                       std::string(" 9.") + std::string(W - 7, '9') + "E+99"};
    for (int i = 0; i < 400; ++i)
        fields.push_back(
            layout_field(std::pow(10.0, exponent(random)) * (coin(random) ? -1 : 1), W));
    std::size_t pairs = 0;
    std::size_t decided = 0;
    for (std::size_t i = 0; i + 1 < fields.size(); ++i) {
        for (const bool both : {true, false}) {
            const std::string memory = padded(fields[i]) + padded(fields[i + 1]);
            const char *const a = memory.data();
            const char *const b = both ? a + W + layout_read_bytes : a;
            float out[3] = {-1.0f, -1.0f, -1.0f};
            const bool read = read_layout_pair_sse2<W>(a, b, both, out, 2);
            SCOPED_TRACE("pair [" + fields[i] + "] [" + fields[i + 1] + "] both " +
                         std::to_string(both));
            ++pairs;
            decided += read;
            const float first = decode_field_exact(fields[i]).value;
            const float second = both ? decode_field_exact(fields[i + 1]).value : -1.0f;
            EXPECT_EQ(bits_of(out[0]), bits_of(read ? first : -1.0f));
            EXPECT_EQ(bits_of(out[1]), bits_of(-1.0f)) << "written between the values";
            EXPECT_EQ(bits_of(out[2]), bits_of(read ? second : -1.0f));
        }
    }
    // Besides the three odd fields (a midpoint, a subnormal, an exponent without a power), only
    // fields near a midpoint spoil a pair: integers of 8 or 9 digits lie on one often.
    EXPECT_GE(decided * 10, pairs * 9);
}

TEST(LayoutPairs, DecideBothOrNeither) {
    pairs_decide_both_or_neither<12>();
    pairs_decide_both_or_neither<15>();
}
#endif

// --- Whole lines -------------------------------------------------------------------------

struct LineReading {
    std::size_t length;
    std::vector<float> values;
    std::size_t decided; // fields handed to `decide`
};

template <std::uint32_t W>
LineReading read_line_portable(std::string_view bytes, std::uint32_t fields) {
    std::size_t decided = 0;
    const auto decide = [&decided](const char *field, float &value) {
        ++decided;
        value = decode_field_exact(std::string_view(field, W)).value;
    };
    std::vector<float> out(2 * fields, -1.0f);
    const std::size_t length = read_layout_line_portable<W>(bytes, fields, out.data(), 2, decide);
    return {length, out, decided};
}

#ifdef KELMOR_SSE2
template <std::uint32_t W>
LineReading read_line_sse2(std::string_view bytes, std::uint32_t fields) {
    std::size_t decided = 0;
    const auto decide = [&decided](const char *field, float &value) {
        ++decided;
        value = decode_field_exact(std::string_view(field, W)).value;
    };
    const Sse2LayoutLine line(W, fields);
    std::vector<float> out(2 * fields, -1.0f);
    const std::size_t length = read_layout_line_sse2<W>(line, bytes, fields, out.data(), 2, decide);
    return {length, out, decided};
}
#endif

// What a line reader must give for the first `available` bytes of `text`: the length of the
// line with its end when it is `fields` fields in the layout and "\n" or "\r\n", each value the
// exact decoder's (written to every second float); else 0.
template <std::uint32_t W>
void expect_line(const std::string &text, std::size_t available, std::uint32_t fields) {
    SCOPED_TRACE("line [" + text.substr(0, available) + "] of " + std::to_string(fields));
    const std::size_t span = std::size_t{fields} * W;
    std::size_t length = 0;
    if (available > span && text[span] == '\n') length = span + 1;
    if (available > span + 1 && text[span] == '\r' && text[span + 1] == '\n') length = span + 2;
    for (std::uint32_t j = 0; length != 0 && j < fields; ++j)
        if (!in_layout(std::string_view(text).substr(j * W, W))) length = 0;
    // The bytes past `available` exist (they are the line source's padding) but are not data.
    const std::string memory = text + std::string(64, '\n');
    const std::string_view bytes(memory.data(), available);
    std::vector<LineReading> readings{read_line_portable<W>(bytes, fields)};
#ifdef KELMOR_SSE2
    readings.push_back(read_line_sse2<W>(bytes, fields));
#endif
    // Only the fields that one multiplication cannot decide go to `decide`: in a pair that the
    // SSE2 reader cannot decide at once, the other field is still read in the layout.
    std::size_t undecided = 0;
    for (std::uint32_t j = 0; length != 0 && j < fields; ++j) {
        float value = 0.0f;
        const std::string field = padded(std::string_view(text).substr(j * W, W));
        undecided += read_layout_portable<W>(field.data(), value) == LayoutOutcome::undecided;
    }
    for (const LineReading &r : readings) {
        ASSERT_EQ(r.length, length);
        if (length != 0) {
            EXPECT_EQ(r.decided, undecided);
        }
        for (std::uint32_t j = 0; length != 0 && j < fields; ++j) {
            const DecodeResult exact = decode_field_exact(std::string_view(text).substr(j * W, W));
            EXPECT_EQ(bits_of(r.values[2 * j]), bits_of(exact.value)) << "field " << j;
            EXPECT_EQ(bits_of(r.values[2 * j + 1]), bits_of(-1.0f)) << "written past field " << j;
        }
    }
}

template <std::uint32_t W>
void lines_of_every_length_and_mutation() {
    std::mt19937_64 random(W * 7);
    std::uniform_real_distribution<double> exponent(-45.0, 39.0);
    std::uniform_int_distribution<int> coin(0, 1);
    for (std::uint32_t fields = 1; fields <= 10; ++fields) {
        std::string line;
        for (std::uint32_t j = 0; j < fields; ++j) {
            // Every fifth field a value on a midpoint, in either place of a pair.
            const double value = (j % 5 == 3)
                                     ? 2.86344e9
                                     : std::pow(10.0, exponent(random)) * (coin(random) ? -1 : 1);
            line += layout_field(value, W);
        }
        const std::size_t span = line.size();
        for (const char *end : {"\n", "\r\n", "\r", "", " \n", "\r\r\n"}) {
            const std::string text = line + end + "next";
            for (std::size_t available = span; available <= span + 3; ++available)
                expect_line<W>(text, available, fields);
            // One byte changed anywhere in the fields or the line end.
            for (std::size_t i = 0; i < span + 2; ++i) {
                std::string bad = text;
                bad[i] = odd_bytes[(i * 7 + fields) % odd_bytes.size()];
                expect_line<W>(bad, bad.size(), fields);
            }
            if (testing::Test::HasFailure()) return;
        }
    }
}

TEST(LayoutLines, EveryLengthEndAndMutation) {
    lines_of_every_length_and_mutation<12>();
    lines_of_every_length_and_mutation<15>();
}

// Pairs in which one or both fields are undecided (no power of ten for the exponent, or a
// product near a midpoint that is not exact) still get the exact values, in their places.
TEST(LayoutLines, UndecidedFieldsInEitherPlaceOfAPair) {
    const std::string decided = " 1.25000E+00";
    for (const std::string undecided : {" 1.40130E-45", " 9.99999E+99", " 2.86344E+09"}) {
        for (std::uint32_t place = 0; place < 4; ++place) {
            std::string line;
            for (std::uint32_t j = 0; j < 4; ++j)
                line += j == place || j == 3 - place ? undecided : decided;
            expect_line<12>(line + "\n", line.size() + 1, 4);
        }
    }
}

} // namespace
} // namespace kelmor::detail
