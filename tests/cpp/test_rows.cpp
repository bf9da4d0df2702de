// test_rows.cpp: plot files read into rows: the columns' values in file order, the names and
// block headers, failures carried without a report, and memory that grows without copies.
#include <cstring>
#include <string>
#include <sys/mman.h>
#include <sys/resource.h>
#include <utility>
#include <vector>

#include "mapped_buffer.hpp"
#include "reader.hpp"
#include "test_support.hpp"

namespace kelmor {
namespace {

using test::TempFile;

// A plot file of `count` parameters and `blocks` blocks, value of parameter p at step s
// p - s / 8 (exact in binary32), written in `width`-byte fields, the names with a word
// in front, some header lines empty.
std::string plot_file(std::uint32_t count, std::uint32_t blocks, std::uint32_t width,
                      std::string_view line_end = "\n") {
    std::string text = "Number of parameters: " + std::to_string(count) + std::string(line_end);
    for (std::uint32_t p = 0; p < count; ++p)
        text += "  " + std::to_string(p + 1) + " NAME_" + std::to_string(p) + std::string(line_end);
    for (std::uint32_t s = 0; s < blocks; ++s) {
        text += (s % 3 == 2 ? std::string() : " TIME = " + std::to_string(s) + ".0 s") +
                std::string(line_end);
        for (std::uint32_t p = 0; p < count; ++p) {
            char value[40];
            std::snprintf(value, sizeof(value), "%*.*E", static_cast<int>(width),
                          width >= 15 ? 8 : 5, p - s / 8.0);
            text += value;
            if (p % 10 == 9 || p + 1 == count) text += line_end;
        }
    }
    return text;
}

struct Shape {
    std::uint32_t count;
    std::uint32_t blocks;
    std::uint32_t width;
    const char *line_end;
};

class RowShapes : public testing::TestWithParam<Shape> {};

// Every value equals the columns' value of the same parameter and block, bit for bit; names
// and headers are those of the file.
TEST_P(RowShapes, AreTheColumnsInFileOrder) {
    const Shape shape = GetParam();
    TempFile file(plot_file(shape.count, shape.blocks, shape.width, shape.line_end));
    const Columns columns = read_plot_file(file.path(), shape.width);
    const PlotRows rows = read_plot_rows(file.path(), shape.width);
    ASSERT_EQ(rows.names.size(), shape.count);
    for (std::uint32_t p = 0; p < shape.count; ++p)
        EXPECT_EQ(rows.names[p], "NAME_" + std::to_string(p));
    ASSERT_EQ(rows.blocks, shape.blocks);
    ASSERT_EQ(columns.size(), shape.count);
    for (std::uint64_t s = 0; s < rows.blocks; ++s) {
        EXPECT_EQ(rows.header(s), s % 3 == 2 ? "" : " TIME = " + std::to_string(s) + ".0 s");
        for (std::uint32_t p = 0; p < shape.count; ++p) {
            const float value = rows.row_values()[s * shape.count + p];
            ASSERT_EQ(std::memcmp(&value, &columns[p][s], sizeof value), 0) << s << "," << p;
        }
    }
    // No more room is kept than whole pages of the values need.
    EXPECT_LT(rows.values.capacity(),
              std::size_t{shape.blocks} * shape.count * sizeof(float) + 65536);
}

INSTANTIATE_TEST_SUITE_P(Files, RowShapes,
                         testing::Values(Shape{1, 1, 12, "\n"}, Shape{3, 0, 12, "\n"},
                                         Shape{9, 7, 12, "\n"}, Shape{10, 40, 15, "\n"},
                                         Shape{11, 5, 12, "\r\n"}, Shape{23, 300, 15, "\n"},
                                         Shape{23, 300, 13, "\n"}, Shape{2, 20000, 12, "\n"},
                                         Shape{1500, 30, 12, "\n"}, Shape{12, 9, 14, "\r\n"}),
                         [](const auto &p) {
                             return std::to_string(p.param.count) + "x" +
                                    std::to_string(p.param.blocks) + "_w" +
                                    std::to_string(p.param.width) +
                                    (p.param.line_end[0] == '\r' ? "_crlf" : "");
                         });

TEST(Rows, NoParametersGiveNoRowsAndNoHeaders) {
    TempFile file("\nanything\n  at all\n");
    const PlotRows rows = read_plot_rows(file.path(), 12);
    EXPECT_TRUE(rows.names.empty());
    EXPECT_EQ(rows.blocks, 0u);
    EXPECT_EQ(rows.values.data(), nullptr);
}

TEST(Rows, NameIsTheLastWordOfItsLine) {
    TempFile file("3\n  1 PRESSURE \t\n\n \xE2\x80\x83 2\xC2\xA0TEMP\xC3\xA9RATURE\n");
    const PlotRows rows = read_plot_rows(file.path(), 12);
    ASSERT_EQ(rows.names.size(), 3u);
    EXPECT_EQ(rows.names[0], "PRESSURE");
    EXPECT_EQ(rows.names[1], "");
    EXPECT_EQ(rows.names[2], "TEMP\xC3\xA9RATURE");
}

struct KindCase {
    const char *name;
    std::string path;
    FailureKind kind;
    int os_error;
    std::string message;
};

class RowOpenFailures : public testing::TestWithParam<KindCase> {};

TEST_P(RowOpenFailures, CarryTheirKindAndErrorNumber) {
    test::CaptureFd err(2);
    try {
        read_plot_rows(GetParam().path, 12);
        ADD_FAILURE() << "no failure";
    } catch (const Failure &failure) {
        EXPECT_EQ(failure.kind(), GetParam().kind);
        EXPECT_EQ(failure.os_error(), GetParam().os_error);
        EXPECT_EQ(failure.message(), GetParam().message);
    }
    EXPECT_EQ(err.text(), "");
}

INSTANTIATE_TEST_SUITE_P(
    Paths, RowOpenFailures,
    testing::Values(
        KindCase{"missing", "/nonexistent/kelmor/plot.txt", FailureKind::os, 2,
                 "Plot file not found!: Os { code: 2, kind: NotFound, message: \"No such file or "
                 "directory\" }"},
        KindCase{"directory", "/tmp", FailureKind::os, 21,
                 "Failed to read line!: Os { code: 21, kind: IsADirectory, message: \"Is a "
                 "directory\" }"},
        KindCase{"not_a_directory", "/dev/null/plot", FailureKind::os, 20,
                 "Plot file not found!: Os { code: 20, kind: NotADirectory, message: \"Not a "
                 "directory\" }"},
        KindCase{"nul", std::string("/tmp\0/x", 7), FailureKind::path, 0,
                 "Plot file not found!: Error { kind: InvalidInput, message: \"file name "
                 "contained an unexpected NUL byte\" }"}),
    [](const auto &p) { return std::string(p.param.name); });

// Out of address space, the rows fail as exhausted memory (in a child, whose limit does not
// reach the test runner).
TEST(Rows, ExhaustedMemoryIsAFailureOfItsKind) {
#ifndef __x86_64__
    // Elsewhere the tests may run under an emulator, which an address space limit ends.
    GTEST_SKIP() << "run on x86-64 only";
#endif
    TempFile file(plot_file(20, 4000, 12));
    int status = 0;
    test::child_stderr(
        [&] {
            const rlimit limit{64u << 20, 64u << 20};
            ::setrlimit(RLIMIT_AS, &limit);
            // Take all the address space that is left, then give a little back to the heap
            // alone, so that the reader's small allocations may succeed but the rows cannot.
            std::vector<std::pair<void *, std::size_t>> taken;
            for (std::size_t size = 32u << 20; size >= 4096; size /= 2)
                while (void *p = std::malloc(size)) taken.emplace_back(p, size);
            // And what the heap could not use, page by page: malloc gives up on a small block
            // when it cannot grow the heap by its padding (up to 1 MiB), which may leave room
            // for the rows, depending on where the process's mappings happen to lie.
            while (::mmap(nullptr, 4096, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0) !=
                   MAP_FAILED) {
            }
            // Only blocks that the heap keeps when they are freed: a big block is a mapping of
            // its own, whose address space free() gives back to the system (and the rows).
            for (int i = 0; i < 4 && !taken.empty() && taken.back().second < (64u << 10); ++i) {
                std::free(taken.back().first);
                taken.pop_back();
            }
            try {
                read_plot_rows(file.path(), 12);
            } catch (const Failure &failure) {
                std::_Exit(failure.kind() == FailureKind::memory &&
                                   failure.message() == "Out of memory while reading the plot file"
                               ? 0
                               : 2);
            }
            std::_Exit(3);
        },
        nullptr, nullptr, &status);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
}

TEST(MappedBuffer, GrowsKeepingItsContentsAndShrinks) {
    MappedBuffer buffer;
    EXPECT_EQ(buffer.data(), nullptr);
    buffer.reserve(10);
    ASSERT_NE(buffer.data(), nullptr);
    EXPECT_GE(buffer.capacity(), 10u);
    std::memset(buffer.data(), 0x5A, buffer.capacity());
    const std::size_t first = buffer.capacity();
    buffer.reserve(first * 300);
    EXPECT_GE(buffer.capacity(), first * 300);
    for (std::size_t i = 0; i < first; ++i)
        ASSERT_EQ(static_cast<unsigned char *>(buffer.data())[i], 0x5A);
    buffer.shrink_to(1);
    EXPECT_EQ(buffer.capacity(), first);
    EXPECT_EQ(static_cast<unsigned char *>(buffer.data())[0], 0x5A);
    MappedBuffer moved(std::move(buffer));
    EXPECT_EQ(buffer.data(), nullptr);
    EXPECT_EQ(moved.capacity(), first);
    moved.shrink_to(0);
    EXPECT_EQ(moved.data(), nullptr);
    EXPECT_EQ(moved.capacity(), 0u);
}

TEST(MappedBuffer, ImpossibleSizeIsBadAlloc) {
    MappedBuffer buffer;
    EXPECT_THROW(buffer.reserve(static_cast<std::size_t>(-1)), std::bad_alloc);
    EXPECT_THROW(buffer.reserve(std::size_t{1} << 62), std::bad_alloc);
    EXPECT_EQ(buffer.data(), nullptr);
}

} // namespace
} // namespace kelmor
