// failure.hpp: the one way to report an unrecoverable error, with its report on standard error.
#pragma once

#include <cstddef>
#include <exception>
#include <source_location>
#include <string>
#include <string_view>

namespace kelmor {

// A failure message that lives as long as the process (a string literal). It is carried
// without a copy, so that a failure raised when memory has run out needs none.
struct StaticText {
    std::string_view text;
};

// What went wrong, for callers that turn a failure into an error of their own kind rather
// than show its message alone.
enum class FailureKind : unsigned char {
    file,   // the file breaks the format (also a line too long or not UTF-8)
    os,     // the system could not open or read the file; os_error() holds the error number
    path,   // the path cannot be handed to the system (it holds a NUL)
    memory, // memory ran out
    other,  // anything else (the interface's own failures)
};

// The exception that carries a failure from where it is raised to the protected region
// of the Python-facing entry. It deliberately does not derive from std::exception, so that
// no generic handler on the way can swallow it by accident.
class Failure {
public:
    explicit Failure(std::string message, FailureKind kind = FailureKind::other,
                     int os_error = 0) noexcept
        : m_owned(std::move(message)), m_kind(kind), m_os_error(os_error) {}
    explicit Failure(StaticText message, FailureKind kind = FailureKind::other) noexcept
        : m_static(message.text), m_kind(kind) {}
    std::string_view message() const noexcept {
        return m_static.data() != nullptr ? m_static : std::string_view(m_owned);
    }
    FailureKind kind() const noexcept { return m_kind; }
    int os_error() const noexcept { return m_os_error; }

private:
    std::string m_owned;       // the payload when it was built at run time
    std::string_view m_static; // the payload when it is a static text (data() set)
    FailureKind m_kind;
    int m_os_error = 0;
};

// Whether raising a failure writes the failure report (and the reader its line on standard
// output for a bad parameter count), or only throws: for callers that hand the failure to
// their own user in another form and must write nothing.
enum class Reporting : bool { quiet, report };

// Writes the failure report for `message` to file descriptor 2, then throws Failure.
// A failure raised while another one is unwinding, or while a report is being written,
// writes its report and aborts the process instead. Between its start and the throw nothing
// allocates memory: a failure is often the sign that there is none left.
[[noreturn]] void raise_failure(std::string message,
                                std::source_location where = std::source_location::current());
[[noreturn]] void raise_failure(StaticText message,
                                std::source_location where = std::source_location::current());
// A string literal as the message: the static form, which needs no copy. (An overload of its
// own, because a literal would convert to std::string as readily as to StaticText.)
template <std::size_t N>
[[noreturn]] void raise_failure(const char (&message)[N],
                                std::source_location where = std::source_location::current()) {
    raise_failure(StaticText{std::string_view(message, N - 1)}, where);
}

// raise_failure for a prepared failure when `reporting` is Reporting::report; otherwise
// throws it at once, writing nothing and touching none of the report's process-wide state.
[[noreturn]] void raise_failure(Reporting reporting, Failure failure,
                                std::source_location where = std::source_location::current());

// Throws Failure without writing a report: for a failure that was already reported
// elsewhere (a failure exception that came back from Python code).
[[noreturn]] void resume_failure(std::string message);

// Arms on construction; if the scope is left by an exception (anything unwinding through it),
// the destructor raises the failure "uncaught panic at ffi boundary", which, being raised
// during unwinding, ends the process. Used around code that must never fail.
//
// Arming it also makes the C++ runtime set up its per-thread exception state, which the
// runtime may allocate on a thread's first use of it (libstdc++ loaded by dlopen keeps it in
// lazily allocated thread-local storage). Every entry from Python arms a trap first, so a
// thread meets that allocation when it enters the module, never in a throw of a failure that
// the exhaustion of memory caused.
class PanicTrap {
public:
    template <std::size_t N>
    explicit PanicTrap(const char (&message)[N]) noexcept
        : m_message{std::string_view(message, N - 1)}, m_exceptions(std::uncaught_exceptions()) {}
    PanicTrap(const PanicTrap &) = delete;
    PanicTrap &operator=(const PanicTrap &) = delete;
    ~PanicTrap() noexcept(false);

private:
    StaticText m_message;
    int m_exceptions; // uncaught exceptions when armed; more at destruction means unwinding
};

namespace detail {
// The name of the environment variable that selects backtraces in failure reports.
inline constexpr const char *backtrace_variable = "KELMOR_BACKTRACE";
} // namespace detail

} // namespace kelmor
