// function.hpp: the method table entry of the module's one function, rust_read_valdrum.
#pragma once

#include <Python.h>

namespace kelmor {

// Static and never freed: the function objects that the module creates point into it.
extern PyMethodDef read_valdrum_method;

} // namespace kelmor
