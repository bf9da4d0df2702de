// once.cpp: process-wide interpreter objects, each created once and kept for the process.
#include <Python.h>

#include "once.hpp"

#include <string>
#include <string_view>

#include "failure.hpp"
#include "py_ref.hpp"
#include "surface.hpp"

namespace kelmor {

namespace {

constexpr const char *panic_exception_doc =
    "\n"
    "The exception raised when the native code of the kelmor module fails while called from "
    "Python.\n"
    "\n"
    "Like SystemExit, this exception is derived from BaseException so that\n"
    "it will typically propagate all the way through the stack and cause the\n"
    "Python interpreter to exit.\n";

PyObject *make_interned(std::string_view text) {
    PyObject *name = PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
    if (name == nullptr) raise_null_result();
    PyUnicode_InternInPlace(&name);
    return name;
}

PyObject *make_panic_exception_type() {
    PyObject *type = PyErr_NewExceptionWithDoc("pyo3_runtime.PanicException", panic_exception_doc,
                                               PyExc_BaseException, nullptr);
    if (type == nullptr) {
        // Taken directly: the usual way of taking an error compares it with the very type
        // that is being created here.
        PyRef raised = PyRef::steal(PyErr_GetRaisedException());
        PendingError error =
            raised ? PendingError::from_exception(std::move(raised))
                   : PendingError::lazy(PyExc_SystemError,
                                        "attempted to fetch exception but none was set");
        raise_failure(
            concat({"Failed to initialize new exception type.: ", error.debug_description()}));
    }
    return type;
}

detail::OnceObject g_name_string;
detail::OnceObject g_all_string;
detail::OnceObject g_panic_exception_type;

} // namespace

namespace detail {

PyObject *OnceObject::get(Make make) {
    if (PyObject *value = m_value.load(std::memory_order_acquire)) return value;
    PyThreadState *state = PyEval_SaveThread();
    bool lock_taken = false;
    std::call_once(m_flag, [&] {
        PyEval_RestoreThread(state);
        lock_taken = true;
        m_value.store(make(), std::memory_order_release);
    });
    if (!lock_taken) PyEval_RestoreThread(state);
    return m_value.load(std::memory_order_acquire);
}

} // namespace detail

PyObject *name_string() {
    return g_name_string.get([] { return make_interned("__name__"); });
}

PyObject *all_string() {
    return g_all_string.get([] { return make_interned("__all__"); });
}

PyObject *panic_exception_type() { return g_panic_exception_type.get(make_panic_exception_type); }

} // namespace kelmor
