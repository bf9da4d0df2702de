// once.cpp: the once-protocol: a cell for a process-wide interpreter object, made once and kept.
#include <Python.h>

#include "once.hpp"

#include <sys/syscall.h>
#include <unistd.h>

#include "failure.hpp"

namespace kelmor {

namespace {

// The thread's system id: unlike std::thread::id it fits a constant-initialised cell, and
// unlike a thread_local it needs no memory on a thread's first use.
long this_thread_id() noexcept {
    return ::syscall(SYS_gettid);
}

// Marks the thread as the one running `make` for as long as it runs, however it ends.
class MakerMark {
public:
    MakerMark(std::atomic<long> &maker, long self) noexcept : m_maker(maker) {
        m_maker.store(self, std::memory_order_relaxed);
    }
    MakerMark(const MakerMark &) = delete;
    MakerMark &operator=(const MakerMark &) = delete;
    ~MakerMark() { m_maker.store(0, std::memory_order_relaxed); }

private:
    std::atomic<long> &m_maker;
};

} // namespace

PyObject *OnceObject::get(Make make) {
    if (PyObject *value = existing()) return value;
    const long self = this_thread_id();
    // This thread is running `make` of this very cell, and Python code that it ran came back
    // here. The once-initialisation would block it for ever, waiting for itself; failing lets
    // the outer `make` go on and end. Only this thread stores its own id, so a relaxed load
    // cannot mistake another thread for it.
    if (m_maker.load(std::memory_order_relaxed) == self) {
        raise_failure("Re-entrant initialization of a process-wide object detected");
    }
    PyThreadState *state = PyEval_SaveThread();
    bool lock_taken = false;
    std::call_once(m_flag, [&] {
        PyEval_RestoreThread(state);
        lock_taken = true;
        MakerMark mark(m_maker, self);
        m_value.store(make(), std::memory_order_release);
    });
    if (!lock_taken) PyEval_RestoreThread(state);
    return existing();
}

} // namespace kelmor
