// test_line_source.cpp: line ends, buffer boundaries and UTF-8 checks of the line source.
#include <vector>

#include "line_source.hpp"
#include "test_support.hpp"

namespace kelmor {
namespace {

struct Lines {
    std::vector<std::string> lines;
    LineStatus last; // the status that ended the reading
};

Lines read_all(std::string_view content) {
    test::TempFile file(content);
    int error = 0;
    UniqueFd fd = UniqueFd::open_read_only(file.path().c_str(), error);
    EXPECT_TRUE(fd.is_open());
    LineSource source(fd);
    Lines result;
    std::string_view line;
    while ((result.last = source.next_line(line)) == LineStatus::line)
        result.lines.emplace_back(line);
    return result;
}

constexpr std::size_t B = LineSource::buffer_size;
constexpr std::size_t C = LineSource::carry_size;

struct LineCase {
    const char *name;
    std::string content;
    std::vector<std::string> lines;
};

class LineEnds : public testing::TestWithParam<LineCase> {};

TEST_P(LineEnds, SplitsAsExpected) {
    Lines got = read_all(GetParam().content);
    EXPECT_EQ(got.last, LineStatus::end);
    EXPECT_EQ(got.lines, GetParam().lines);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, LineEnds,
    testing::Values(
        LineCase{"empty_file", "", {}}, LineCase{"lf", "a\nb\n", {"a", "b"}},
        LineCase{"crlf", "a\r\nb\r\n", {"a", "b"}}, LineCase{"no_final_lf", "a\nb", {"a", "b"}},
        LineCase{"lone_cr_kept", "a\rb\n", {"a\rb"}},
        LineCase{"final_cr_without_lf_kept", "a\nb\r", {"a", "b\r"}},
        LineCase{"only_one_cr_removed", "a\r\r\n", {"a\r"}},
        LineCase{"empty_lines", "\n\r\n\n", {"", "", ""}},
        LineCase{"bom_kept", "\xEF\xBB\xBFx\n", {"\xEF\xBB\xBFx"}},
        LineCase{"line_of_buffer_size_minus_one",
                 std::string(B - 2, 'x') + "\ny\n",
                 {std::string(B - 2, 'x'), "y"}},
        LineCase{
            "line_fills_buffer", std::string(B - 1, 'x') + "\ny\n", {std::string(B - 1, 'x'), "y"}},
        LineCase{"feed_after_buffer", std::string(B, 'x') + "\ny\n", {std::string(B, 'x'), "y"}},
        LineCase{"line_one_over_buffer",
                 std::string(B + 1, 'x') + "\ny",
                 {std::string(B + 1, 'x'), "y"}},
        LineCase{"cr_last_in_buffer_lf_first_in_next",
                 std::string(B - 1, 'x') + "\r\ny\n",
                 {std::string(B - 1, 'x'), "y"}},
        LineCase{
            "long_line_without_lf", std::string(5 * B + 7, 'z'), {std::string(5 * B + 7, 'z')}},
        LineCase{"many_buffers",
                 std::string(3 * B + 5, 'a') + "\n" + std::string(B, 'b') + "\r\n",
                 {std::string(3 * B + 5, 'a'), std::string(B, 'b')}},
        LineCase{"multibyte_across_buffer_edge",
                 std::string(B - 1, 'x') + "\xC3\xA9\n",
                 {std::string(B - 1, 'x') + "\xC3\xA9"}},
        // A line whose first part, at the buffer's end, is carried in front of the next fill.
        LineCase{"carried_across_edge",
                 std::string(B - 100, 'x') + "\n" + std::string(250, 'y') + "\n",
                 {std::string(B - 100, 'x'), std::string(250, 'y')}},
        LineCase{"carried_crlf_split",
                 std::string(B - 100, 'x') + "\n" + std::string(98, 'y') + "\r\nz\n",
                 {std::string(B - 100, 'x'), std::string(98, 'y'), "z"}},
        LineCase{"carried_multibyte_split",
                 std::string(B - 10, 'x') + "\nabcdefgh\xC3\xA9t\n",
                 {std::string(B - 10, 'x'), "abcdefgh\xC3\xA9t"}},
        LineCase{"carried_last_line_without_lf",
                 std::string(B - 5, 'x') + "\nabcdefgh",
                 {std::string(B - 5, 'x'), "abcdefgh"}},
        LineCase{"first_part_of_carry_size",
                 std::string(B - C - 1, 'x') + "\n" + std::string(C + 7, 'y') + "\n",
                 {std::string(B - C - 1, 'x'), std::string(C + 7, 'y')}},
        LineCase{"first_part_over_carry_size",
                 std::string(B - C - 2, 'x') + "\n" + std::string(C + 7, 'y') + "\n",
                 {std::string(B - C - 2, 'x'), std::string(C + 7, 'y')}},
        LineCase{"carried_then_gathered",
                 std::string(B - 100, 'x') + "\n" + std::string(2 * B, 'y') + "\n",
                 {std::string(B - 100, 'x'), std::string(2 * B, 'y')}},
        // Non-ASCII bytes before and after a line feed, and control characters.
        LineCase{"non_ascii_after_feed", "ab\n\xC3\xA9\n", {"ab", "\xC3\xA9"}},
        LineCase{"non_ascii_before_feed", "a\xC3\xA9\nb\n", {"a\xC3\xA9", "b"}},
        LineCase{"nul_and_controls",
                 std::string("a\0b\x01\x7F\n", 6) + "c\n",
                 {std::string("a\0b\x01\x7F", 5), "c"}}),
    [](const auto &p) { return std::string(p.param.name); });

struct BadCase {
    const char *name;
    std::string content;
    std::size_t good_lines; // lines read before the bad one
};

class InvalidUtf8 : public testing::TestWithParam<BadCase> {};

TEST_P(InvalidUtf8, FailsTheLineThatHoldsIt) {
    Lines got = read_all(GetParam().content);
    EXPECT_EQ(got.last, LineStatus::invalid_utf8);
    EXPECT_EQ(got.lines.size(), GetParam().good_lines);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, InvalidUtf8,
    testing::Values(BadCase{"overlong", "ok\n\xC0\xAF\n", 1},
                    BadCase{"surrogate", "\xED\xA0\x80\n", 0},
                    BadCase{"above_max", "a\n\xF4\x90\x80\x80\n", 1},
                    BadCase{"truncated_at_end_of_file", "a\n\xE2\x82", 1},
                    BadCase{"truncated_before_lf", "\xE2\x82\n", 0},
                    BadCase{"lone_continuation", "a\x80\n", 0},
                    BadCase{"invalid_in_long_line", std::string(B + 100, 'x') + "\xFF\n", 0},
                    BadCase{"split_by_buffer_edge", std::string(B - 1, 'x') + "\xE2\n", 0},
                    BadCase{"invalid_in_carried_line",
                            std::string(B - 50, 'x') + "\n" + std::string(60, 'y') + "\xFF\n", 1},
                    BadCase{"invalid_after_ascii_lines", "a\nb\nc\xC0\xAF\n", 2}),
    [](const auto &p) { return std::string(p.param.name); });

TEST(LineSource, DirectoryReadFailsWithIsADirectory) {
    int error = 0;
    UniqueFd fd = UniqueFd::open_read_only("/tmp", error);
    ASSERT_TRUE(fd.is_open());
    LineSource source(fd);
    std::string_view line;
    EXPECT_EQ(source.next_line(line), LineStatus::os_error);
    EXPECT_EQ(source.os_error(), EISDIR);
}

TEST(LineSource, PipeDeliversShortReads) {
    // A pipe hands out what was written so far: lines arrive over many small reads.
    int fds[2];
    ASSERT_EQ(::pipe(fds), 0);
    pid_t pid = ::fork();
    if (pid == 0) {
        ::close(fds[0]);
        const char *pieces[] = {"ab", "c\r", "\nd", "", "e\n", "f"};
        for (const char *piece : pieces) {
            (void)!::write(fds[1], piece, std::strlen(piece));
            ::usleep(2000);
        }
        std::_Exit(0);
    }
    ::close(fds[1]);
    UniqueFd fd(fds[0]);
    LineSource source(fd);
    std::vector<std::string> lines;
    std::string_view line;
    while (source.next_line(line) == LineStatus::line) lines.emplace_back(line);
    ::waitpid(pid, nullptr, 0);
    EXPECT_EQ(lines, (std::vector<std::string>{"abc", "de", "f"}));
}

} // namespace
} // namespace kelmor

namespace kelmor {
namespace {

TEST(LineSource, LinesLongerThanTheLimitAreRefused) {
    const std::size_t limit = 3 * B + 10;
    for (std::size_t length : {limit - 1, limit, limit + 1, 10 * B}) {
        SCOPED_TRACE(length);
        test::TempFile file(std::string(length - 1, 'x') + "\nshort\n");
        int error = 0;
        UniqueFd fd = UniqueFd::open_read_only(file.path().c_str(), error);
        LineSource source(fd, limit);
        std::string_view line;
        if (length <= limit) {
            ASSERT_EQ(source.next_line(line), LineStatus::line);
            EXPECT_EQ(line.size(), length - 1);
        } else {
            EXPECT_EQ(source.next_line(line), LineStatus::too_long);
        }
    }
}

// A short ASCII line that the buffer holds is still refused when it is over the limit.
TEST(LineSource, LimitAppliesToShortLines) {
    test::TempFile file("123456789\n1234567890\n");
    int error = 0;
    UniqueFd fd = UniqueFd::open_read_only(file.path().c_str(), error);
    LineSource source(fd, 10);
    std::string_view line;
    ASSERT_EQ(source.next_line(line), LineStatus::line);
    EXPECT_EQ(line, "123456789");
    EXPECT_EQ(source.next_line(line), LineStatus::too_long);
}

// Lines that a caller takes from unread() itself count as read.
TEST(LineSource, SkippedLinesCountAsRead) {
    test::TempFile file("abc\ndef\r\nghi\n");
    int error = 0;
    UniqueFd fd = UniqueFd::open_read_only(file.path().c_str(), error);
    LineSource source(fd);
    std::string_view line;
    ASSERT_EQ(source.next_line(line), LineStatus::line);
    EXPECT_EQ(line, "abc");
    EXPECT_EQ(source.unread(), "def\r\nghi\n");
    source.skip(5);
    EXPECT_EQ(source.consumed(), 9u);
    ASSERT_EQ(source.next_line(line), LineStatus::line);
    EXPECT_EQ(line, "ghi");
    EXPECT_EQ(source.unread(), "");
    EXPECT_EQ(source.next_line(line), LineStatus::end);
    EXPECT_EQ(source.consumed(), 13u);
}

} // namespace
} // namespace kelmor
