// test_failure.cpp: the failure report on standard error, the hint, backtraces, aborts.
//
// Every report is produced in a forked child: the hint flag and the backtrace setting are
// process-wide, so the parent process must never raise a failure itself.
#include <cstdint>
#include <fcntl.h>
#include <optional>
#include <regex>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <thread>

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
    std::string expected =
        "panicked at tests/cpp/test_failure.cpp:" + std::to_string(__LINE__ - 5) + ":";
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

// Takes every block that the heap can give under an address-space limit a little above the
// process's size, so that every allocation after it fails: the state in which the first
// failure of a process may well come. All is given back at the end of the scope.
class ExhaustedHeap {
public:
    ExhaustedHeap() {
        ::getrlimit(RLIMIT_AS, &m_saved);
        rlimit tight = m_saved;
        tight.rlim_cur = address_space() + (8u << 20);
        // Without the limit the loop below would take all the machine's memory.
        if (tight.rlim_cur > m_saved.rlim_max || ::setrlimit(RLIMIT_AS, &tight) != 0) std::_Exit(6);
        // An emulator may accept the limit and keep it to itself (qemu's user mode does): then
        // a mapping far beyond it succeeds, and the loop would take all the machine's memory.
        constexpr std::size_t beyond = std::size_t{256} << 20;
        if (void *map = ::mmap(nullptr, beyond, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
            map != MAP_FAILED) {
            ::munmap(map, beyond);
            std::_Exit(7);
        }
        // Big blocks first, then ever smaller ones, down to the smallest the heap hands out.
        for (std::size_t size = std::size_t{1} << 20; size >= sizeof(void *); size /= 2) {
            while (void *block = std::malloc(size)) {
                *static_cast<void **>(block) = m_blocks;
                m_blocks = block;
            }
        }
    }
    ~ExhaustedHeap() {
        while (m_blocks != nullptr) {
            void *next = *static_cast<void **>(m_blocks);
            std::free(m_blocks);
            m_blocks = next;
        }
        ::setrlimit(RLIMIT_AS, &m_saved);
    }
    ExhaustedHeap(const ExhaustedHeap &) = delete;
    ExhaustedHeap &operator=(const ExhaustedHeap &) = delete;

    // Called through a volatile pointer: the compiler may otherwise assume that a malloc whose
    // block is freed at once succeeds.
    static bool exhausted() {
        static void *(*volatile allocate)(std::size_t) = &std::malloc;
        void *block = allocate(1);
        std::free(block);
        return block == nullptr;
    }

private:
    // The virtual size of the process, read without allocating.
    static rlim_t address_space() {
        char text[64] = {};
        int fd = ::open("/proc/self/statm", O_RDONLY);
        if (fd < 0 || ::read(fd, text, sizeof(text) - 1) <= 0) std::_Exit(6);
        ::close(fd);
        return static_cast<rlim_t>(std::strtoull(text, nullptr, 10)) *
               static_cast<rlim_t>(::sysconf(_SC_PAGESIZE));
    }

    rlimit m_saved{};
    void *m_blocks = nullptr;
};

// A failure raised while another unwinds ends the process with both reports, even when no
// memory is left for anything.
TEST(FailureReportDeathTest, FailureDuringUnwindingAborts) {
    for (bool exhausted : {false, true}) {
        SCOPED_TRACE(exhausted ? "heap exhausted" : "heap available");
        EXPECT_DEATH(
            {
                std::optional<ExhaustedHeap> heap;
                if (exhausted) heap.emplace();
                try {
                    PanicTrap trap("uncaught panic at ffi boundary");
                    raise_failure("the first failure");
                } catch (const Failure &) {
                }
            },
            "the first failure\n(.|\n)*panicked at (.|\n)*uncaught panic at ffi boundary\n");
    }
}

struct NoMemoryCase {
    const char *name;
    const char *backtrace; // the setting, or null for unset
    bool new_thread;       // raise in a thread started for it, instead of the main thread
    bool owned;            // a message built at run time, instead of a static one
};

void PrintTo(const NoMemoryCase &c, std::ostream *out) {
    *out << c.name;
}

class FailureWithoutMemory : public testing::TestWithParam<NoMemoryCase> {};

// The first failure of a process (or of a thread) may come when memory has run out, which is
// often what caused it: the report is written in full, backtrace included, and the failure is
// thrown and caught as always. Nothing that raising a failure uses may be created on first use.
TEST_P(FailureWithoutMemory, FirstFailureIsReportedAndCaught) {
    const NoMemoryCase c = GetParam();
    const std::string owned_text = "a message built at run time, too long for a short string";
    const std::string_view expected = c.owned ? std::string_view(owned_text) : "a static message";
    int status = -1;
    std::string out = child_stderr(
        [&] {
            std::string owned = owned_text;
            auto fail = [&] {
                ExhaustedHeap heap;
                if (!ExhaustedHeap::exhausted()) std::_Exit(5);
                try {
                    if (c.owned) raise_failure(std::move(owned));
                    else raise_failure("a static message");
                } catch (const Failure &failure) {
                    if (failure.message() != expected) std::_Exit(3);
                    return;
                }
            };
            if (c.new_thread) {
                std::thread thread(fail);
                thread.join();
            } else {
                fail();
            }
        },
        "KELMOR_BACKTRACE", c.backtrace, &status);
    ASSERT_TRUE(WIFEXITED(status)) << "killed by signal " << WTERMSIG(status) << "\n" << out;
    ASSERT_EQ(WEXITSTATUS(status), 0) << out;
    std::string head = "^\nthread '<unnamed>' \\([0-9]+\\) panicked at "
                       "tests/cpp/test_failure\\.cpp:[0-9]+:[0-9]+:\n" +
                       std::string(expected) + "\n";
    if (c.backtrace == nullptr) {
        EXPECT_TRUE(std::regex_match(out, std::regex(head + "note: run with `KELMOR_BACKTRACE=1`"
                                                            " environment variable to display a "
                                                            "backtrace\n")))
            << out;
    } else {
        // At least the raising function and its caller, then the rest of the form chosen.
        EXPECT_TRUE(std::regex_search(
            out, std::regex(head + "stack backtrace:\n  0: [^\n]+\n  1: [^\n]+\n")))
            << out;
    }
}

INSTANTIATE_TEST_SUITE_P(FirstFailure, FailureWithoutMemory,
                         testing::Values(NoMemoryCase{"MainThread", nullptr, false, false},
                                         NoMemoryCase{"NewThread", nullptr, true, false},
                                         NoMemoryCase{"OwnedMessage", nullptr, false, true},
                                         NoMemoryCase{"NewThreadOwnedMessage", nullptr, true, true},
                                         NoMemoryCase{"ShortBacktrace", "1", false, false},
                                         NoMemoryCase{"ShortBacktraceNewThread", "1", true, false},
                                         NoMemoryCase{"FullBacktrace", "full", false, false},
                                         NoMemoryCase{"FullBacktraceNewThread", "full", true,
                                                      true}),
                         [](const auto &p) { return std::string(p.param.name); });

TEST(FailureReport, TrapIsSilentWithoutUnwinding) {
    std::string out = child_stderr([] { PanicTrap trap("uncaught panic at ffi boundary"); });
    EXPECT_EQ(out, "");
}

} // namespace
} // namespace kelmor
