// py_ref.hpp: move-only owning reference to a Python object.
#pragma once

#include <Python.h>

#include <utility>

namespace kelmor {

// Owns one reference (or none). Every operation that drops a reference needs the interpreter
// lock, as every Python-facing path of the module holds it.
class PyRef {
public:
    PyRef() noexcept = default;
    PyRef(const PyRef &) = delete;
    PyRef &operator=(const PyRef &) = delete;
    PyRef(PyRef &&other) noexcept : m_ptr(other.m_ptr) { other.m_ptr = nullptr; }
    // Stores the new object before the old reference is dropped: dropping it can run arbitrary
    // Python code (a finaliser), which must not see this reference half updated.
    PyRef &operator=(PyRef &&other) noexcept {
        PyObject *old = m_ptr;
        m_ptr = other.m_ptr;
        other.m_ptr = nullptr;
        Py_XDECREF(old);
        return *this;
    }
    ~PyRef() { Py_XDECREF(m_ptr); }

    // Takes over a new reference (which may be NULL).
    static PyRef steal(PyObject *ptr) noexcept { return PyRef(ptr); }
    // Takes a reference of its own to a borrowed object (which may be NULL).
    static PyRef borrow(PyObject *ptr) noexcept {
        Py_XINCREF(ptr);
        return PyRef(ptr);
    }

    PyObject *get() const noexcept { return m_ptr; }
    // Hands the reference over to the caller (for instance CPython); this holds none after.
    PyObject *release() noexcept { return std::exchange(m_ptr, nullptr); }
    explicit operator bool() const noexcept { return m_ptr != nullptr; }

private:
    explicit PyRef(PyObject *ptr) noexcept : m_ptr(ptr) {}
    PyObject *m_ptr = nullptr;
};

} // namespace kelmor
