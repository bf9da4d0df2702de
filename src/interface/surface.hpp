// surface.hpp: Python errors held by the module, and failures turned into PanicException.
#pragma once

#include <Python.h>

#include <cstdlib>
#include <initializer_list>
#include <memory>
#include <new>
#include <optional>
#include <source_location>
#include <string>
#include <string_view>
#include <utility>
#include <variant>

#include "failure.hpp"
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
    // "PyErr { type: ..., value: ..., traceback: ... }", instantiating a lazy error first.
    std::string debug_description();

private:
    PendingError() noexcept;
    void set_lazy_as_current() const;

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

// The pieces joined into one text (also keeps g++ 12 from a false -Wrestrict alarm that
// chains of operator+ starting with a literal raise).
std::string concat(std::initializer_list<std::string_view> pieces);

enum class TextKind { str, repr };
// The text that messages insert for an object: its str() or repr() as UTF-8, a lone surrogate
// showing as three U+FFFD; "<unprintable T object>" (with an unraisable report) when that fails.
std::string object_text(PyObject *object, TextKind kind = TextKind::str);
// The UTF-8 text of a str object; lone surrogates become U+FFFD characters, one per byte of
// their encoded form.
std::string unicode_text(PyObject *text);
// The qualified name of a type, or "<failed to extract type name>".
std::string qualified_type_name(PyTypeObject *type);

// Sets PanicException with `message` as its only argument as the current exception.
void surface_failure(std::string message);

namespace detail {

// The last words of an entry: message of the failure that stands in for an exhausted heap.
std::string out_of_memory_failure();

// The protected region: the body's value, its Python error, or the message of a failure it
// raised. Anything else is a bug and goes on to the last-resort guard.
template <typename Body>
std::variant<PyRef, PendingError, std::string> run_protected(Body &body) {
    try {
        Expected<PyRef> result = body();
        if (result.has_value()) return std::move(result.value());
        return std::move(result.error());
    } catch (Failure &failure) {
        return failure.take_message();
    } catch (const std::bad_alloc &) {
        return out_of_memory_failure();
    }
}

} // namespace detail

// The frame of every function that CPython calls: runs `body` (which gives Expected<PyRef>) in
// the protected region and sets the current exception for an error or a failure. Gives the
// body's value, or nothing when an exception was set. A failure that escapes while the error
// is being set ends the process through the last-resort guard.
template <typename Body>
std::optional<PyRef> run_entry(Body &&body) noexcept {
    try {
        PanicTrap guard("uncaught panic at ffi boundary");
        auto outcome = detail::run_protected(body);
        if (outcome.index() == 0) return std::move(std::get<0>(outcome));
        if (outcome.index() == 1) std::move(std::get<1>(outcome)).restore();
        else surface_failure(std::move(std::get<2>(outcome)));
        return std::nullopt;
    } catch (...) {
        // Not reached: the guard ends the process while an exception leaves its scope. The
        // handler exists so that the scope is unwound at all (no unwinding into a noexcept
        // frame without one).
        std::abort();
    }
}

} // namespace kelmor
