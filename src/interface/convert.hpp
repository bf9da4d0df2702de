// convert.hpp: the reader's columns as a new list of lists of Python floats.
#pragma once

#include <Python.h>

#include "py_ref.hpp"
#include "reader.hpp"

namespace kelmor {

// Consumes `columns`: each column's storage is released as soon as its list is built, so the
// columns and the result are never both held in full. Every binary32 value becomes the float
// of exactly the same value. Raises the failure "PyObject pointer is null" when the
// interpreter cannot allocate.
PyRef columns_to_list(Columns &&columns);

} // namespace kelmor
