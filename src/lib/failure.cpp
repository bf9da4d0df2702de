// failure.cpp: raising failures, and the failure report written to standard error.
#include "failure.hpp"

#include <atomic>
#include <cerrno>
#include <charconv>
#include <cstdlib>
#include <cstring>
#include <cxxabi.h>
#include <dlfcn.h>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <sys/syscall.h>
#include <unistd.h>
#include <unwind.h>

#include "unique_fd.hpp"

namespace kelmor {
namespace {

enum class BacktraceStyle : int { unknown, off, short_form, full };

// Everything that raising a failure uses is constant-initialised, so that the first failure of
// a process or of a thread finds it ready: a failure is often the sign that memory has run out,
// and a lazily created object (or a thread-local) that cannot be allocated then would end the
// process instead of the call.
constinit std::atomic<BacktraceStyle> g_backtrace_style{BacktraceStyle::unknown};
constinit std::atomic<bool> g_hint_written{false};

// Serialises reports of concurrent threads. The union never destroys its member, so that a
// report written while the process exits still finds the lock.
union ReportLock {
    constexpr ReportLock() : mutex() {}
    ~ReportLock() {}
    std::mutex mutex;
};
constinit ReportLock g_report_lock;

// The kernel id of the thread that is writing a report, 0 when none is: set and cleared
// under the report lock. A thread only ever finds its own id here while it is itself inside a
// report, so a relaxed load without the lock answers "am I writing a report?".
// Not a thread_local: in a module loaded by dlopen, glibc allocates a thread's block of
// thread-locals lazily, at the thread's first access, which would come in its first failure,
// perhaps with no memory left (glibc then ends the process: "cannot allocate memory for
// thread-local data"). The initial-exec TLS model would avoid that only while glibc's small
// reserve of static TLS for modules loaded later lasts, and warming the variable up at import
// would not reach threads started afterwards.
constinit std::atomic<long> g_reporting_thread{0};

long current_thread_id() noexcept {
    return ::syscall(SYS_gettid);
}

// Unset or "0": off; "full": every frame; anything else: the frames of this module.
BacktraceStyle backtrace_style() {
    BacktraceStyle style = g_backtrace_style.load(std::memory_order_relaxed);
    if (style == BacktraceStyle::unknown) {
        const char *value = std::getenv(detail::backtrace_variable);
        if (value == nullptr || std::strcmp(value, "0") == 0) style = BacktraceStyle::off;
        else if (std::strcmp(value, "full") == 0) style = BacktraceStyle::full;
        else style = BacktraceStyle::short_form;
        // Concurrent first readers compute the same value, so a plain store is enough.
        g_backtrace_style.store(style, std::memory_order_relaxed);
    }
    return style;
}

void write_stderr(std::string_view text) noexcept {
    write_all(STDERR_FILENO, text);
}

// Collects text into a fixed buffer and writes it as one piece when it fits, so that a
// short report reaches the terminal in one write(); longer text is written piece by piece.
class ReportWriter {
public:
    ReportWriter &operator<<(std::string_view text) noexcept {
        if (m_spilled || text.size() > sizeof(m_buffer) - m_used) {
            flush();
            m_spilled = true;
            write_stderr(text);
        } else {
            std::memcpy(m_buffer + m_used, text.data(), text.size());
            m_used += text.size();
        }
        return *this;
    }
    ReportWriter &operator<<(unsigned long long number) noexcept {
        char digits[24];
        auto [end, ec] = std::to_chars(digits, digits + sizeof(digits), number);
        (void)ec;
        return *this << std::string_view(digits, static_cast<std::size_t>(end - digits));
    }
    void flush() noexcept {
        write_stderr(std::string_view(m_buffer, m_used));
        m_used = 0;
    }

private:
    char m_buffer[512];
    std::size_t m_used = 0;
    bool m_spilled = false;
};

struct Frames {
    static constexpr int capacity = 128;
    void *addresses[capacity];
    int count = 0;
};

// One line per frame: the symbol when the dynamic symbol table knows it (names of this
// module's internal functions are hidden; `addr2line -e OBJECT OFFSET` resolves them on an
// unstripped build), then the object and the offset inside it.
void write_frame(ReportWriter &out, unsigned index, void *address, bool full) {
    Dl_info info{};
    bool known = ::dladdr(address, &info) != 0;
    out << "  " << static_cast<unsigned long long>(index) << ": ";
    if (known && info.dli_sname != nullptr) {
        int status = -1;
        std::unique_ptr<char, decltype(&std::free)> demangled(
            abi::__cxa_demangle(info.dli_sname, nullptr, nullptr, &status), &std::free);
        out << (status == 0 && demangled ? demangled.get() : info.dli_sname);
    } else {
        out << "??";
    }
    out << " at ";
    char hex[20];
    if (known && info.dli_fname != nullptr) {
        std::string_view object = info.dli_fname;
        if (!full) {
            std::size_t slash = object.rfind('/');
            if (slash != std::string_view::npos) object.remove_prefix(slash + 1);
        }
        auto offset = reinterpret_cast<std::uintptr_t>(address) -
                      reinterpret_cast<std::uintptr_t>(info.dli_fbase);
        auto [end, ec] = std::to_chars(hex, hex + sizeof(hex), offset, 16);
        (void)ec;
        out << object << "+0x" << std::string_view(hex, static_cast<std::size_t>(end - hex));
    } else {
        out << "??";
    }
    if (full) {
        auto [end, ec] =
            std::to_chars(hex, hex + sizeof(hex), reinterpret_cast<std::uintptr_t>(address), 16);
        (void)ec;
        out << " (0x" << std::string_view(hex, static_cast<std::size_t>(end - hex)) << ")";
    }
    out << "\n";
}

// The frames of the failing thread, innermost first. The short form starts at the caller of
// raise_failure and stops after the first frame outside this module (usually the
// interpreter); the full form shows every frame with its absolute address.
void write_backtrace(ReportWriter &out, const Frames &frames, bool full) {
    Dl_info self{};
    ::dladdr(reinterpret_cast<void *>(&write_backtrace), &self);
    out << "stack backtrace:\n";
    int first = full ? 0 : 1; // frame 0 is raise_failure itself
    unsigned index = 0;
    bool omitted = false;
    for (int i = first; i < frames.count; ++i) {
        write_frame(out, index++, frames.addresses[i], full);
        if (!full) {
            Dl_info info{};
            if (::dladdr(frames.addresses[i], &info) != 0 && info.dli_fbase != self.dli_fbase) {
                omitted = i + 1 < frames.count;
                break;
            }
        }
    }
    if (omitted) {
        out << "note: frames outside kelmor are omitted; run with `" << detail::backtrace_variable
            << "=full` for a verbose backtrace.\n";
    }
}

void write_report(std::string_view message, const std::source_location &where, const Frames &frames,
                  long thread_id) {
    ReportWriter out;
    out << "\nthread '<unnamed>' (" << static_cast<unsigned long long>(thread_id)
        << ") panicked at " << where.file_name() << ":"
        << static_cast<unsigned long long>(where.line()) << ":"
        << static_cast<unsigned long long>(where.column()) << ":\n"
        << message << "\n";
    BacktraceStyle style = backtrace_style();
    if (style == BacktraceStyle::off) {
        if (!g_hint_written.exchange(true)) {
            out << "note: run with `" << detail::backtrace_variable
                << "=1` environment variable to display a backtrace\n";
        }
    } else {
        write_backtrace(out, frames, style == BacktraceStyle::full);
    }
    out.flush();
}

_Unwind_Reason_Code add_frame(_Unwind_Context *context, void *data) {
    auto &frames = *static_cast<Frames *>(data);
    if (frames.count == Frames::capacity) return _URC_END_OF_STACK;
    frames.addresses[frames.count++] = reinterpret_cast<void *>(_Unwind_GetIP(context));
    return _URC_NO_REASON;
}

// The frames of the calling thread when backtraces are on, innermost first; frame 0 is the
// function that this is inlined into. Taken with the unwinder that C++ exceptions use, which
// the module loads with itself: glibc's backtrace() loads it on its first use instead, which
// fails in a first failure with no memory left, and the backtrace came out empty.
[[gnu::always_inline]] inline void take_frames(Frames &frames) {
    if (backtrace_style() == BacktraceStyle::off) return;
    _Unwind_Backtrace(add_frame, &frames);
    // The unwinder may report a null address above the outermost frame.
    if (frames.count > 1 && frames.addresses[frames.count - 1] == nullptr) --frames.count;
}

// What both forms of raise_failure do once the frames are taken: the report, then the throw.
[[noreturn]] void report_and_throw(Failure failure, const std::source_location &where,
                                   const Frames &frames) {
    const long self = current_thread_id();
    const bool in_report = g_reporting_thread.load(std::memory_order_relaxed) == self;
    // A failure while this thread writes a report, or while another failure unwinds,
    // cannot be delivered to anyone: report it and end the process.
    if (in_report || std::uncaught_exceptions() > 0) {
        if (!in_report) {
            std::lock_guard<std::mutex> guard(g_report_lock.mutex);
            g_reporting_thread.store(self, std::memory_order_relaxed);
            write_report(failure.message(), where, frames, self);
        } else {
            write_stderr(failure.message());
        }
        write_stderr("\nfailure raised while another failure was unwinding; aborting\n");
        std::abort();
    }
    {
        std::lock_guard<std::mutex> guard(g_report_lock.mutex);
        g_reporting_thread.store(self, std::memory_order_relaxed);
        write_report(failure.message(), where, frames, self);
        g_reporting_thread.store(0, std::memory_order_relaxed);
    }
    // The exception object itself comes from the C++ runtime, which keeps an emergency
    // reserve for exceptions thrown when the heap is exhausted.
    throw std::move(failure);
}

} // namespace

// Frames are taken in each form itself, so that frame 0 is raise_failure whatever got inlined.
void raise_failure(std::string message, std::source_location where) {
    Frames frames;
    take_frames(frames);
    report_and_throw(Failure(std::move(message)), where, frames);
}

void raise_failure(StaticText message, std::source_location where) {
    Frames frames;
    take_frames(frames);
    report_and_throw(Failure(message), where, frames);
}

void raise_failure(Reporting reporting, Failure failure, std::source_location where) {
    if (reporting == Reporting::quiet) throw std::move(failure);
    Frames frames;
    take_frames(frames);
    report_and_throw(std::move(failure), where, frames);
}

void resume_failure(std::string message) {
    throw Failure(std::move(message));
}

PanicTrap::~PanicTrap() noexcept(false) {
    if (std::uncaught_exceptions() > m_exceptions) raise_failure(m_message);
}

} // namespace kelmor
