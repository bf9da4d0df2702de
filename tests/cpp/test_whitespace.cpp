// test_whitespace.cpp: the White_Space code points, trimming and the last token.
#include "whitespace.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <string>
#include <string_view>

namespace {

using kelmor::is_white_space;
using kelmor::last_token;
using kelmor::trim_white_space;

// The 25 code points of the Unicode White_Space property, listed one by one.
constexpr std::array<char32_t, 25> white_space_code_points = {
    0x0009, 0x000A, 0x000B, 0x000C, 0x000D, 0x0020, 0x0085, 0x00A0, 0x1680,
    0x2000, 0x2001, 0x2002, 0x2003, 0x2004, 0x2005, 0x2006, 0x2007, 0x2008,
    0x2009, 0x200A, 0x2028, 0x2029, 0x202F, 0x205F, 0x3000};

std::string utf8(char32_t c) {
    std::string out;
    if (c < 0x80) {
        out += static_cast<char>(c);
    } else if (c < 0x800) {
        out += static_cast<char>(0xC0 | (c >> 6));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
        out += static_cast<char>(0xE0 | (c >> 12));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (c >> 18));
        out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    }
    return out;
}

TEST(WhiteSpace, ExactlyTheWhiteSpaceCodePoints) {
    int count = 0;
    for (char32_t c = 0; c <= 0x10FFFF; ++c) {
        const bool listed =
            std::find(white_space_code_points.begin(), white_space_code_points.end(), c) !=
            white_space_code_points.end();
        ASSERT_EQ(is_white_space(c), listed) << "code point " << std::hex << std::uint32_t{c};
        count += listed ? 1 : 0;
    }
    EXPECT_EQ(count, 25);
}

TEST(WhiteSpace, LookAlikesAreNotWhiteSpace) {
    for (const char32_t c : {0x0000u, 0x0008u, 0x000Eu, 0x001Cu, 0x001Du, 0x001Eu, 0x001Fu, 0x00ADu,
                             0x180Eu, 0x200Bu, 0x200Cu, 0x200Du, 0x2060u, 0xFEFFu}) {
        EXPECT_FALSE(is_white_space(c)) << std::hex << std::uint32_t{c};
    }
}

// Every white-space character, alone and around other text, is trimmed from either end.
TEST(TrimWhiteSpace, EachWhiteSpaceCharacterAtEitherEnd) {
    for (const char32_t c : white_space_code_points) {
        const std::string ws = utf8(c);
        SCOPED_TRACE(std::to_string(std::uint32_t{c}));
        EXPECT_EQ(trim_white_space(ws), "");
        EXPECT_EQ(trim_white_space(ws + "x" + ws), "x");
        EXPECT_EQ(trim_white_space(ws + ws + "1.5" + ws + ws), "1.5");
        EXPECT_EQ(trim_white_space(ws + "a" + ws + "b" + ws), "a" + ws + "b");
        EXPECT_EQ(last_token(ws + "a" + ws + "bc" + ws), "bc");
        EXPECT_EQ(last_token(ws + ws), "");
    }
}

struct TrimCase {
    std::string text;
    std::string trimmed;
    std::string last;
};

TEST(TrimWhiteSpace, MixedAsciiAndMultiByte) {
    const std::string nbsp = "\u00A0";
    const std::string ideographic = "\u3000";
    const std::string line_separator = "\u2028";
    const std::string bom = "\uFEFF";
    const std::string zero_width = "\u200B";
    const std::string cjk = "\u4E2D"; // a three-byte character that is not white space
    const std::string emoji = "\U0001F600";
    const TrimCase cases[] = {
        {"", "", ""},
        {" ", "", ""},
        {" \t\n\v\f\r", "", ""},
        {"abc", "abc", "abc"},
        {"  abc  ", "abc", "abc"},
        {"\tTIME  VALUE\r", "TIME  VALUE", "VALUE"},
        {nbsp + " 1.5 " + ideographic, "1.5", "1.5"},
        {ideographic + nbsp + "\t", "", ""},
        {"a" + nbsp + "b", "a" + nbsp + "b", "b"},
        {"x" + line_separator + "y" + line_separator, "x" + line_separator + "y", "y"},
        {bom + "1" + bom, bom + "1" + bom, bom + "1" + bom},
        {zero_width + " ", zero_width, zero_width},
        {"\x1C"
         "1",
         "\x1C"
         "1",
         "\x1C"
         "1"},
        {" " + cjk + " ", cjk, cjk},
        {cjk + nbsp + cjk + "x", cjk + nbsp + cjk + "x", cjk + "x"},
        {emoji + " " + emoji + emoji + "\u2003", emoji + " " + emoji + emoji, emoji + emoji},
        {"\u0085a\u0085", "a", "a"},
        {"\u1680p q\u205F", "p q", "q"},
        {"é ", "é", "é"},
    };
    for (const TrimCase &c : cases) {
        SCOPED_TRACE(c.text);
        EXPECT_EQ(trim_white_space(c.text), c.trimmed);
        EXPECT_EQ(last_token(c.text), c.last);
    }
}

// The trimmed and last-token views point into the given text.
TEST(TrimWhiteSpace, ResultsAreViewsIntoTheText) {
    const std::string_view text = "  one two \u3000";
    const std::string_view trimmed = trim_white_space(text);
    EXPECT_EQ(trimmed.data(), text.data() + 2);
    EXPECT_EQ(trimmed.size(), 7u);
    const std::string_view last = last_token(text);
    EXPECT_EQ(last.data(), text.data() + 6);
    EXPECT_EQ(last.size(), 3u);
}

} // namespace
