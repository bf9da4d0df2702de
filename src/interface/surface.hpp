// surface.hpp: failures surfaced in Python as the exception type PanicException.
#pragma once

#include <Python.h>

#include <string_view>

namespace kelmor {

// The failure exception type "pyo3_runtime.PanicException", derived from BaseException
// (borrowed reference), made on first need. One type object per process, so that every
// failure raises the same.
PyObject *panic_exception_type();

// Sets PanicException with `message` as its only argument as the current exception.
void surface_failure(std::string_view message);

} // namespace kelmor
