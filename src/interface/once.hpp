// once.hpp: process-wide interpreter objects, each created once and kept for the process.
#pragma once

#include <Python.h>

#include <atomic>
#include <mutex>

namespace kelmor {

// The interned names "__name__" and "__all__" (borrowed references).
PyObject *name_string();
PyObject *all_string();
// The failure exception type "pyo3_runtime.PanicException", derived from BaseException
// (borrowed reference). One type object per process, so that every failure raises the same.
PyObject *panic_exception_type();

namespace detail {

// A cell that the first caller fills by calling `make` (which gives a new reference, kept
// for ever). The interpreter lock is released while waiting for the cell, so that a thread
// that is filling it (and may run Python code) can take the lock; the filling thread takes
// the lock back before it calls `make`, the others after the cell is filled. When `make`
// throws, the lock is held again and the cell stays empty for the next caller.
class OnceObject {
public:
    using Make = PyObject *(*)();
    PyObject *get(Make make);

private:
    std::once_flag m_flag;
    std::atomic<PyObject *> m_value{nullptr};
};

} // namespace detail
} // namespace kelmor
