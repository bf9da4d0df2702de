// add_function.hpp: a function object added to a module: named in __all__, bound as an attribute.
#pragma once

#include <Python.h>

#include <optional>

#include "pending_error.hpp"

namespace kelmor {

// Lists the function's __name__ in the module's __all__ (a new list when the module has none)
// and binds the function under that name. Gives the Python error that stopped it; a name that
// cannot be appended to __all__ raises the failure "could not append __name__ to __all__".
std::optional<PendingError> add_function(PyObject *module, PyObject *function);

} // namespace kelmor
