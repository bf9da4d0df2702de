// test_reader.cpp: plot files read into columns, and every failure message of the reader.
#include <algorithm>
#include <bit>
#include <cmath>
#include <functional>
#include <random>
#include <sys/stat.h>
#include <thread>
#include <utility>
#include <vector>

#include "decode.hpp"
#include "reader.hpp"
#include "test_support.hpp"

namespace kelmor {
namespace {

using test::failure_message;
using test::TempFile;

Columns read_text(std::string_view content, std::uint32_t width) {
    TempFile file(content);
    return read_plot_file(file.path(), width);
}

std::string failure_of(std::string_view content, std::uint32_t width) {
    TempFile file(content);
    return failure_message([&] { read_plot_file(file.path(), width); });
}

// A field of `width` bytes holding `text` right-aligned, as the producers write it.
std::string field(std::string_view text, std::size_t width = 12) {
    return std::string(width - text.size(), ' ') + std::string(text);
}

// A plot file with `count` parameters and `blocks` timesteps whose value of parameter p at
// step s is p + s / 4 (exact in binary32), written with `line_end`.
std::string plot_file(std::uint32_t count, std::uint32_t blocks, std::size_t width = 12,
                      std::string_view line_end = "\n") {
    std::string text = "Number of parameters: " + std::to_string(count) + std::string(line_end);
    for (std::uint32_t p = 0; p < count; ++p)
        text += "  parameter " + std::to_string(p) + std::string(line_end);
    for (std::uint32_t s = 0; s < blocks; ++s) {
        text += " TIME = " + std::to_string(s) + ".0 s" + std::string(line_end);
        for (std::uint32_t p = 0; p < count; ++p) {
            char value[32];
            std::snprintf(value, sizeof(value), "%.5E", p + s / 4.0);
            text += field(value, width);
            if (p % 10 == 9 || p + 1 == count) text += line_end;
        }
    }
    return text;
}

void expect_columns(const Columns &columns, std::uint32_t count, std::uint32_t blocks) {
    ASSERT_EQ(columns.size(), count);
    for (std::uint32_t p = 0; p < count; ++p) {
        ASSERT_EQ(columns[p].size(), blocks);
        for (std::uint32_t s = 0; s < blocks; ++s)
            EXPECT_EQ(columns[p][s], static_cast<float>(p + s / 4.0)) << p << "," << s;
    }
}

TEST(Reader, ReadsBlocksOfBothWidths) {
    for (std::size_t width : {12u, 15u}) {
        for (std::uint32_t count : {1u, 9u, 10u, 11u, 12u, 20u, 23u}) {
            SCOPED_TRACE(std::to_string(width) + "/" + std::to_string(count));
            expect_columns(read_text(plot_file(count, 5, width), static_cast<std::uint32_t>(width)),
                           count, 5);
        }
    }
}

TEST(Reader, CrLfReadsLikeLf) {
    expect_columns(read_text(plot_file(13, 4, 12, "\r\n"), 12), 13, 4);
}

TEST(Reader, ParametersWithoutBlocksGiveEmptyColumns) {
    expect_columns(read_text(plot_file(3, 0), 12), 3, 0);
}

TEST(Reader, NoParametersReadsTheRestAndGivesNoColumns) {
    for (const char *first : {"", "   \t", "\xC2\xA0"}) {
        EXPECT_TRUE(read_text(std::string(first) + "\nanything\n\nmore text", 12).empty());
    }
    EXPECT_EQ(failure_of("\nok\n\xFF\n", 12),
              "Failed to read line!: Error { kind: InvalidData, message: \"stream did not "
              "contain valid UTF-8\" }");
}

TEST(Reader, CountTokenForms) {
    for (const char *first : {"Number of parameters: 3", "3", "+3", "003", "x\t3  ",
                              "n\xE3\x80\x80"
                              "3"}) {
        SCOPED_TRACE(first);
        std::string text = std::string(first) + "\na\nb\nc\n";
        EXPECT_EQ(read_text(text, 12).size(), 3u);
    }
}

TEST(Reader, BytesAfterTheLastFieldAndHeaderTextAreIgnored) {
    std::string text = "2\na\nb\nTIME 0.5 \xC3\xA9t\xC3\xA9\n" + field("1.5") + field("-2") +
                       " trailing text\xC2\xA0\n\n" + field("3") + field("4") + "\n";
    Columns columns = read_text(text, 12);
    ASSERT_EQ(columns.size(), 2u);
    EXPECT_EQ(columns[0], (Column{1.5f, 3.0f}));
    EXPECT_EQ(columns[1], (Column{-2.0f, 4.0f}));
}

TEST(Reader, DataLineLongerThanTheBuffer) {
    std::string text = "2\na\nb\nheader\n" + field("7", 5000) + field("8", 5000) + "\n";
    Columns columns = read_text(text, 5000);
    EXPECT_EQ(columns, (Columns{{7.0f}, {8.0f}}));
}

TEST(Reader, ZeroWidthFieldIsEmpty) {
    EXPECT_EQ(failure_of("1\na\nh\n1.0\n", 0),
              "Could not parse line: ParseFloatError { kind: Empty }");
}

struct FailureCase {
    const char *name;
    std::string content;
    std::uint32_t width;
    std::string message;
};

class Failures : public testing::TestWithParam<FailureCase> {};

TEST_P(Failures, HaveTheirExactMessage) {
    EXPECT_EQ(failure_of(GetParam().content, GetParam().width), GetParam().message);
}

// The rows reader fails at the same place with the same message, as a fault of the file,
// and writes nothing anywhere.
TEST_P(Failures, RowsFailQuietlyWithTheSameMessage) {
    TempFile file(GetParam().content);
    test::CaptureFd out(1);
    test::CaptureFd err(2);
    std::string message = "<no failure>";
    FailureKind kind = FailureKind::other;
    try {
        read_plot_rows(file.path(), GetParam().width);
    } catch (const Failure &failure) {
        message = failure.message();
        kind = failure.kind();
    }
    const std::string written = out.text() + err.text();
    out.restore();
    err.restore();
    EXPECT_EQ(message, GetParam().message);
    EXPECT_EQ(kind, FailureKind::file);
    EXPECT_EQ(written, "");
}

const std::string long_line = std::string(254, 'a') + "\xC3\xA9" + std::string(10, 'b');

INSTANTIATE_TEST_SUITE_P(
    Table, Failures,
    testing::Values(
        FailureCase{"empty_file", "", 12, "Failed ot read line!"},
        FailureCase{"invalid_utf8_first_line",
                    "\xC0\xAF"
                    "3\n",
                    12,
                    "Failed to read line!: Error { kind: InvalidData, message: \"stream did not "
                    "contain valid UTF-8\" }"},
        FailureCase{"file_ends_in_names", "3\na\nb\n", 12, "Failed to read line!"},
        FailureCase{"file_ends_after_header", "1\na\nheader\n", 12, "Error reading line"},
        FailureCase{"file_ends_in_block",
                    "11\na\nb\nc\nd\ne\nf\ng\nh\ni\nj\nk\nh\n" + std::string(120, '1') + "\n", 12,
                    "Error reading line"},
        FailureCase{"empty_line_after_last_block", "1\na\nh\n" + field("1") + "\n\n", 12,
                    "Error reading line"},
        FailureCase{"invalid_utf8_in_data", "1\na\nh\n  1.0\xFF\n", 12,
                    "Failed to read line!: Error { kind: InvalidData, message: \"stream did not "
                    "contain valid UTF-8\" }"},
        FailureCase{"field_not_a_number", "1\na\nh\n" + field("1.0D+02") + "\n", 12,
                    "Could not parse line: ParseFloatError { kind: Invalid }"},
        FailureCase{"field_of_blanks", "1\na\nh\n" + std::string(12, ' ') + "\n", 12,
                    "Could not parse line: ParseFloatError { kind: Empty }"},
        FailureCase{"range_out_of_bounds", "2\na\nb\nh\n12345678\n", 5,
                    "byte index 10 is out of bounds of `12345678`"},
        FailureCase{"range_first_field_out_of_bounds", "1\na\nh\n1.5\n", 12,
                    "byte index 12 is out of bounds of `1.5`"},
        FailureCase{"range_end_inside_printable", "1\na\nh\n1234\xC3\xA9\n", 5,
                    "byte index 5 is not a char boundary; it is inside '\xC3\xA9' (bytes 4..6) of "
                    "`1234\xC3\xA9`"},
        FailureCase{"range_end_inside_escaped",
                    "2\na\nb\nh\n   1\xC2\xA0"
                    "2  \n",
                    5,
                    "byte index 5 is not a char boundary; it is inside '\\u{a0}' (bytes 4..6) of "
                    "`   1\xC2\xA0"
                    "2  `"},
        FailureCase{"range_long_line_is_cut", "1\na\nh\n" + long_line + "\n", 300,
                    "byte index 300 is out of bounds of `" + std::string(254, 'a') +
                        "\xC3\xA9`[...]"},
        // A data line is checked as a whole first; when some field does not fit, the fields
        // before it are still decoded first, so their decode error wins.
        FailureCase{"invalid_field_before_range_failure",
                    "3\na\nb\nc\nh\n" + field("1.0") + field("x") + "   1\n", 12,
                    "Could not parse line: ParseFloatError { kind: Invalid }"},
        FailureCase{"range_failure_after_good_fields",
                    "3\na\nb\nc\nh\n" + field("1.0") + field("2.0") + "   1\n", 12,
                    "byte index 36 is out of bounds of `" + field("1.0") + field("2.0") + "   1`"},
        FailureCase{"split_char_at_a_later_field", "3\na\nb\nc\nh\n  1.  2\xC3\xA9  \n", 4,
                    "byte index 8 is not a char boundary; it is inside '\xC3\xA9' (bytes 7..9) of "
                    "`  1.  2\xC3\xA9  `"},
        FailureCase{"invalid_field_before_split_char", "3\na\nb\nc\nh\n  x.  2\xC3\xA9  \n", 4,
                    "Could not parse line: ParseFloatError { kind: Invalid }"},
        FailureCase{"range_failure_in_a_later_block", plot_file(3, 4) + "h\n" + field("1") + "\n",
                    12, "byte index 24 is out of bounds of `" + field("1") + "`"},
        FailureCase{"range_cut_before_split_char",
                    "1\na\nh\n" + std::string(255, 'a') + "\xC3\xA9" + "\n", 300,
                    "byte index 300 is out of bounds of `" + std::string(255, 'a') + "`[...]"}),
    [](const auto &p) { return std::string(p.param.name); });

// --- Lines in the writers' layout ---------------------------------------------------------

// A field as writers write it ("% .5E" in 12 bytes, "% .8E" in 15).
std::string layout(double value, std::uint32_t width) {
    char text[64];
    std::snprintf(text, sizeof text, "% .*E", static_cast<int>(width - 7), value);
    return text;
}

// The columns of a well-formed plot file, field by field with the exact decoder.
Columns exact_columns(const std::string &content, std::uint32_t width) {
    std::vector<std::string> lines;
    for (std::size_t at = 0; at < content.size();) {
        std::size_t feed = content.find('\n', at);
        if (feed == std::string::npos) feed = content.size();
        std::string line = content.substr(at, feed - at);
        if (feed < content.size() && !line.empty() && line.back() == '\r') line.pop_back();
        lines.push_back(line);
        at = feed + 1;
    }
    const auto count =
        static_cast<std::uint32_t>(std::stoul(lines[0].substr(lines[0].rfind(' ') + 1)));
    Columns columns(count);
    for (std::size_t i = 1 + count; i < lines.size();) {
        ++i; // the block header
        for (std::uint32_t p = 0; p < count; ++p) {
            const std::string &line = lines[i + p / 10];
            const DecodeResult r = detail::decode_field_exact(line.substr((p % 10) * width, width));
            EXPECT_EQ(r.error, DecodeError::none);
            columns[p].push_back(r.value);
        }
        i += (count + 9) / 10;
    }
    return columns;
}

void expect_same_bits(const Columns &got, const Columns &want) {
    ASSERT_EQ(got.size(), want.size());
    for (std::size_t p = 0; p < got.size(); ++p) {
        ASSERT_EQ(got[p].size(), want[p].size()) << "column " << p;
        for (std::size_t s = 0; s < got[p].size(); ++s)
            ASSERT_EQ(std::bit_cast<std::uint32_t>(got[p][s]),
                      std::bit_cast<std::uint32_t>(want[p][s]))
                << "column " << p << ", block " << s;
    }
}

// A plot file whose data lines are mostly in the layout; line k of the file takes one of the
// shapes that the direct way must leave to the long one, or that it must take with care: a
// CR LF end, bytes after the fields, a field in another format, values that one
// multiplication cannot decide, in either place of a pair. Header lines of varying length move
// the lines across the line source's buffer edges.
std::string mixed_layout_file(std::uint32_t count, std::uint32_t blocks, std::uint32_t width) {
    std::mt19937_64 random(count * 100 + width);
    std::uniform_real_distribution<double> exponent(-12.0, 12.0);
    std::string text = "Parameters: " + std::to_string(count) + "\n";
    for (std::uint32_t p = 0; p < count; ++p) text += "name " + std::to_string(p) + "\n";
    std::uint32_t line_number = 0;
    for (std::uint32_t s = 0; s < blocks; ++s) {
        text += " TIME = " + std::string(s % 37, ' ') + std::to_string(s) + "\n";
        std::string line;
        for (std::uint32_t p = 0; p < count; ++p) {
            const std::uint32_t shape = (line_number * 7 + p) % 23;
            double value = std::pow(10.0, exponent(random)) * ((p + s) % 3 == 0 ? -1.0 : 1.0);
            if (shape == 3) value = 2.86344e9;  // on a midpoint, exactly
            if (shape == 5) value = 1.4013e-45; // no power of ten for it
            std::string field = layout(value, width);
            if (shape == 7)
                field = (width == 12 ? "  " : "     ") +
                        layout(value, 11).substr(1, 10); // other format
            if (shape == 9) field[0] = field[0] == ' ' ? '+' : '-';
            if (shape == 11) field[width - 4] = 'e';
            line += field;
            if (p % 10 == 9 || p + 1 == count) {
                const std::uint32_t end = line_number++ % 11;
                text += line + (end == 1 ? "\r\n" : end == 2 ? "  tail\n" : "\n");
                line.clear();
            }
        }
    }
    return text;
}

TEST(LayoutLines, AgreeWithTheExactDecoder) {
    for (const std::uint32_t width : {12u, 15u}) {
        for (const std::uint32_t count : {1u, 7u, 10u, 13u, 20u, 23u, 101u}) {
            SCOPED_TRACE("width " + std::to_string(width) + ", " + std::to_string(count) +
                         " parameters");
            const std::string text = mixed_layout_file(count, 2000 / count + 30, width);
            expect_same_bits(read_text(text, width), exact_columns(text, width));
            if (testing::Test::HasFailure()) return;
        }
    }
}

// Runs of blocks go to the columns whole: few parameters with many blocks, and many with few.
TEST(LayoutLines, ColumnsOfEveryRun) {
    for (const auto &[count, blocks] :
         {std::pair{3u, 70000u}, std::pair{9000u, 21u}, std::pair{1u, 1u}}) {
        SCOPED_TRACE(std::to_string(count) + " x " + std::to_string(blocks));
        std::string text = "Parameters: " + std::to_string(count) + "\n";
        for (std::uint32_t p = 0; p < count; ++p) text += "p\n";
        for (std::uint32_t s = 0; s < blocks; ++s) {
            text += "t\n";
            for (std::uint32_t p = 0; p < count; ++p) {
                text += layout(p + s / 4.0, 12);
                if (p % 10 == 9 || p + 1 == count) text += "\n";
            }
        }
        const Columns columns = read_text(text, 12);
        expect_same_bits(columns, exact_columns(text, 12));
        for (const Column &column : columns) EXPECT_LE(column.capacity(), blocks + blocks / 8 + 1);
    }
}

struct LineFailureCase {
    const char *name;
    std::string data; // the data lines of a block of 12 parameters, after its header
    std::string message;
};

class LayoutLineFailures : public testing::TestWithParam<LineFailureCase> {};

// A block of 12 parameters whose data lines (after valid blocks) hold one fault or two: the
// first in file order wins, as when every line is read, checked and cut the long way.
TEST_P(LayoutLineFailures, FirstFaultWins) {
    std::string text = "12\n";
    for (int p = 0; p < 12; ++p) text += "p\n";
    for (int s = 0; s < 3; ++s) {
        text += "t\n";
        for (int p = 0; p < 12; ++p)
            text += layout(p * 1.5 + s, 12) + (p == 9 || p == 11 ? "\n" : "");
    }
    text += "t\n" + GetParam().data;
    EXPECT_EQ(failure_of(text, 12), GetParam().message);
}

std::string fields(std::uint32_t count, std::uint32_t from = 0) {
    std::string text;
    for (std::uint32_t p = from; p < from + count; ++p) text += layout(p * 0.25, 12);
    return text;
}

const std::string invalid_utf8 = "Failed to read line!: Error { kind: InvalidData, message: "
                                 "\"stream did not contain valid UTF-8\" }";
const std::string invalid_field = "Could not parse line: ParseFloatError { kind: Invalid }";

INSTANTIATE_TEST_SUITE_P(
    Faults, LayoutLineFailures,
    testing::Values(
        LineFailureCase{"bad_field_in_a_layout_line",
                        fields(6) + " 1.00000D+00" + fields(3) + "\n" + fields(2) + "\n",
                        invalid_field},
        LineFailureCase{"bad_field_then_invalid_utf8",
                        fields(6) + " 1.00000D+00" + fields(3) + "\n\xFF\n", invalid_field},
        LineFailureCase{"invalid_utf8_in_a_field",
                        fields(6) +
                            " 1.000\xFF"
                            "0E+00" +
                            fields(3) + "\n" + fields(2) + "\n",
                        invalid_utf8},
        LineFailureCase{"invalid_utf8_after_the_fields",
                        fields(10) + "\xC0\xAF\n" + fields(2) + "\n", invalid_utf8},
        LineFailureCase{"valid_non_ascii_in_a_field",
                        fields(6) +
                            " 1.000\xC3\xA9"
                            "E+00" +
                            fields(3) + "\n" + fields(2) + "\n",
                        invalid_field},
        LineFailureCase{"blank_field",
                        fields(6) + std::string(12, ' ') + fields(3) + "\n" + fields(2) + "\n",
                        "Could not parse line: ParseFloatError { kind: Empty }"},
        LineFailureCase{"line_one_byte_short", fields(10) + "\n" + fields(2).substr(0, 23) + "\n",
                        "byte index 24 is out of bounds of `" + fields(2).substr(0, 23) + "`"},
        LineFailureCase{"line_one_byte_short_after_a_bad_field",
                        fields(10) + "\n" + " x.00000E+00" + fields(1).substr(0, 11) + "\n",
                        invalid_field},
        LineFailureCase{"cr_then_text_after_the_fields", fields(10) + "\rX\n" + fields(2) + "\n",
                        "<no failure>"},
        LineFailureCase{"cr_without_lf_ends_the_file", fields(10) + "\n" + fields(2) + "\r",
                        "<no failure>"},
        LineFailureCase{"file_ends_after_a_layout_line", fields(10) + "\n", "Error reading line"},
        LineFailureCase{"file_ends_without_lf", fields(10) + "\n" + fields(2), "<no failure>"},
        LineFailureCase{"empty_line_after_the_block", fields(10) + "\n" + fields(2) + "\n\n",
                        "Error reading line"}),
    [](const auto &p) { return std::string(p.param.name); });

// --- Room reserved in the columns ----------------------------------------------------------

// The properties of the room that the reader reserves when its columns are full, checked over
// many states rather than as the numbers of one estimate:
// - progress: room for at least one more block;
// - enough room: when the rest of the file holds k blocks of the average size read so far (and
//   no block is shorter than the bound it is given), room for all k, so that an honest file
//   needs no second reservation;
// - never more than the file can hold: beyond what the rest could hold in blocks of the least
//   size, no more than doubling (the only growth when the size is unknown);
// - cost: the values copied by all regrowths together stay a constant per value (checked by
//   the simulated reads below).
void expect_room_properties(const detail::BlockProgress &progress) {
    SCOPED_TRACE(testing::Message() << "blocks " << progress.blocks << ", block bytes "
                                    << progress.block_bytes << ", remaining " << progress.remaining
                                    << (progress.size_known ? "" : " (size unknown)")
                                    << ", least block bytes " << progress.min_block_bytes);
    const std::uint64_t capacity = detail::next_block_capacity(progress);
    const std::uint64_t blocks = progress.blocks;
    EXPECT_GT(capacity, blocks);
    const std::uint64_t can_hold =
        progress.size_known
            ? progress.remaining / std::max<std::uint64_t>(progress.min_block_bytes, 1)
            : 0;
    EXPECT_LE(capacity - blocks, std::max(can_hold, blocks));
    if (progress.size_known && progress.block_bytes >= progress.blocks &&
        progress.min_block_bytes * progress.blocks <= progress.block_bytes) {
        // The blocks the rest holds at the average size: remaining / (block_bytes / blocks).
        const auto at_average = static_cast<std::uint64_t>(
            static_cast<unsigned __int128>(progress.remaining) * blocks / progress.block_bytes);
        EXPECT_GE(capacity - blocks, at_average);
    }
}

TEST(ReaderRoom, PropertiesOfChosenStates) {
    constexpr std::uint64_t big = std::uint64_t{1} << 62;
    const detail::BlockProgress states[] = {
        {1, 100, 9900, true, 50},     // an honest file, after its first block
        {4, 400, 9900, true, 100},    // blocks of exactly the least size
        {1, 10, 10000, true, 100},    // a first block shorter than the bound: no estimate
        {80, 800000, 100, true, 10},  // first blocks far longer than the rest
        {1, 100, 0, true, 50},        // nothing left
        {800, 80000, 0, true, 50},    // the file grew past the size it had
        {1, 100, 1000, true, 0},      // no bound on a block's size
        {1, 1, big, true, 1},         // a huge rest of one-byte blocks
        {1, 1, big, true, big / 4},   // a huge rest of huge blocks
        {big, big, big, true, 1},     // more blocks read than any file has
        {1, 100, 0, false, 50},       // size unknown
        {48, 4800, 12345, false, 50}, // size unknown: the rest says nothing
        {big / 2, big, 0, false, 1},  // size unknown, near the end of the range
    };
    for (const detail::BlockProgress &state : states) expect_room_properties(state);
}

TEST(ReaderRoom, PropertiesOfRandomStates) {
    std::mt19937_64 random(20261208);
    for (int i = 0; i < 200000; ++i) {
        // Magnitudes from a few blocks to files of terabytes, bounds at or below the average.
        const std::uint64_t blocks = std::uint64_t{1} << (random() % 24);
        const std::uint64_t average = 1 + random() % (std::uint64_t{1} << (random() % 20));
        const std::uint64_t block_bytes = blocks * average + random() % blocks;
        const std::uint64_t remaining = random() % 4 == 0 ? 0 : random() % (block_bytes * 64);
        const std::uint64_t least = random() % 8 == 0 ? 0 : 1 + random() % average;
        expect_room_properties({blocks, block_bytes, remaining, random() % 8 != 0, least});
        if (HasFailure()) return;
    }
}

// Reads of `sizes.size()` blocks simulated block by block: before a block is stored in full
// columns, room is reserved from the blocks read so far and the bytes after them.
struct SimulatedRead {
    std::uint64_t reservations = 0;
    std::uint64_t copies = 0; // values moved by all reservations together
};

SimulatedRead simulate_read(const std::vector<std::uint64_t> &sizes, std::uint64_t least,
                            bool size_known, bool grows) {
    std::uint64_t total = 0;
    for (std::uint64_t size : sizes) total += size;
    SimulatedRead read;
    std::uint64_t consumed = 0;
    std::uint64_t capacity = 0;
    for (std::uint64_t blocks = 0; blocks < sizes.size(); ++blocks) {
        if (blocks != 0 && blocks >= capacity) {
            // A file that grows while it is read ends, for all its size says, where the reader is.
            const std::uint64_t size = grows ? consumed : total;
            const detail::BlockProgress progress{blocks, consumed, size - consumed, size_known,
                                                 least};
            expect_room_properties(progress);
            capacity = detail::next_block_capacity(progress);
            ++read.reservations;
            read.copies += blocks;
        }
        consumed += sizes[blocks];
    }
    return read;
}

struct ReadShape {
    const char *name;
    bool size_known;
    bool grows;
    // The size of block `index` of `count`, header line included, at least the least size.
    std::function<std::uint64_t(std::uint64_t index, std::uint64_t count)> size;
};

TEST(ReaderRoom, CostOfEveryReadShape) {
    constexpr std::uint64_t header = 14;
    constexpr std::uint64_t least = 160; // 13 parameters of width 12 on 2 lines, and a header
    std::mt19937_64 random(7);
    const ReadShape shapes[] = {
        {"uniform", true, false, [](std::uint64_t, std::uint64_t) { return least + header; }},
        {"first_block_100_times_longer", true, false,
         [](std::uint64_t i, std::uint64_t) { return i == 0 ? 100 * least : least + header; }},
        {"later_blocks_100_times_longer", true, false,
         [](std::uint64_t i, std::uint64_t) { return i == 0 ? least + header : 100 * least; }},
        {"growing_longer", true, false,
         [](std::uint64_t i, std::uint64_t) { return least + header + i; }},
        {"random", true, false,
         [&](std::uint64_t, std::uint64_t) { return least + header + random() % (9 * least); }},
        {"grows_while_read", true, true,
         [](std::uint64_t, std::uint64_t) { return least + header; }},
        {"size_unknown", false, false, [](std::uint64_t, std::uint64_t) { return least + header; }},
    };
    for (const ReadShape &shape : shapes) {
        for (std::uint64_t count : {2u, 3u, 9u, 100u, 1000u, 100000u}) {
            SCOPED_TRACE(testing::Message() << shape.name << ", " << count << " blocks");
            std::vector<std::uint64_t> sizes(count);
            for (std::uint64_t i = 0; i < count; ++i) sizes[i] = shape.size(i, count);
            const SimulatedRead read = simulate_read(sizes, least, shape.size_known, shape.grows);
            // Growth by a fixed fraction: the copies are a constant per value.
            EXPECT_LE(read.copies, 9 * count);
            // An honest file is sized once, from its first block.
            if (std::string_view(shape.name) == "uniform") {
                EXPECT_EQ(read.reservations, 1u);
            }
            if (HasFailure()) return;
        }
    }
}

// Files whose first block is much longer or shorter than the others, or the only one, read
// exactly, and the room left in the columns stays small where the estimate is honest.
TEST(Reader, ColumnRoomForEveryBlockShape) {
    const std::uint32_t count = 13;
    const std::uint32_t blocks = 300;
    const std::string uniform = plot_file(count, blocks);
    {
        const Columns columns = read_text(uniform, 12);
        expect_columns(columns, count, blocks);
        for (const Column &column : columns) EXPECT_LE(column.capacity(), blocks * 12 / 10);
    }
    // The first block's header line is 100 times the size of a block.
    const std::string header_end = " TIME = 0.0 s\n";
    const auto first_header = uniform.find(header_end);
    ASSERT_NE(first_header, std::string::npos);
    std::string long_first = uniform;
    long_first.insert(first_header + 1, std::string(100 * 200, 'x'));
    expect_columns(read_text(long_first, 12), count, blocks);
    // Every header line but the first is 100 times longer than a block.
    std::string long_rest;
    for (std::size_t at = 0;;) {
        const auto next = uniform.find(" TIME = ", at);
        long_rest += uniform.substr(at, next == std::string::npos ? std::string::npos : next - at);
        if (next == std::string::npos) break;
        if (next != first_header) long_rest += std::string(100 * 200, 'y');
        at = next;
        long_rest += uniform.substr(at, 1);
        at += 1;
    }
    expect_columns(read_text(long_rest, 12), count, blocks);
    expect_columns(read_text(plot_file(count, 1), 12), count, 1);
    expect_columns(read_text(plot_file(count, 2), 12), count, 2);
}

// A FIFO has no size: the columns grow by doubling, with the same result.
TEST(Reader, FileWithoutSizeReadsTheSame) {
    char folder[] = "/tmp/kelmor-fifo-XXXXXX";
    ASSERT_NE(::mkdtemp(folder), nullptr);
    const std::string path = std::string(folder) + "/plot";
    ASSERT_EQ(::mkfifo(path.c_str(), 0600), 0);
    const std::string content = plot_file(11, 70);
    std::thread writer([&] {
        const int fd = ::open(path.c_str(), O_WRONLY);
        for (std::size_t done = 0; fd >= 0 && done < content.size();) {
            const ssize_t n = ::write(fd, content.data() + done, content.size() - done);
            if (n <= 0) break;
            done += static_cast<std::size_t>(n);
        }
        if (fd >= 0) ::close(fd);
    });
    const Columns columns = read_plot_file(path, 12);
    writer.join();
    ::unlink(path.c_str());
    ::rmdir(folder);
    expect_columns(columns, 11, 70);
}

TEST(Reader, OpenFailures) {
    EXPECT_EQ(failure_message([] { read_plot_file("/nonexistent/kelmor/plot.txt", 12); }),
              "Plot file not found!: Os { code: 2, kind: NotFound, message: \"No such file or "
              "directory\" }");
    using namespace std::string_view_literals;
    EXPECT_EQ(failure_message([] { read_plot_file("/tmp\0/x"sv, 12); }),
              "Plot file not found!: Error { kind: InvalidInput, message: \"file name contained "
              "an unexpected NUL byte\" }");
    EXPECT_EQ(failure_message([] { read_plot_file("/tmp", 12); }),
              "Failed to read line!: Os { code: 21, kind: IsADirectory, message: \"Is a "
              "directory\" }");
}

struct CountCase {
    const char *first_line;
    const char *token;
};

class BadCount : public testing::TestWithParam<CountCase> {};

TEST_P(BadCount, WritesOneLineToStdoutAndFails) {
    TempFile file(std::string(GetParam().first_line) + "\na\nb\nc\n");
    test::CaptureFd out(1);
    std::string message = failure_message([&] { read_plot_file(file.path(), 12); });
    std::string printed = out.text();
    out.restore();
    EXPECT_EQ(printed, "Error: '" + std::string(GetParam().token) +
                           "' is not a valid number of parameters!\n");
    EXPECT_EQ(message, "The first line should end with the number of parameters:\n'" +
                           std::string(GetParam().first_line) + "'");
}

INSTANTIATE_TEST_SUITE_P(
    Tokens, BadCount,
    testing::Values(CountCase{"3 parameters", "parameters"}, CountCase{"n = -3", "-3"},
                    CountCase{"3.0", "3.0"}, CountCase{"+", "+"}, CountCase{"-", "-"},
                    CountCase{"count 4294967296", "4294967296"},
                    CountCase{"count 99999999999999999999999", "99999999999999999999999"},
                    CountCase{"\xEF\xBB\xBF", "\xEF\xBB\xBF"}, CountCase{"x \xD9\xA3", "\xD9\xA3"}),
    [](const auto &p) { return "case" + std::to_string(p.index); });

TEST(Reader, LargestCountIsAccepted) {
    // 4294967295 parameters are accepted; this file then ends within its name lines.
    EXPECT_EQ(failure_of("4294967295\na\n", 12), "Failed to read line!");
}

TEST(Reader, ValuesAreCorrectlyRounded) {
    std::string text = "4\na\nb\nc\nd\nh\n" + field("0.1") + field("-0.0") + field("16777217") +
                       field("1e-46") + "\n";
    Columns columns = read_text(text, 12);
    EXPECT_EQ(std::bit_cast<std::uint32_t>(columns[0][0]), 0x3DCCCCCDu);
    EXPECT_EQ(std::bit_cast<std::uint32_t>(columns[1][0]), 0x80000000u);
    EXPECT_EQ(columns[2][0], 16777216.0f);
    EXPECT_EQ(std::bit_cast<std::uint32_t>(columns[3][0]), 0u);
}

} // namespace
} // namespace kelmor
