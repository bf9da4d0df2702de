// test_failure.cpp: the failure report on standard error, the hint, backtraces, aborts.
//
// Every report is produced in a forked child: the hint flag and the backtrace setting are
// process-wide, so the parent process must never raise a failure itself.
#include <regex>
#include <sys/syscall.h>

#include "test_support.hpp"

namespace kelmor {
namespace {

using test::child_stderr;

void raise_twice() {
    try {
        raise_failure("first message");
    } catch (const Failure &) {
    }
    try {
        raise_failure("second message");
    } catch (const Failure &) {
    }
}

const std::string hint =
    "note: run with `KELMOR_BACKTRACE=1` environment variable to display a backtrace\n";

TEST(FailureReport, FirstReportHasHeaderMessageAndHint) {
    std::string out = child_stderr(
        [] {
            try {
                raise_failure("Plot file not found!");
            } catch (const Failure &failure) {
                if (failure.message() != "Plot file not found!") std::_Exit(3);
            }
        },
        "KELMOR_BACKTRACE", nullptr);
    std::regex shape("\nthread '<unnamed>' \\(([0-9]+)\\) panicked at "
                     "tests/cpp/test_failure.cpp:[0-9]+:[0-9]+:\nPlot file not found!\n");
    std::smatch match;
    ASSERT_TRUE(std::regex_search(out, match, shape)) << out;
    EXPECT_EQ(match.position(0), 0);
    EXPECT_EQ(out.substr(static_cast<std::size_t>(match.length(0))), hint);
}

TEST(FailureReport, ThreadIdIsTheKernelThreadId) {
    std::string out = child_stderr([] {
        std::string expected = "(" + std::to_string(::syscall(SYS_gettid)) + ")";
        try {
            raise_failure(expected);
        } catch (const Failure &) {
        }
    });
    std::size_t id_start = out.find('(');
    std::size_t id_end = out.find(')');
    ASSERT_NE(id_end, std::string::npos) << out;
    std::string id = out.substr(id_start, id_end - id_start + 1);
    EXPECT_NE(out.find("\n" + id + "\n"), std::string::npos) << out;
}

TEST(FailureReport, LocationIsTheRaisingStatement) {
    std::string out = child_stderr([] {
        try {
            raise_failure("here"); // the report names this line and column
        } catch (const Failure &) {
        }
    });
    std::string expected = "panicked at tests/cpp/test_failure.cpp:" +
                           std::to_string(__LINE__ - 5) + ":";
    EXPECT_NE(out.find(expected), std::string::npos) << out;
}

TEST(FailureReport, OnlyTheFirstReportOfTheProcessHasTheHint) {
    for (const char *value : {static_cast<const char *>(nullptr), "0"}) {
        std::string out = child_stderr(raise_twice, "KELMOR_BACKTRACE", value);
        std::size_t second = out.find("second message");
        ASSERT_NE(second, std::string::npos) << out;
        EXPECT_EQ(out.find(hint), out.find("first message\n") + 14) << out;
        EXPECT_EQ(out.substr(second), "second message\n") << out;
    }
}

struct BacktraceCase {
    const char *value;
    bool full;
};

class Backtrace : public testing::TestWithParam<BacktraceCase> {};

TEST_P(Backtrace, ReplacesTheHintInEveryReport) {
    std::string out = child_stderr(raise_twice, "KELMOR_BACKTRACE", GetParam().value);
    EXPECT_EQ(out.find("note: run with"), std::string::npos) << out;
    std::size_t first = out.find("first message\nstack backtrace:\n  0: ");
    std::size_t second = out.find("second message\nstack backtrace:\n  0: ");
    EXPECT_NE(first, std::string::npos) << out;
    EXPECT_NE(second, std::string::npos) << out;
    // The full form shows absolute addresses and the frames of the report machinery.
    EXPECT_EQ(out.find(" (0x") != std::string::npos, GetParam().full) << out;
}

INSTANTIATE_TEST_SUITE_P(Values, Backtrace,
                         testing::Values(BacktraceCase{"1", false}, BacktraceCase{"short", false},
                                         BacktraceCase{"", false}, BacktraceCase{"full", true}),
                         [](const auto &p) {
                             return std::string(p.param.value[0] ? p.param.value : "empty");
                         });

TEST(FailureReport, LongMessagesAreWrittenWhole) {
    std::string message(5000, 'x');
    message += "end";
    std::string out = child_stderr([&] {
        try {
            raise_failure(message);
        } catch (const Failure &) {
        }
    });
    EXPECT_NE(out.find(":\n" + message + "\n" + hint), std::string::npos);
}

TEST(FailureReport, ResumeWritesNoReport) {
    std::string out = child_stderr([] {
        try {
            resume_failure("resumed");
        } catch (const Failure &failure) {
            if (failure.message() != "resumed") std::_Exit(3);
            return;
        }
        std::_Exit(4);
    });
    EXPECT_EQ(out, "");
}

TEST(FailureReportDeathTest, FailureDuringUnwindingAborts) {
    EXPECT_DEATH(
        {
            try {
                PanicTrap trap("uncaught panic at ffi boundary");
                raise_failure("the first failure");
            } catch (const Failure &) {
            }
        },
        "the first failure\n(.|\n)*panicked at (.|\n)*uncaught panic at ffi boundary\n");
}

TEST(FailureReport, TrapIsSilentWithoutUnwinding) {
    std::string out = child_stderr([] { PanicTrap trap("uncaught panic at ffi boundary"); });
    EXPECT_EQ(out, "");
}

} // namespace
} // namespace kelmor
