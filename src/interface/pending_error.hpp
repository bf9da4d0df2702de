// pending_error.hpp: Python errors held by the module, and errors taken from the interpreter.
#pragma once

#include <Python.h>

#include <memory>
#include <optional>
#include <source_location>
#include <string_view>
#include <utility>
#include <variant>

#include "once.hpp"
#include "py_ref.hpp"

namespace kelmor {

namespace detail {
struct InstantiationGuard;
} // namespace detail

// A Python error that the module holds until it is set as the current exception: either lazy
// (an exception type and its argument, built by the module itself and not yet instantiated)
// or an exception object taken from the interpreter.
class PendingError {
public:
    // A lazy error of `type` (borrowed) with `message` as its one argument.
    static PendingError lazy(PyObject *type, std::string_view message);
    // An exception object taken from the interpreter.
    static PendingError from_exception(PyRef exception) noexcept;

    PendingError(PendingError &&) noexcept;
    PendingError &operator=(PendingError &&) noexcept;
    ~PendingError();

    // The exception object (borrowed from this error). A lazy error is instantiated with the
    // interpreter lock released around its own one-time guard and kept in instantiated form.
    PyObject *instantiate();
    // Sets the error as the current exception, giving up this holder.
    void restore() &&;
    // True when the error is an instance of `type` or of one of its subclasses.
    bool matches(PyObject *type) const noexcept;

private:
    PendingError() noexcept;
    void set_lazy_as_current() const noexcept;

    PyRef m_type;  // lazy: the exception type
    PyRef m_arg;   // lazy: its one argument
    PyRef m_value; // instantiated: the exception object
    std::unique_ptr<detail::InstantiationGuard> m_guard;
};

// A value, or the Python error that stopped it being made.
template <typename T>
class Expected {
public:
    Expected(T value) : m_state(std::in_place_index<0>, std::move(value)) {}
    Expected(PendingError error) : m_state(std::in_place_index<1>, std::move(error)) {}

    bool has_value() const noexcept { return m_state.index() == 0; }
    explicit operator bool() const noexcept { return has_value(); }
    T &value() noexcept { return std::get<0>(m_state); }
    T &operator*() noexcept { return value(); }
    PendingError &error() noexcept { return std::get<1>(m_state); }

private:
    std::variant<T, PendingError> m_state;
};

// Takes the current exception after an interpreter call signalled failure; a SystemError
// when none is set. An exception of the failure type itself (raised by Python code that the
// module called) is not an error to pass on but a failure to resume: the notice and the
// interpreter's traceback are written to standard error and the failure is resumed.
PendingError take_pending_error();
// The same, giving nothing when no exception is set.
std::optional<PendingError> take_pending_error_if_any();

// For an interpreter call that had to give a new object and gave NULL: the pending error, if
// any, is written as unraisable, then the failure "PyObject pointer is null" is raised.
[[noreturn]] void raise_null_result(std::source_location where = std::source_location::current());

namespace detail {
// The cell of the failure exception type, which panic_exception_type() (surface.hpp) fills.
// Taking an error only looks into it: no exception can be of the type before the type exists,
// and making the type must be able to take errors itself.
OnceObject &panic_exception_cell() noexcept;
} // namespace detail

} // namespace kelmor
