// once.cpp: the once-protocol: a cell for a process-wide interpreter object, made once and kept.
#include <Python.h>

#include "once.hpp"

namespace kelmor {

PyObject *OnceObject::get(Make make) {
    if (PyObject *value = existing()) return value;
    PyThreadState *state = PyEval_SaveThread();
    bool lock_taken = false;
    std::call_once(m_flag, [&] {
        PyEval_RestoreThread(state);
        lock_taken = true;
        m_value.store(make(), std::memory_order_release);
    });
    if (!lock_taken) PyEval_RestoreThread(state);
    return existing();
}

} // namespace kelmor
