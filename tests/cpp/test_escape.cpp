// test_escape.cpp: which characters are escaped, and the exact text of character and string
// literals.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>

#include "escape.hpp"
#include "unicode_tables.hpp"

namespace {

using kelmor::char_literal;
using kelmor::needs_escape;
using kelmor::string_literal;

struct EscapeCase {
    char32_t c;
    bool escaped;
};

TEST(NeedsEscape, NamedCharacters) {
    const EscapeCase cases[] = {
        // ASCII: controls and DEL only.
        {U'\0', true},
        {U'\x1F', true},
        {U'\x7F', true},
        {U' ', false},
        {U'~', false},
        {U'a', false},
        {U'\'', false},
        {U'"', false},
        // Controls, format characters, separators.
        {U'\u0080', true},
        {U'\u0085', true},
        {U'\u009F', true},
        {U'\u00A0', true},
        {U'\u00AD', true},
        {U'\u200B', true},
        {U'\u200C', true},
        {U'\uFEFF', true},
        {U'\u2028', true},
        {U'\u2029', true},
        {U'\u3000', true},
        {U'\u1680', true},
        {U'\u202F', true},
        {U'\u205F', true},
        {U'\U000E0001', true},
        // Combining characters, private use, unassigned, surrogates, beyond Unicode.
        {U'\u0300', true},
        {U'\u036F', true},
        {U'\u20DD', true},
        {U'\uFF9E', true},
        {U'\uE000', true},
        {U'\U0010FFFD', true},
        {U'\u0378', true},
        {U'\U0010FFFF', true},
        {static_cast<char32_t>(0xD800), true},
        {static_cast<char32_t>(0xDFFF), true},
        {static_cast<char32_t>(0x110000), true},
        // Letters, digits, symbols and punctuation.
        {U'\u00A1', false},
        {U'\u00E9', false},
        {U'\u00B0', false},
        {U'\u00B5', false},
        {U'\u2212', false},
        {U'\u03B1', false},
        {U'\u0370', false},
        {U'\u4E2D', false},
        {U'\U0001F600', false},
        {U'\uFFFD', false},
        {U'\u0660', false},
    };
    for (const EscapeCase &c : cases) {
        EXPECT_EQ(needs_escape(c.c), c.escaped) << std::hex << static_cast<std::uint32_t>(c.c);
    }
}

// Both ends of every range are found by the search, and the code points just outside are
// not (the generator merges adjacent ranges, so a neighbour is never escaped).
TEST(NeedsEscape, EveryTableRangeEdge) {
    const auto &ranges = kelmor::detail::escaped_ranges;
    for (std::size_t i = 0; i < ranges.size(); ++i) {
        const auto [first, last] = ranges[i];
        SCOPED_TRACE(testing::Message() << std::hex << static_cast<std::uint32_t>(first));
        ASSERT_LE(first, last);
        if (i > 0) {
            ASSERT_GT(first, ranges[i - 1].last + 1);
        }
        EXPECT_TRUE(needs_escape(first));
        EXPECT_TRUE(needs_escape(last));
        EXPECT_TRUE(needs_escape(first + (last - first) / 2));
        if (first > 0x80) {
            EXPECT_FALSE(needs_escape(first - 1));
        }
        if (last < 0x10FFFF) {
            EXPECT_FALSE(needs_escape(last + 1));
        }
    }
}

// Every white-space character outside ASCII is escaped.
TEST(NeedsEscape, NonAsciiWhiteSpace) {
    for (const char32_t c :
         {U'\u0085', U'\u00A0', U'\u1680', U'\u2000', U'\u2001', U'\u2002', U'\u2003', U'\u2004',
          U'\u2005', U'\u2006', U'\u2007', U'\u2008', U'\u2009', U'\u200A', U'\u2028', U'\u2029',
          U'\u202F', U'\u205F', U'\u3000'}) {
        EXPECT_TRUE(needs_escape(c)) << std::hex << static_cast<std::uint32_t>(c);
    }
}

struct CharCase {
    char32_t c;
    std::string_view literal;
};

TEST(CharLiteral, ExactText) {
    const CharCase cases[] = {
        {U'a', "'a'"},
        {U' ', "' '"},
        {U'"', "'\"'"},
        {U'\'', "'\\''"},
        {U'\\', "'\\\\'"},
        {U'\t', "'\\t'"},
        {U'\r', "'\\r'"},
        {U'\n', "'\\n'"},
        {U'\0', "'\\0'"},
        {U'\x01', "'\\u{1}'"},
        {U'\x1B', "'\\u{1b}'"},
        {U'\x7F', "'\\u{7f}'"},
        {U'\u00A0', "'\\u{a0}'"},
        {U'\u00AD', "'\\u{ad}'"},
        {U'\u0300', "'\\u{300}'"},
        {U'\u200B', "'\\u{200b}'"},
        {U'\uFEFF', "'\\u{feff}'"},
        {static_cast<char32_t>(0xD800), "'\\u{d800}'"},
        {U'\U000E0001', "'\\u{e0001}'"},
        {U'\U0010FFFF', "'\\u{10ffff}'"},
        {U'\u00E9', "'\xC3\xA9'"},
        {U'\u00B0', "'\xC2\xB0'"},
        {U'\u2212', "'\xE2\x88\x92'"},
        {U'\u4E2D', "'\xE4\xB8\xAD'"},
        {U'\U0001F600', "'\xF0\x9F\x98\x80'"},
    };
    for (const CharCase &c : cases) {
        EXPECT_EQ(char_literal(c.c), c.literal) << std::hex << static_cast<std::uint32_t>(c.c);
    }
}

struct StringCase {
    std::string_view text;
    std::string_view literal;
};

TEST(StringLiteral, ExactText) {
    using namespace std::string_view_literals;
    const StringCase cases[] = {
        {"", "\"\""},
        {"No such file or directory", "\"No such file or directory\""},
        {"it's", "\"it's\""},
        {"say \"hi\"", "\"say \\\"hi\\\"\""},
        {"C:\\dir", "\"C:\\\\dir\""},
        {"a\tb\rc\nd\0e"sv, "\"a\\tb\\rc\\nd\\0e\""},
        {"\x01\x7F", "\"\\u{1}\\u{7f}\""},
        {"a\xC2\xA0"
         "b",
         "\"a\\u{a0}b\""},
        {"\xC3\xA9t\xC3\xA9 \xE2\x88\x92 \xF0\x9F\x98\x80",
         "\"\xC3\xA9t\xC3\xA9 \xE2\x88\x92 \xF0\x9F\x98\x80\""},
        // A combining mark after a character joins it; at the start it is escaped.
        {"e\xCC\x81", "\"e\xCC\x81\""},
        {"\xCC\x81"
         "e",
         "\"\\u{301}e\""},
        {"e\xCC\x81\xCC\x81", "\"e\xCC\x81\xCC\x81\""},
        // A format character is escaped wherever it stands, combining or not.
        {"a\xE2\x80\x8C"
         "b",
         "\"a\\u{200c}b\""},
        {"a\xE2\x80\x8B"
         "b",
         "\"a\\u{200b}b\""},
        {"\xEF\xBB\xBF"
         "x",
         "\"\\u{feff}x\""},
        // Bytes that are not UTF-8 show as replacement characters.
        {"a\xFF"
         "b",
         "\"a\xEF\xBF\xBD"
         "b\""},
        {"\xED\xA0\x80", "\"\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD\""},
    };
    for (const StringCase &c : cases) {
        EXPECT_EQ(string_literal(c.text), c.literal) << testing::PrintToString(std::string(c.text));
    }
}

} // namespace
