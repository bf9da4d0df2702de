// pending_error.cpp: Python errors held by the module, and errors taken from the interpreter.
#include <Python.h>

#include "pending_error.hpp"

#include <atomic>
#include <mutex>
#include <string>
#include <thread>
#include <unistd.h>

#include "failure.hpp"
#include "unicode_text.hpp"
#include "unique_fd.hpp"

namespace kelmor {

namespace detail {

// The one-time guard of a lazy error: instantiation runs partly without the interpreter lock,
// so two threads could otherwise instantiate the same error; the owner id tells a thread that
// comes back to the error while instantiating it (which would wait on itself forever).
struct InstantiationGuard {
    std::mutex mutex;
    std::atomic<std::thread::id> owner{};
};

// Constant-initialised: no constructor runs when the module is loaded.
constinit OnceObject g_panic_exception_cell;

OnceObject &panic_exception_cell() noexcept {
    return g_panic_exception_cell;
}

} // namespace detail

namespace {

// Python code that the module called raised PanicException: a failure whose report (if any)
// was written where it began. Write the notice and the Python traceback, then resume it with
// the same message and no new report.
[[noreturn]] void resume_fetched_panic(PyRef exception) {
    std::string message = "Unwrapped panic from Python code";
    if (PyRef text = PyRef::steal(PyObject_Str(exception.get()))) {
        message = unicode_text(text.get());
    } else {
        PyErr_Clear();
    }
    write_all(STDERR_FILENO,
              "--- kelmor: resuming a failure after a PanicException was fetched from Python "
              "---\nPython stack trace below:\n");
    PyErr_SetRaisedException(exception.release());
    PyErr_PrintEx(0);
    resume_failure(std::move(message));
}

} // namespace

PendingError::PendingError() noexcept = default;
PendingError::PendingError(PendingError &&) noexcept = default;
PendingError &PendingError::operator=(PendingError &&) noexcept = default;
PendingError::~PendingError() = default;

PendingError PendingError::lazy(PyObject *type, std::string_view message) {
    PyRef arg = PyRef::steal(
        PyUnicode_FromStringAndSize(message.data(), static_cast<Py_ssize_t>(message.size())));
    if (!arg) raise_null_result();
    PendingError error;
    error.m_type = PyRef::borrow(type);
    error.m_arg = std::move(arg);
    error.m_guard = std::make_unique<detail::InstantiationGuard>();
    return error;
}

PendingError PendingError::from_exception(PyRef exception) noexcept {
    PendingError error;
    error.m_value = std::move(exception);
    return error;
}

void PendingError::set_lazy_as_current() const noexcept {
    if (PyExceptionClass_Check(m_type.get())) {
        PyErr_SetObject(m_type.get(), m_arg.get());
    } else {
        PyErr_SetString(PyExc_TypeError, "exceptions must derive from BaseException");
    }
}

PyObject *PendingError::instantiate() {
    if (m_value) return m_value.get();
    if (m_guard->owner.load() == std::this_thread::get_id()) {
        raise_failure("Re-entrant normalization of PyErrState detected");
    }
    // 1. Release the lock before waiting on the guard, so that a thread holding the guard
    //    can take the lock. 2. Inside the guard take the lock, let the interpreter build the
    //    exception and take it back at once. 3. Leave the guard, then take the lock again.
    // The lock is taken back with this thread's own thread state, not through PyGILState_Ensure,
    // which assumes the main interpreter and is deprecated from 3.15 on.
    PyThreadState *state = PyEval_SaveThread();
    {
        std::lock_guard<std::mutex> lock(m_guard->mutex);
        if (!m_value && m_type) {
            m_guard->owner.store(std::this_thread::get_id());
            PyEval_RestoreThread(state);
            set_lazy_as_current();
            m_value = PyRef::steal(PyErr_GetRaisedException());
            m_type = PyRef();
            m_arg = PyRef();
            state = PyEval_SaveThread();
            m_guard->owner.store(std::thread::id());
        }
    }
    PyEval_RestoreThread(state);
    if (!m_value) raise_failure("exception missing after writing to the interpreter");
    return m_value.get();
}

void PendingError::restore() && {
    if (m_value) {
        PyErr_SetRaisedException(m_value.release());
    } else {
        set_lazy_as_current();
        m_type = PyRef();
        m_arg = PyRef();
    }
}

bool PendingError::matches(PyObject *type) const noexcept {
    PyObject *given = m_value ? m_value.get() : m_type.get();
    return PyErr_GivenExceptionMatches(given, type) != 0;
}

std::optional<PendingError> take_pending_error_if_any() {
    PyRef exception = PyRef::steal(PyErr_GetRaisedException());
    if (!exception) return std::nullopt;
    // Only the failure type itself counts, not a subclass of it.
    PyObject *panic_type = detail::panic_exception_cell().existing();
    if (panic_type != nullptr &&
        reinterpret_cast<PyObject *>(Py_TYPE(exception.get())) == panic_type) {
        resume_fetched_panic(std::move(exception));
    }
    return PendingError::from_exception(std::move(exception));
}

PendingError take_pending_error() {
    if (std::optional<PendingError> error = take_pending_error_if_any()) return std::move(*error);
    return PendingError::lazy(PyExc_SystemError, "attempted to fetch exception but none was set");
}

void raise_null_result(std::source_location where) {
    if (std::optional<PendingError> error = take_pending_error_if_any()) {
        std::move(*error).restore();
        PyErr_WriteUnraisable(nullptr);
    }
    raise_failure("PyObject pointer is null", where);
}

} // namespace kelmor
