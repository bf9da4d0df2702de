// failure.hpp: the one way to report an unrecoverable error, with its report on standard error.
#pragma once

#include <exception>
#include <source_location>
#include <string>

namespace kelmor {

// The exception that carries a failure from where it is raised to the protected region
// of the Python-facing entry. It deliberately does not derive from std::exception, so that
// no generic handler on the way can swallow it by accident.
class Failure {
public:
    explicit Failure(std::string message) noexcept : m_message(std::move(message)) {}
    const std::string &message() const noexcept { return m_message; }
    std::string take_message() noexcept { return std::move(m_message); }

private:
    std::string m_message; // the failure message (the payload)
};

// Writes the failure report for `message` to file descriptor 2, then throws Failure.
// A failure raised while another one is unwinding, or while a report is being written,
// writes its report and aborts the process instead.
[[noreturn]] void raise_failure(std::string message,
                                std::source_location where = std::source_location::current());

// Throws Failure without writing a report: for a failure that was already reported
// elsewhere (a failure exception that came back from Python code).
[[noreturn]] void resume_failure(std::string message);

// Arms on construction; if the scope is left by an exception (anything unwinding through it),
// the destructor raises the failure "uncaught panic at ffi boundary", which, being raised
// during unwinding, ends the process. Used around code that must never fail.
class PanicTrap {
public:
    explicit PanicTrap(const char *message) noexcept
        : m_message(message), m_exceptions(std::uncaught_exceptions()) {}
    PanicTrap(const PanicTrap &) = delete;
    PanicTrap &operator=(const PanicTrap &) = delete;
    ~PanicTrap() noexcept(false);

private:
    const char *m_message;
    int m_exceptions; // uncaught exceptions when armed; more at destruction means unwinding
};

namespace detail {
// The name of the environment variable that selects backtraces in failure reports.
inline constexpr const char *backtrace_variable = "KELMOR_BACKTRACE";
} // namespace detail

} // namespace kelmor
