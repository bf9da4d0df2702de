// once.hpp: the once-protocol: a cell for a process-wide interpreter object, made once and kept.
#pragma once

#include <Python.h>

#include <atomic>
#include <mutex>

namespace kelmor {

// A cell that the first caller of get() fills by calling `make` (which gives a new reference,
// kept for ever). The interpreter lock is released while waiting for the cell, so that a thread
// that is filling it (and may run Python code) can take the lock; the filling thread takes the
// lock back before it calls `make`, the others after the cell is filled. When `make` throws,
// the lock is held again and the cell stays empty for the next caller.
//
// A thread that comes back to the cell from inside its own `make` (Python code that `make`
// runs, such as an unraisable hook or a finaliser, can import the module again) raises the
// failure "Re-entrant initialization of a process-wide object detected" instead of waiting
// for itself for ever.
class OnceObject {
public:
    using Make = PyObject *(*)();
    PyObject *get(Make make);
    // The object once it is made, else nullptr: never waits, never makes it.
    PyObject *existing() const noexcept { return m_value.load(std::memory_order_acquire); }

private:
    std::once_flag m_flag;
    std::atomic<PyObject *> m_value{nullptr};
    std::atomic<long> m_maker{0}; // the system id of the thread running `make`, else 0
};

} // namespace kelmor
