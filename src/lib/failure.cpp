// failure.cpp: raising failures, and the failure report written to standard error.
#include "failure.hpp"

#include <atomic>
#include <cerrno>
#include <charconv>
#include <cstdlib>
#include <cstring>
#include <cxxabi.h>
#include <dlfcn.h>
#include <execinfo.h>
#include <memory>
#include <mutex>
#include <string_view>
#include <sys/syscall.h>
#include <unistd.h>

#include "unique_fd.hpp"

namespace kelmor {
namespace {

enum class BacktraceStyle : int { unknown, off, short_form, full };

std::atomic<BacktraceStyle> g_backtrace_style{BacktraceStyle::unknown};
std::atomic<bool> g_hint_written{false};
// Serialises reports of concurrent threads; never destroyed, so a report written while the
// process exits still finds it.
std::mutex &report_lock() {
    static auto *lock = new std::mutex;
    return *lock;
}
thread_local bool t_in_report = false; // set while this thread writes a report

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

void write_stderr(std::string_view text) noexcept { write_all(STDERR_FILENO, text); }

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
    void *addresses[128];
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
        auto [end, ec] = std::to_chars(hex, hex + sizeof(hex),
                                       reinterpret_cast<std::uintptr_t>(address), 16);
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

void write_report(std::string_view message, const std::source_location &where,
                  const Frames &frames) {
    ReportWriter out;
    out << "\nthread '<unnamed>' (" << static_cast<unsigned long long>(::syscall(SYS_gettid))
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

} // namespace

void raise_failure(std::string message, std::source_location where) {
    // Frames are taken here, so that frame 0 is this function whatever got inlined.
    Frames frames;
    if (backtrace_style() != BacktraceStyle::off) frames.count = ::backtrace(frames.addresses, 128);
    // A failure while this thread writes a report, or while another failure unwinds,
    // cannot be delivered to anyone: report it and end the process.
    if (t_in_report || std::uncaught_exceptions() > 0) {
        if (!t_in_report) {
            std::lock_guard<std::mutex> guard(report_lock());
            t_in_report = true;
            write_report(message, where, frames);
        } else {
            write_stderr(message);
        }
        write_stderr("\nfailure raised while another failure was unwinding; aborting\n");
        std::abort();
    }
    {
        std::lock_guard<std::mutex> guard(report_lock());
        t_in_report = true;
        write_report(message, where, frames);
        t_in_report = false;
    }
    throw Failure(std::move(message));
}

void resume_failure(std::string message) { throw Failure(std::move(message)); }

PanicTrap::~PanicTrap() noexcept(false) {
    if (std::uncaught_exceptions() > m_exceptions) raise_failure(m_message);
}

} // namespace kelmor
