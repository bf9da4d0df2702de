// unicode_text.hpp: the UTF-8 text of a Python str, whatever code points it holds.
#pragma once

#include <Python.h>

#include <string>

namespace kelmor {

// The UTF-8 text of `text` (a str or a subclass of it). A lone surrogate, which has no UTF-8
// form, shows as three U+FFFD characters: one per byte of its "surrogatepass" encoding.
std::string unicode_text(PyObject *text);

} // namespace kelmor
