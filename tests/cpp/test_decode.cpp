// test_decode.cpp: field syntax, correct rounding to binary32, agreement of the decoding paths.
#include "decode.hpp"
#include "xz_text.hpp"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

namespace {

using kelmor::decode_field;
using kelmor::DecodeError;
using kelmor::detail::decode_field_exact;

constexpr std::uint32_t sign_bit = 0x8000'0000u;
constexpr std::uint32_t infinity = 0x7F80'0000u;
constexpr std::uint32_t largest_finite = 0x7F7F'FFFFu;
constexpr std::uint32_t quiet_nan = 0x7FC0'0000u;

std::uint32_t bits_of(float value) {
    return std::bit_cast<std::uint32_t>(value);
}

// Long texts are shown by their head and length only.
std::string trace_label(std::string_view text) {
    if (text.size() <= 100) return "text \"" + std::string(text) + "\"";
    return "text \"" + std::string(text.substr(0, 60)) + "...\" of " + std::to_string(text.size()) +
           " bytes";
}

const char *error_name(DecodeError error) {
    switch (error) {
    case DecodeError::none: return "none";
    case DecodeError::empty: return "empty";
    case DecodeError::invalid: return "invalid";
    }
    return "?";
}

// Both the full decoder and the exact-only decoder give `bits` for `text`.
void expect_bits(std::string_view text, std::uint32_t bits) {
    SCOPED_TRACE(trace_label(text));
    for (const auto decode : {decode_field, decode_field_exact}) {
        const kelmor::DecodeResult result = decode(text);
        ASSERT_EQ(result.error, DecodeError::none) << error_name(result.error);
        EXPECT_EQ(bits_of(result.value), bits)
            << std::hex << "got 0x" << bits_of(result.value) << ", want 0x" << bits;
    }
}

void expect_error(std::string_view text, DecodeError error) {
    SCOPED_TRACE(trace_label(text));
    for (const auto decode : {decode_field, decode_field_exact}) {
        EXPECT_EQ(error_name(decode(text).error), std::string(error_name(error)));
    }
}

struct ValueCase {
    std::string text;
    std::uint32_t bits;
};

struct ErrorCase {
    std::string text;
    DecodeError error;
};

// --- Public decimal-to-binary vectors ---------------------------------------------------

// Each line: float16, float32, float64, float128 bit patterns in hex, then the text.
TEST(DecodeVectors, EveryTextOfThePublicVectors) {
    const std::filesystem::path folder =
        std::filesystem::path(KELMOR_TESTDATA_DIR) / "parse-number-fxx";
    ASSERT_TRUE(std::filesystem::is_directory(folder)) << "missing " << folder;
    const std::string nbsp = "\u00A0";
    const std::string ideographic = "\u3000";
    std::size_t files = 0;
    std::size_t checked = 0;
    for (const auto &entry : std::filesystem::directory_iterator(folder)) {
        if (entry.path().extension() != ".xz") continue;
        ++files;
        std::istringstream in(kelmor::test::read_xz(entry.path()));
        std::string line;
        std::size_t line_number = 0;
        while (std::getline(in, line)) {
            ++line_number;
            std::istringstream fields(line);
            std::string f16, f32, f64, f128, text;
            ASSERT_TRUE(fields >> f16 >> f32 >> f64 >> f128 >> text)
                << entry.path() << ":" << line_number;
            const auto bits = static_cast<std::uint32_t>(std::stoul(f32, nullptr, 16));
            SCOPED_TRACE(entry.path().filename().string() + ":" + std::to_string(line_number));
            expect_bits(text, bits);
            expect_bits("-" + text, bits | sign_bit);
            expect_bits("+" + text, bits);
            expect_bits("  " + text, bits);
            expect_bits("\t" + nbsp + "-" + text + ideographic + " \r", bits | sign_bit);
            if (::testing::Test::HasFailure()) return; // one broken vector is enough to show
            ++checked;
        }
    }
    EXPECT_EQ(files, 6u);
    EXPECT_EQ(checked, 52977u); // every vector of tests/data/README.md, none lost
    std::printf("[ vectors  ] %zu texts from %zu files, each plain, signed and padded\n", checked,
                files);
    RecordProperty("vectors_checked", static_cast<int>(checked));
}

// --- Edge cases -------------------------------------------------------------------------

TEST(DecodeValues, PlainNumbersAndPadding) {
    const float one_fifty = 150.0f;
    const ValueCase cases[] = {
        {" 1.5E+02 ", bits_of(one_fifty)},
        {"  1.5e2  ", bits_of(one_fifty)},
        {" +150 ", bits_of(one_fifty)},
        {" 150. ", bits_of(one_fifty)},
        {"\t150\t", bits_of(one_fifty)},
        {"\u00A0150\u3000", bits_of(one_fifty)},
        {"\u2003\u2028150\u0085\u205F", bits_of(one_fifty)},
        {"150\u3000", bits_of(one_fifty)},
        {" 150\u00A0", bits_of(one_fifty)},
        {"\u1680150 ", bits_of(one_fifty)},
        {"150 \u2029\t", bits_of(one_fifty)},
        {".5", bits_of(std::ldexp(1.0f, -1))},
        {"5.", bits_of(5.0f)},
        {"5.e1", bits_of(50.0f)},
        {"0.1", 0x3DCC'CCCDu},
        {" 1.23456E+02", 0x42F6'E979u},
        {" 1.23456789E+02", 0x42F6'E9E0u},
        {"-1.23456E-02", 0xBC4A'4533u},
        {"00000000000000000000"
         "1",
         bits_of(1.0f)},
        {"000000000000000000000.00000000000000000000001e23", bits_of(1.0f)},
        {"1e0000000000005", bits_of(100000.0f)},
        {"1E+0000000000000000000000000000000000000000000000000000000000000002", bits_of(100.0f)},
        {"1.5\r", bits_of(std::ldexp(3.0f, -1))},
        {"1.5\r\r", bits_of(std::ldexp(3.0f, -1))},
    };
    for (const ValueCase &c : cases) expect_bits(c.text, c.bits);
}

TEST(DecodeValues, SignedZeros) {
    const ValueCase cases[] = {
        {"-0.0", sign_bit},
        {"-0", sign_bit},
        {"-0e9", sign_bit},
        {"0e-999999", 0},
        {"0", 0},
        {"+0", 0},
        {"0.000", 0},
        {"-.0", sign_bit},
        {"-0.e-5", sign_bit},
        {"0e99999999999999", 0},
        {"-000000e+000", sign_bit},
    };
    for (const ValueCase &c : cases) expect_bits(c.text, c.bits);
}

TEST(DecodeValues, SpecialWords) {
    const ValueCase cases[] = {
        {"inf", infinity},
        {"INF", infinity},
        {"Infinity", infinity},
        {"+inf", infinity},
        {"iNfInItY", infinity},
        {"-infinity", infinity | sign_bit},
        {"-INF", infinity | sign_bit},
        {"nan", quiet_nan},
        {"NaN", quiet_nan},
        {"+NAN", quiet_nan},
        {"-nan", quiet_nan | sign_bit},
        {" \u00A0-Infinity\t", infinity | sign_bit},
    };
    for (const ValueCase &c : cases) expect_bits(c.text, c.bits);
}

// Below, at and above midpoints between neighbouring binary32 values.
TEST(DecodeValues, Midpoints) {
    const std::uint32_t one = bits_of(1.0f);
    const std::uint32_t one_up = bits_of(1.0f + std::ldexp(1.0f, -23));
    const std::string zeros780(780, '0');
    const ValueCase cases[] = {
        // 2^24 + 1 lies halfway between 2^24 and 2^24 + 2: the even one wins.
        {"16777217", bits_of(std::ldexp(1.0f, 24))},
        {"16777219", bits_of(std::ldexp(1.0f, 24) + 4.0f)},
        {"16777217.000000000000000000000000000001", bits_of(std::ldexp(1.0f, 24) + 2.0f)},
        {"16777216.999999999999999999999999999999", bits_of(std::ldexp(1.0f, 24))},
        // 1 + 2^-24 is halfway between 1 and 1 + 2^-23.
        {"1.0000000596046448", one_up},
        {"1.000000059604644775390625", one},
        {"1.000000059604644775390624", one},
        {"1.000000059604644775390626", one_up},
        {"1.000000059604644775390625" + zeros780 + "1", one_up},
        {"1.000000059604644775390625" + zeros780, one},
        {"1000000059604644775390625" + zeros780 + "1e-805", one_up},
        {"0.0000000001000000059604644775390625" + zeros780 + "1e10", one_up},
        {"1.000000059604644775390624" + std::string(780, '9'), one},
    };
    for (const ValueCase &c : cases) expect_bits(c.text, c.bits);
}

TEST(DecodeValues, OverflowBoundary) {
    // 2^128 - 2^103, halfway between the largest finite value and 2^128.
    const std::string halfway = "340282356779733661637539395458142568448";
    const ValueCase cases[] = {
        {"3.4028235e38", largest_finite},
        {"3.40282357e38", infinity},
        {"1e39", infinity},
        {"-1e39", infinity | sign_bit},
        {halfway, infinity},
        {"340282356779733661637539395458142568447", largest_finite},
        {"340282356779733661637539395458142568447.999999999999999999999", largest_finite},
        {halfway + ".000000000000000000000000000001", infinity},
        {"3.40282356779733661637539395458142568448e38", infinity},
        {"0.340282356779733661637539395458142568447" + std::string(900, '9') + "e39",
         largest_finite},
        {"1e38", 0x7E96'7699u},
        {"1e99999999", infinity},
        {"1e655359", infinity},
        {"-1e99999999999999999999999999", infinity | sign_bit},
        {"0.0000000000000000000000000000000000000001e78", 0x7E96'7699u},
    };
    for (const ValueCase &c : cases) expect_bits(c.text, c.bits);
}

TEST(DecodeValues, UnderflowBoundary) {
    // 2^-150, halfway between zero and the smallest subnormal value 2^-149.
    const std::string halfway = "7.006492321624085354618647916449580656401309709382578858785341"
                                "41944895541342930300743319094181060791015625e-46";
    const std::string halfway_digits = "700649232162408535461864791644958065640130970938257885878"
                                       "534141944895541342930300743319094181060791015625";
    const ValueCase cases[] = {
        {"1e-45", 0x0000'0001u},
        {"8e-46", 0x0000'0001u},
        {"7e-46", 0},
        {"1e-46", 0},
        {"-1e-46", sign_bit},
        {"-1e-99", sign_bit},
        {halfway, 0},
        {"-" + halfway, sign_bit},
        {"7.00649232162408535461864791644958065640130970938257885878534141944"
         "8955413429303007433190941810607910156251e-46",
         0x0000'0001u},
        {"0." + std::string(45, '0') + halfway_digits + "1", 0x0000'0001u},
        {"0." + std::string(45, '0') + halfway_digits, 0},
        {"7.006492321624085354618647916449580656401309709382578858785341419448"
         "95541342930300743319094181060791015624e-46",
         0},
        {"1.4e-45", 0x0000'0001u},
        {"2.1e-45", 0x0000'0001u},
        {"2.2e-45", 0x0000'0002u},
        {"1.1754942e-38", 0x007F'FFFFu},
        {"1.17549435e-38", 0x0080'0000u},
        {"1e-38", 0x006C'E3EEu},
        {"1e-99999999", 0},
        {"1e-655359", 0},
    };
    for (const ValueCase &c : cases) expect_bits(c.text, c.bits);
}

// The exponent accumulator stops growing at 65536 or more, but its digits are still read.
TEST(DecodeValues, SaturatingExponent) {
    const std::string point_zeros = "0." + std::string(65540, '0');
    const ValueCase cases[] = {
        // 10^-65541 * 10^65536: the exponent counts as 65536, not 655360.
        {point_zeros + "1e655360", 0x3727'C5ACu},
        {point_zeros + "1e65536", 0x3727'C5ACu},
        {point_zeros + "1e65537", 0x38D1'B717u},
        {point_zeros + "1e6553", 0},
        {point_zeros + "1e0065541", bits_of(1.0f)},
        {"1" + std::string(65540, '0') + "e-655360", bits_of(10000.0f)},
        {"1" + std::string(65540, '0') + "e-65536999999999999999", bits_of(10000.0f)},
        {"1e-0000000000000000000000000", bits_of(1.0f)},
    };
    for (const ValueCase &c : cases) expect_bits(c.text, c.bits);
}

// Fields of megabytes of digits decode without trouble.
TEST(DecodeValues, VeryLongDigitSequences) {
    const std::string million(1'000'000, '0');
    const ValueCase cases[] = {
        // The exponent saturates at 100000, far from cancelling a million digits.
        {"1" + million + "e-1000000", infinity},
        {"0." + million + "1e1000000", 0},
        {"0." + std::string(60000, '0') + "25e60000", bits_of(std::ldexp(1.0f, -2))},
        {"1.000000059604644775390625" + million, bits_of(1.0f)},
        {"1.000000059604644775390625" + million + "3", bits_of(1.0f + std::ldexp(1.0f, -23))},
        {"1" + million, infinity},
        {"0." + million + "1", 0},
        {million + "." + million, 0},
    };
    for (const ValueCase &c : cases) expect_bits(c.text, c.bits);
}

// Each quick path's boundaries, and results that the binary64 path rounds onto a binary32
// midpoint, where it must leave the decision to the exact conversion.
TEST(DecodeValues, QuickPathBoundaries) {
    const ValueCase cases[] = {
        {"16777216", 0x4B80'0000u},
        {"16777217", 0x4B80'0000u},
        {"16777215", 0x4B7F'FFFFu},
        {"16777218", 0x4B80'0001u},
        {"16777219", 0x4B80'0002u},
        {"1.6777217e7", 0x4B80'0000u},
        {"167772170e-1", 0x4B80'0000u},
        {"16777216e10", 0x5C15'02F9u},
        {"16777217e10", 0x5C15'02FAu},
        {"16777216e-10", 0x3ADB'E6FFu},
        {"16777217e-10", 0x3ADB'E700u},
        {"16777216e11", 0x5DBA'43B7u},
        {"16777216e-11", 0x392F'EBFFu},
        {"1e10", 0x5015'02F9u},
        {"1e11", 0x51BA'43B7u},
        {"1e-10", 0x2EDB'E6FFu},
        {"1e-11", 0x2D2F'EBFFu},
        {"3e10", 0x50DF'8476u},
        {"3e-10", 0x2FA4'ED3Fu},
        {"7e11", 0x5322'FB40u},
        {"7e-11", 0x2E99'EE7Fu},
        {"9007199254740992", 0x5A00'0000u},
        {"9007199254740993", 0x5A00'0000u},
        {"9007199254740991", 0x5A00'0000u},
        // 2^53 + 2^29 lies halfway between 2^53 and the next binary32 value.
        {"9007199791611903", 0x5A00'0000u},
        {"9007199791611904", 0x5A00'0000u},
        {"9007199791611905", 0x5A00'0001u},
        {"9007199254740992e22", 0x7E87'8678u},
        {"9007199254740993e22", 0x7E87'8678u},
        {"9007199254740992e-22", 0x3571'C901u},
        {"9007199254740993e-22", 0x3571'C901u},
        {"9007199254740992e23", infinity},
        {"9007199254740992e-23", 0x33C1'6D9Au},
        {"1e22", 0x6407'8678u},
        {"1e23", 0x65A9'6816u},
        {"1e-22", 0x1AF1'C901u},
        {"1e-23", 0x1941'6D9Au},
        {"123456789e22", 0x7179'51AAu},
        {"123456789e-22", 0x285E'6665u},
        {"123456789e23", 0x731B'D30Au},
        {"123456789e-23", 0x26B1'EB84u},
        {"9.99999E-01", 0x3F7F'FFEFu},
        {"9.99999999E-01", 0x3F80'0000u},
        // Not midpoints, but the binary64 result is one; rounding it again would be wrong.
        {"2020341083407402e-16", 0x3E4E'E207u},
        {"6676795449731294e15", 0x72A8'8BC7u},
        {"4129323981141402e9", 0x685A'9AC7u},
        {"999839414816961e-21", 0x3586'3239u},
        {"1234567890123456789", 0x5D89'1088u},
        {"12345678901234567891", 0x5F2B'54AAu},
        {"1.234567890123456789e-30", 0x0DC8'51F2u},
        {"9999999999999999999e-19", 0x3F80'0000u},
    };
    for (const ValueCase &c : cases) expect_bits(c.text, c.bits);
}

// --- The ways of decoding ----------------------------------------------------------------

struct PathCase {
    std::string text;
    kelmor::detail::DecodePath path;
};

// Each way of decoding decides the texts it exists for; without it they would take a slower
// one, which gives the same value, so only the way taken shows that it is there.
TEST(DecodePaths, EachWayDecidesItsTexts) {
    using kelmor::detail::DecodePath;
    const PathCase cases[] = {
        // The writers' layout, read at fixed positions: both widths in use and the others.
        {" 1.23456E+02", DecodePath::layout},
        {"-1.23456789E-02", DecodePath::layout},
        {" 1.2345E+02", DecodePath::layout},
        {" 0.00000E+00", DecodePath::layout},
        {"-0.00000E+00", DecodePath::layout},
        // On a binary32 midpoint (11185312.5 * 2^8, 2^24 + 1), but the product is exact: still
        // the layout, half to even.
        {" 2.86344E+09", DecodePath::layout},
        {" 1.6777217E+07", DecodePath::layout},
        // Not the layout: the general parser, then one multiplication.
        {"+1.23456E+02", DecodePath::scaled},
        {" 1.23456e+02", DecodePath::scaled},
        {"  1.23456E+02", DecodePath::scaled},
        {"1.5", DecodePath::scaled},
        {"0.1", DecodePath::scaled},
        {"16777217", DecodePath::scaled},
        // Only the exact conversion decides: no power of ten for one multiplication, too
        // many digits, or a product near a midpoint that is not exact.
        {" 1.40130E-45", DecodePath::exact},
        {" 9.99999E+99", DecodePath::exact},
        {"1e-40", DecodePath::exact},
        {"12345678901234567891", DecodePath::exact},
        {"1.000000059604645", DecodePath::exact},
        {"1.0000000596046448", DecodePath::exact},
        // Zero, special words: no conversion.
        {"0", DecodePath::other},
        {"-inf", DecodePath::other},
        {"nan", DecodePath::other},
    };
    for (const PathCase &c : cases) {
        SCOPED_TRACE(trace_label(c.text));
        kelmor::detail::DecodePath path = kelmor::detail::DecodePath::other;
        const kelmor::DecodeResult result = kelmor::detail::decode_field_traced(c.text, &path);
        ASSERT_EQ(result.error, DecodeError::none);
        EXPECT_EQ(static_cast<int>(path), static_cast<int>(c.path));
        // glibc's strtof rounds correctly.
        const std::uint32_t bits = bits_of(std::strtof(c.text.c_str(), nullptr));
        EXPECT_EQ(bits_of(result.value), bits) << std::hex << bits_of(result.value);
        expect_bits(c.text, bits);
    }
}

// --- Rejected texts ---------------------------------------------------------------------

TEST(DecodeErrors, EmptyAfterTrimming) {
    const ErrorCase cases[] = {
        {"", DecodeError::empty},
        {" ", DecodeError::empty},
        {"            ", DecodeError::empty},
        {"\t\t\t", DecodeError::empty},
        {"\t\u00A0\t\u00A0", DecodeError::empty},
        {"\u3000\u2000\u200A\u1680\u0085\r\n\v\f", DecodeError::empty},
    };
    for (const ErrorCase &c : cases) expect_error(c.text, c.error);
}

TEST(DecodeErrors, NotANumber) {
    const char *const texts[] = {
        ".",        "+.",       "-.",     "e5",      "E5",    "1e",         "1e+",     "1e-",
        "1E",       "+",        "-",      "++1",     "+-1",   "-+1",        "--1",     "1.0D+02",
        "1.0d2",    "0x1A",     "0X1a",   "1_000",   "1,5",   "1 .5",       "1. 5",    "1 e5",
        "1e 5",     "- 1",      "1e5.5",  "1.5.3",   "..5",   "1..",        "1e5e5",   "1e+-5",
        "1e++5",    "e",        ".e1",    "+.e1",    "1f",    "1.5f",       "15%",     "infinite",
        "infin",    "snan",     "nan(1)", "nan()",   "in f",  "i nf",       "infinit", "infinityy",
        "na",       "n",        "inff",   "-nan(0)", "+-inf", "--inf",      "∞",       "１",
        "1.５",     "\u0661",   "nanq",   "qnan",    "info",  "1e1\u00A0x", "abc",     "1+1",
        "1-",       "1.5-",     "+1+",    "1e5-",    "Inf1",  "1inf",       "0x",      "0b1",
        "1\u00A01", "1\u30005",
    };
    for (const char *text : texts) expect_error(text, DecodeError::invalid);
}

// Characters that look like white space but are not stay part of the text.
TEST(DecodeErrors, NonWhiteSpaceAtTheEnds) {
    const char *const texts[] = {
        "\uFEFF1",
        "\u200B1",
        "\x1C"
        "1",
        "\x1D"
        "1",
        "\x1E"
        "1",
        "\x1F"
        "1",
        "\u180E1",
        "1\uFEFF",
        "1\u200B",
        "1\x1C",
        "1\x1F",
        "\u200B",
        "\uFEFF",
        "\x1C",
        " \u200B ",
        "1\u2060",
    };
    for (const char *text : texts) expect_error(text, DecodeError::invalid);
    expect_error(std::string_view("\0"
                                  "1",
                                  2),
                 DecodeError::invalid);
    expect_error(std::string_view("1\0", 2), DecodeError::invalid);
}

// --- Agreement with the C library -------------------------------------------------------

std::uint32_t strtof_bits(const std::string &text) {
    return bits_of(std::strtof(text.c_str(), nullptr));
}

void expect_like_strtof(const std::string &text) {
    expect_bits(text, strtof_bits(text));
}

// The fixed-layout recogniser (d.ffffE+xx, 4 to 8 fraction digits, read 8 bytes at a time)
// next to every text it must leave to the general parser: one fraction digit too few or too
// many, the bytes just outside '0'..'9' and a non-ASCII byte at each fraction position, other
// exponent lengths, a missing point, lower-case markers and signs. Whatever path takes a
// text, the result must be strtof's, or the decode error of the exact decoder.
TEST(DecodeLayout, FixedPositionsAndTheirNeighbours) {
    for (int fraction = 2; fraction <= 10; ++fraction) {
        std::string digits = "7";
        for (int k = 0; k < fraction; ++k) digits += static_cast<char>('0' + (k * 7 + 3) % 10);
        const std::string number = digits.substr(0, 1) + "." + digits.substr(1);
        for (const char *exponent :
             {"E+02", "E-05", "e+38", "E-45", "E+3", "E-003", "E+10", "E-10"}) {
            for (const char *sign : {"", "-", "+"}) {
                expect_like_strtof(std::string(" ") + sign + number + exponent);
                expect_like_strtof(std::string(sign) + number + exponent + "  ");
            }
        }
        // Other white space, or more than one blank, in front of the layout.
        for (const char *lead : {"\t", "  ", "\v", " \t", "\t-", "  +"})
            expect_like_strtof(std::string(lead) + number + "E-07");
        expect_bits("\xC2\xA0" + number + "E+01", strtof_bits(number + "E+01"));
        expect_bits("\xE2\x80\x83-" + number + "E+01", strtof_bits("-" + number + "E+01"));
        expect_like_strtof(digits + "E+02");       // no point
        expect_like_strtof("1" + number + "E+02"); // two integer digits
        for (int k = 0; k < fraction; ++k) {
            for (const char bad : {'/', ':', '.', 'E', ' ', '\x80'}) {
                std::string text = number + "E+02";
                text[static_cast<std::size_t>(2 + k)] = bad;
                SCOPED_TRACE(trace_label(text));
                const auto quick = decode_field(text);
                const auto exact = decode_field_exact(text);
                EXPECT_EQ(error_name(quick.error), std::string(error_name(exact.error)));
                if (quick.error == DecodeError::none) {
                    EXPECT_EQ(bits_of(quick.value), bits_of(exact.value));
                }
            }
        }
    }
    expect_error("1.2345E+0x", DecodeError::invalid);
    expect_error("x.2345E+02", DecodeError::invalid);
    expect_error("1.2345E*02", DecodeError::invalid);
    expect_error("1.2345D+02", DecodeError::invalid);
    expect_error("1,2345E+02", DecodeError::invalid);
}

// The one-multiplication path by a rounded power of ten must leave every product near a
// binary32 midpoint to the exact paths. Exact midpoints between neighbouring binary32 values
// of 2^14 to 2^40 have short decimal expansions; they, and texts a unit of their last digit
// away, are written with negative and positive decimal exponents.
TEST(DecodeRandom, ScaledProductsNearMidpoints) {
    std::mt19937_64 random(99);
    std::uniform_real_distribution<double> magnitude(14.0, 40.0);
    for (int i = 0; i < 20000; ++i) {
        const float low = static_cast<float>(std::exp2(magnitude(random)));
        const double midpoint =
            (static_cast<double>(low) + static_cast<double>(std::nextafter(low, INFINITY))) / 2;
        char text[64];
        std::snprintf(text, sizeof text, "%.12f", midpoint);
        std::string exact = text;
        while (exact.back() == '0') exact.pop_back();
        if (exact.back() == '.') exact += '0';
        const auto point = exact.find('.');
        const std::string integer = exact.substr(0, point);
        const std::string fraction = exact.substr(point + 1);
        if (integer.size() + fraction.size() > 16) continue;
        const std::string significand = integer + fraction;
        const std::string scaled = "e-" + std::to_string(fraction.size());
        expect_like_strtof(exact);
        expect_like_strtof(significand + scaled);
        expect_like_strtof(exact + "1");
        expect_like_strtof(exact + "0000e0");
        // One unit of the last digit below the midpoint.
        std::string below = significand;
        std::size_t k = below.size() - 1;
        while (below[k] == '0') below[k--] = '9';
        --below[k];
        expect_like_strtof(below + scaled);
        // Midpoints of integers, written with positive exponents.
        if (fraction == "0" && integer.size() > 3 && integer.ends_with("000"))
            expect_like_strtof(integer.substr(0, integer.size() - 3) + "e3");
        if (::testing::Test::HasFailure()) return;
    }
}

// Random fields in the two layouts in use, " d.dddddE+dd" and " d.ddddddddE+dd", across the
// subnormal and overflow ranges, against glibc's correctly rounded strtof (which agrees with
// the saturating exponent here: every exponent is small).
TEST(DecodeRandom, FixedWidthLayoutsAgainstStrtof) {
    std::mt19937_64 random(20261208);
    std::uniform_int_distribution<int> digit(0, 9);
    std::uniform_int_distribution<int> exponent(-50, 40);
    std::uniform_int_distribution<int> coin(0, 1);
    for (int i = 0; i < 200000; ++i) {
        const int fraction_digits = (i % 2 == 0) ? 5 : 8;
        std::string text = " ";
        if (coin(random) != 0) text += '-';
        text += static_cast<char>('0' + digit(random));
        text += '.';
        for (int k = 0; k < fraction_digits; ++k) text += static_cast<char>('0' + digit(random));
        const int e = exponent(random);
        text += (coin(random) != 0) ? 'E' : 'e';
        text += e < 0 ? '-' : '+';
        const int magnitude = std::abs(e);
        if (magnitude < 10) text += '0';
        text += std::to_string(magnitude);
        expect_like_strtof(text);
        if (::testing::Test::HasFailure()) return;
    }
}

// Random numbers of 1 to 45 digits, the point anywhere, and exponents that reach all paths.
TEST(DecodeRandom, FreeFormAgainstStrtof) {
    std::mt19937_64 random(42);
    std::uniform_int_distribution<int> digit(0, 9);
    std::uniform_int_distribution<int> length(1, 45);
    std::uniform_int_distribution<int> exponent(-75, 60);
    std::uniform_int_distribution<int> coin(0, 3);
    for (int i = 0; i < 200000; ++i) {
        const int n = length(random);
        std::string digits;
        for (int k = 0; k < n; ++k) digits += static_cast<char>('0' + digit(random));
        const auto point = std::uniform_int_distribution<int>(0, n)(random);
        std::string text;
        if (coin(random) == 0) text += '-';
        if (coin(random) == 0) text += '+';
        text += digits.substr(0, static_cast<std::size_t>(point));
        if (point < n || coin(random) == 0) {
            text += '.';
            text += digits.substr(static_cast<std::size_t>(point));
        }
        if (coin(random) != 0) text += "e" + std::to_string(exponent(random));
        if (text.starts_with("-+")) continue; // two signs: not a number for either parser
        expect_like_strtof(text);
        if (::testing::Test::HasFailure()) return;
    }
}

// Significands near 2^24 and 2^53 and exponents near the quick paths' limits, where the
// quick and exact paths meet.
TEST(DecodeRandom, QuickPathEdgesAgainstStrtof) {
    std::mt19937_64 random(7);
    std::uniform_int_distribution<std::uint64_t> near(0, 6);
    std::uniform_int_distribution<std::uint64_t> any53(1, std::uint64_t{1} << 53);
    std::uniform_int_distribution<std::uint64_t> any24(1, std::uint64_t{1} << 24);
    std::uniform_int_distribution<int> exponent(-25, 25);
    for (int i = 0; i < 100000; ++i) {
        std::uint64_t w = 0;
        switch (i % 4) {
        case 0: w = (std::uint64_t{1} << 24) - 3 + near(random); break;
        case 1: w = (std::uint64_t{1} << 53) - 3 + near(random); break;
        case 2: w = any24(random); break;
        default: w = any53(random); break;
        }
        const std::string text = std::to_string(w) + "e" + std::to_string(exponent(random));
        expect_like_strtof(text);
        if (::testing::Test::HasFailure()) return;
    }
}

} // namespace
