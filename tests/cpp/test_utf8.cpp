// test_utf8.cpp: strict UTF-8 validation (kind, position, length), decoding, lossy conversion,
// encoding.
#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "utf8.hpp"

namespace {

using kelmor::utf8::ErrorKind;
using kelmor::utf8::Result;
using kelmor::utf8::validate;

std::string encode(char32_t c) {
    const auto code = static_cast<std::uint32_t>(c);
    std::string out;
    if (code < 0x80) {
        out.push_back(static_cast<char>(code));
    } else if (code < 0x800) {
        out.push_back(static_cast<char>(0xC0U | (code >> 6)));
        out.push_back(static_cast<char>(0x80U | (code & 0x3FU)));
    } else if (code < 0x10000) {
        out.push_back(static_cast<char>(0xE0U | (code >> 12)));
        out.push_back(static_cast<char>(0x80U | ((code >> 6) & 0x3FU)));
        out.push_back(static_cast<char>(0x80U | (code & 0x3FU)));
    } else {
        out.push_back(static_cast<char>(0xF0U | (code >> 18)));
        out.push_back(static_cast<char>(0x80U | ((code >> 12) & 0x3FU)));
        out.push_back(static_cast<char>(0x80U | ((code >> 6) & 0x3FU)));
        out.push_back(static_cast<char>(0x80U | (code & 0x3FU)));
    }
    return out;
}

// Valid text from a fixed seed: runs of ASCII (to exercise the block fast path) between
// characters of every encoded length, surrogates excluded.
struct MixedText {
    std::string bytes;
    std::vector<std::size_t> starts; // offset of every character
};

MixedText make_mixed_text(std::size_t characters) {
    std::mt19937 random(20241208);
    std::uniform_int_distribution<int> pick_length(1, 4);
    std::uniform_int_distribution<int> ascii_run(0, 20);
    MixedText text;
    auto add = [&text](char32_t c) {
        text.starts.push_back(text.bytes.size());
        text.bytes += encode(c);
    };
    while (text.starts.size() < characters) {
        for (int run = ascii_run(random); run > 0; --run) {
            add(static_cast<char32_t>(
                std::uniform_int_distribution<std::uint32_t>(0, 0x7F)(random)));
        }
        std::uint32_t low = 0x80;
        std::uint32_t high = 0x7FF;
        switch (pick_length(random)) {
        case 1:
            low = 0x00;
            high = 0x7F;
            break;
        case 2: break;
        case 3:
            low = 0x800;
            high = 0xFFFF - 0x800;
            break;
        default:
            low = 0x10000;
            high = 0x10FFFF;
            break;
        }
        std::uint32_t code = std::uniform_int_distribution<std::uint32_t>(low, high)(random);
        // Shift the three-byte draw past the surrogates to keep the text valid.
        if (low == 0x800 && code >= 0xD800) {
            code += 0x800;
        }
        add(static_cast<char32_t>(code));
    }
    return text;
}

std::size_t char_length(const std::string &bytes, std::size_t start) {
    const auto lead = static_cast<unsigned char>(bytes[start]);
    return lead < 0x80 ? 1 : lead < 0xE0 ? 2 : lead < 0xF0 ? 3 : 4;
}

void expect_result(std::string_view bytes, ErrorKind kind, std::size_t position,
                   std::size_t length) {
    const Result result = validate(bytes);
    EXPECT_EQ(result.kind, kind);
    EXPECT_EQ(result.position, position);
    EXPECT_EQ(result.length, length);
}

class Utf8Mutation : public ::testing::Test {
protected:
    MixedText m_text = make_mixed_text(2000);
};

TEST_F(Utf8Mutation, ValidTextPasses) {
    expect_result(m_text.bytes, ErrorKind::none, m_text.bytes.size(), 0);
}

TEST_F(Utf8Mutation, HeaderBitsError) {
    std::string &bytes = m_text.bytes;
    for (const std::size_t start : m_text.starts) {
        SCOPED_TRACE(start);
        const char saved = bytes[start];
        // A lead of F8 starts no character; a continuation byte cannot stand first.
        for (const char bad : {'\xF8', '\xFF', '\xC0', '\xC1', '\xF5', '\x80', '\xBF'}) {
            bytes[start] = bad;
            expect_result(bytes, ErrorKind::header_bits, start, 1);
        }
        bytes[start] = saved;
    }
}

TEST_F(Utf8Mutation, TooShortError) {
    std::string &bytes = m_text.bytes;
    for (const std::size_t start : m_text.starts) {
        const std::size_t length = char_length(bytes, start);
        for (std::size_t k = 1; k < length; ++k) {
            SCOPED_TRACE(testing::Message() << start << " + " << k);
            const char saved = bytes[start + k];
            bytes[start + k] = 'A';
            expect_result(bytes, ErrorKind::too_short, start, k);
            bytes[start + k] = saved;
        }
    }
}

TEST_F(Utf8Mutation, OverlongError) {
    std::string &bytes = m_text.bytes;
    for (const std::size_t start : m_text.starts) {
        const std::size_t length = char_length(bytes, start);
        if (length < 3) {
            continue;
        }
        SCOPED_TRACE(start);
        const std::string saved = bytes.substr(start, 2);
        // E0 80..9F and F0 80..8F would repeat a shorter encoding.
        bytes[start] = length == 3 ? '\xE0' : '\xF0';
        bytes[start + 1] = static_cast<char>((saved[1] & (length == 3 ? 0x1F : 0x0F)) | 0x80);
        expect_result(bytes, ErrorKind::overlong, start, 1);
        bytes.replace(start, 2, saved);
    }
}

TEST_F(Utf8Mutation, SurrogateError) {
    std::string &bytes = m_text.bytes;
    for (const std::size_t start : m_text.starts) {
        if (char_length(bytes, start) != 3) {
            continue;
        }
        SCOPED_TRACE(start);
        const std::string saved = bytes.substr(start, 2);
        bytes[start] = '\xED';
        bytes[start + 1] = static_cast<char>((saved[1] & 0x1F) | 0xA0);
        expect_result(bytes, ErrorKind::surrogate, start, 1);
        bytes.replace(start, 2, saved);
    }
}

TEST_F(Utf8Mutation, TooLargeError) {
    std::string &bytes = m_text.bytes;
    for (const std::size_t start : m_text.starts) {
        if (char_length(bytes, start) != 4) {
            continue;
        }
        SCOPED_TRACE(start);
        const std::string saved = bytes.substr(start, 2);
        bytes[start] = '\xF4';
        bytes[start + 1] = static_cast<char>((saved[1] & 0x2F) | 0x90);
        expect_result(bytes, ErrorKind::too_large, start, 1);
        bytes.replace(start, 2, saved);
    }
}

struct Case {
    std::string_view bytes;
    ErrorKind kind;
    std::size_t position;
    std::size_t length;
};

TEST(Utf8Validate, EncodingBoundaries) {
    const Case cases[] = {
        {"\x7F", ErrorKind::none, 1, 0},                  // U+007F
        {"\xC2\x80", ErrorKind::none, 2, 0},              // U+0080
        {"\xDF\xBF", ErrorKind::none, 2, 0},              // U+07FF
        {"\xE0\xA0\x80", ErrorKind::none, 3, 0},          // U+0800
        {"\xED\x9F\xBF", ErrorKind::none, 3, 0},          // U+D7FF
        {"\xEE\x80\x80", ErrorKind::none, 3, 0},          // U+E000
        {"\xEF\xBF\xBF", ErrorKind::none, 3, 0},          // U+FFFF
        {"\xF0\x90\x80\x80", ErrorKind::none, 4, 0},      // U+10000
        {"\xF4\x8F\xBF\xBF", ErrorKind::none, 4, 0},      // U+10FFFF
        {"\xC1\xBF", ErrorKind::header_bits, 0, 1},       // U+007F in two bytes
        {"\xC0\x80", ErrorKind::header_bits, 0, 1},       // U+0000 in two bytes
        {"\xE0\x9F\xBF", ErrorKind::overlong, 0, 1},      // U+07FF in three bytes
        {"\xF0\x8F\xBF\xBF", ErrorKind::overlong, 0, 1},  // U+FFFF in four bytes
        {"\xED\xA0\x80", ErrorKind::surrogate, 0, 1},     // U+D800
        {"\xED\xBF\xBF", ErrorKind::surrogate, 0, 1},     // U+DFFF
        {"\xF4\x90\x80\x80", ErrorKind::too_large, 0, 1}, // U+110000
        {"\xF5\x80\x80\x80", ErrorKind::header_bits, 0, 1},
        {"\xF7\xBF\xBF\xBF", ErrorKind::header_bits, 0, 1},
        {"\xF8\x88\x80\x80\x80", ErrorKind::header_bits, 0, 1},
        {"\xFF", ErrorKind::header_bits, 0, 1},
        {"\xE0\x80", ErrorKind::overlong, 0, 1}, // wrong second byte beats the missing third
        {"\xE2\x82"
         "A",
         ErrorKind::too_short, 0, 2},
        {"ab\xC3\xA9\xE2", ErrorKind::too_short, 4, 1},
        {"", ErrorKind::none, 0, 0},
        // The input ends inside a character although continuation bytes follow in memory.
        {std::string_view("\xC2\x80", 1), ErrorKind::too_short, 0, 1},
        {std::string_view("\xE2\x82\xAC", 2), ErrorKind::too_short, 0, 2},
        {std::string_view("\xF0\x9F\x98\x80", 3), ErrorKind::too_short, 0, 3},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(testing::PrintToString(std::string(c.bytes)));
        expect_result(c.bytes, c.kind, c.position, c.length);
    }
}

// Every prefix of a multi-byte character is too short, at the end of the input and before
// another character alike, and its length is the prefix's.
TEST(Utf8Validate, EveryTruncationPoint) {
    for (const char32_t c : {U'\u00E9', U'\u07FF', U'\u0800', U'\u20AC', U'\uFFFD', U'\U00010000',
                             U'\U0001F600', U'\U0010FFFF'}) {
        const std::string full = encode(c);
        for (std::size_t k = 1; k < full.size(); ++k) {
            SCOPED_TRACE(testing::Message()
                         << std::hex << static_cast<std::uint32_t>(c) << " cut at " << k);
            const std::string prefix = "xy" + full.substr(0, k);
            expect_result(prefix, ErrorKind::too_short, 2, k);
            expect_result(prefix + "A", ErrorKind::too_short, 2, k);
            expect_result(prefix + full, ErrorKind::too_short, 2, k);
        }
    }
}

// Every lead byte with every second byte, completed by continuation bytes, against the
// arithmetic rule: valid exactly when the decoded value lies in the range of its length.
TEST(Utf8Validate, EveryLeadAndSecondByte) {
    for (unsigned lead = 0x80; lead <= 0xFF; ++lead) {
        for (unsigned second = 0; second <= 0xFF; ++second) {
            std::string bytes{static_cast<char>(lead), static_cast<char>(second), '\x80', '\x80'};
            const Result result = validate(bytes);
            const unsigned length = lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : 2;
            const bool lead_ok = (lead & 0xC0) == 0xC0 && lead < 0xF8;
            const bool second_ok = (second & 0xC0) == 0x80;
            std::uint32_t value = (lead & (0x7FU >> length)) << (6 * (length - 1));
            value |= (second & 0x3FU) << (6 * (length - 2));
            const std::uint32_t minimum = length == 2 ? 0x80 : length == 3 ? 0x800 : 0x10000;
            const bool valid = lead_ok && second_ok && value >= minimum && value <= 0x10FFFF &&
                               (value < 0xD800 || value > 0xDFFF);
            SCOPED_TRACE(testing::Message() << std::hex << lead << ' ' << second);
            EXPECT_EQ(result.position, valid ? length : 0U);
            if (valid) {
                // A valid two- or three-byte character leaves continuation bytes behind.
                EXPECT_EQ(result.kind, length == 4 ? ErrorKind::none : ErrorKind::header_bits);
            } else {
                EXPECT_NE(result.kind, ErrorKind::none);
                EXPECT_EQ(result.length, 1U);
            }
        }
    }
}

// Errors at every offset of a long ASCII run, across the 16-byte blocks of the fast path.
TEST(Utf8Validate, ErrorsAcrossAsciiBlocks) {
    const std::string ascii(64, '7');
    for (std::size_t offset = 0; offset <= 40; ++offset) {
        SCOPED_TRACE(offset);
        std::string bytes = ascii;
        bytes[offset] = '\x80';
        expect_result(bytes, ErrorKind::header_bits, offset, 1);
        // A valid character in place of two ASCII bytes keeps the rest on the fast path.
        bytes = ascii;
        bytes.replace(offset, 2, "\xC3\xA9");
        bytes[offset + 20] = '\xFF';
        expect_result(bytes, ErrorKind::header_bits, offset + 20, 1);
        // A four-byte character that starts anywhere in a block, also across its end.
        bytes = ascii;
        bytes.replace(offset, 4, "\xF0\x9F\x98\x80");
        expect_result(bytes, ErrorKind::none, bytes.size(), 0);
        bytes[offset + 3] = ' ';
        expect_result(bytes, ErrorKind::too_short, offset, 3);
        // A truncated character at the very end of an input of this length.
        expect_result(ascii.substr(0, offset) + "\xE2\x82", ErrorKind::too_short, offset, 2);
    }
}

// Inputs of every length around the block size, with an error at every offset: the rest
// after the last whole block is checked as an overlapping block when it is ASCII.
TEST(Utf8Validate, EveryLengthAndOffsetOfTheLastBlock) {
    for (std::size_t length = 0; length <= 50; ++length) {
        SCOPED_TRACE(length);
        const std::string ascii(length, 'a');
        expect_result(ascii, ErrorKind::none, length, 0);
        for (std::size_t offset = 0; offset < length; ++offset) {
            SCOPED_TRACE(offset);
            std::string bytes = ascii;
            bytes[offset] = '\xBF';
            expect_result(bytes, ErrorKind::header_bits, offset, 1);
            if (offset + 2 <= length) {
                bytes = ascii;
                bytes.replace(offset, 2, "\xC3\xA9");
                expect_result(bytes, ErrorKind::none, length, 0);
                bytes[offset + 1] = 'a';
                expect_result(bytes, ErrorKind::too_short, offset, 1);
            }
        }
    }
}

struct DecodeCase {
    std::string_view text;
    std::size_t offset;
    char32_t code;
    std::size_t length;
};

TEST(Utf8Decode, DecodesCharacterAtOffset) {
    const DecodeCase cases[] = {
        {"a", 0, U'a', 1},
        {"\x7F", 0, U'\x7F', 1},
        {"x\xC2\x80", 1, U'\u0080', 2},
        {"\xDF\xBF", 0, U'\u07FF', 2},
        {"\xE0\xA0\x80", 0, U'\u0800', 3},
        {"a\xE2\x82\xAC", 1, U'\u20AC', 3},
        {"\xEF\xBF\xBF", 0, U'\uFFFF', 3},
        {"\xF0\x90\x80\x80", 0, U'\U00010000', 4},
        {"\xF0\x9F\x98\x80", 0, U'\U0001F600', 4},
        {"\xF4\x8F\xBF\xBF", 0, U'\U0010FFFF', 4},
        // Bytes that are not valid read as one replacement character per maximal subpart.
        {"\xED\xA0\x80", 0, U'\uFFFD', 1},
        {"\xF0\x9F\x98", 0, U'\uFFFD', 3},
        {"\x80", 0, U'\uFFFD', 1},
        // Past the end there is no character.
        {"ab", 2, U'\0', 0},
    };
    for (const DecodeCase &c : cases) {
        SCOPED_TRACE(testing::PrintToString(std::string(c.text)));
        std::size_t length = 99;
        EXPECT_EQ(kelmor::utf8::decode_at(c.text, c.offset, length), c.code);
        EXPECT_EQ(length, c.length);
    }
}

TEST(Utf8Decode, CharBoundary) {
    const std::string_view text = "a\xC3\xA9\xF0\x9F\x98\x80";
    const bool expected[] = {true, true, false, true, false, false, false, true};
    for (std::size_t offset = 0; offset <= text.size(); ++offset) {
        EXPECT_EQ(kelmor::utf8::is_char_boundary(text, offset), expected[offset]) << offset;
    }
}

struct LossyCase {
    std::string_view bytes;
    std::string_view text;
};

// Expected texts are CPython's bytes.decode("utf-8", "replace"), encoded back to UTF-8.
TEST(Utf8Lossy, ReplacesMaximalSubparts) {
    const LossyCase cases[] = {
        {"", ""},
        {"abc", "abc"},
        {"a\xE2\x82\xAC"
         "b",
         "a\xE2\x82\xAC"
         "b"},
        {"\xF0\x9F\x98\x80", "\xF0\x9F\x98\x80"},
        {"\xF4\x8F\xBF\xBF", "\xF4\x8F\xBF\xBF"},
        {"\xED\x9F\xBF", "\xED\x9F\xBF"},
        {"\x80", "\xEF\xBF\xBD"},
        {"\x80\x80\x80", "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD"},
        {"\xC0\x80", "\xEF\xBF\xBD\xEF\xBF\xBD"},
        {"\xC1\xBF", "\xEF\xBF\xBD\xEF\xBF\xBD"},
        {"\xC2", "\xEF\xBF\xBD"},
        {"\xC2"
         "A",
         "\xEF\xBF\xBD"
         "A"},
        {"\xE0\x80", "\xEF\xBF\xBD\xEF\xBF\xBD"},
        {"\xE0\x80\x80", "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD"},
        {"\xE0\xA0", "\xEF\xBF\xBD"},
        {"\xE2\x82"
         "A",
         "\xEF\xBF\xBD"
         "A"},
        {"\xED\xA0\x80", "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD"},
        {"\xF0\x9F\x98", "\xEF\xBF\xBD"},
        {"\xF0\x9F\x98"
         "A",
         "\xEF\xBF\xBD"
         "A"},
        {"\xF0\x8F\xBF\xBF", "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD"},
        {"\xF4\x90\x80\x80", "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD"},
        {"\xF5\x80", "\xEF\xBF\xBD\xEF\xBF\xBD"},
        {"\xFF", "\xEF\xBF\xBD"},
        {"\xF8\x88\x80\x80\x80", "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD"},
        {"\xC3\xA9\xFE\xC3", "\xC3\xA9\xEF\xBF\xBD\xEF\xBF\xBD"},
    };
    for (const LossyCase &c : cases) {
        SCOPED_TRACE(testing::PrintToString(std::string(c.bytes)));
        EXPECT_EQ(kelmor::utf8::to_lossy(c.bytes), c.text);
    }
}

struct AppendCase {
    char32_t c;
    std::string_view bytes;
};

// Every encoded length at both of its ends, and the surrogates, which get the three-byte form
// that Python's "surrogatepass" writes: invalid, and read back as three replacement characters.
TEST(Utf8Append, EncodedLengthsAndSurrogates) {
    const AppendCase cases[] = {
        {U'\0', std::string_view("\0", 1)},
        {0x7F, "\x7F"},
        {0x80, "\xC2\x80"},
        {0x7FF, "\xDF\xBF"},
        {0x800, "\xE0\xA0\x80"},
        {0xD7FF, "\xED\x9F\xBF"},
        {0xD800, "\xED\xA0\x80"},
        {0xDFFF, "\xED\xBF\xBF"},
        {0xE000, "\xEE\x80\x80"},
        {0xFFFF, "\xEF\xBF\xBF"},
        {0x10000, "\xF0\x90\x80\x80"},
        {0x10FFFF, "\xF4\x8F\xBF\xBF"},
    };
    for (const AppendCase &c : cases) {
        SCOPED_TRACE(static_cast<std::uint32_t>(c.c));
        std::string out = "a";
        kelmor::utf8::append(out, c.c);
        EXPECT_EQ(out, "a" + std::string(c.bytes));
        if (c.c >= 0xD800 && c.c <= 0xDFFF) {
            EXPECT_EQ(validate(c.bytes).kind, ErrorKind::surrogate);
            EXPECT_EQ(kelmor::utf8::to_lossy(c.bytes), "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD");
        } else {
            std::size_t length = 0;
            EXPECT_EQ(kelmor::utf8::decode_at(c.bytes, 0, length), c.c);
            EXPECT_EQ(length, c.bytes.size());
        }
    }
}

} // namespace
