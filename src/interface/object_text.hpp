// object_text.hpp: the text that messages insert for Python objects, their types and errors.
#pragma once

#include <Python.h>

#include <initializer_list>
#include <string>
#include <string_view>

#include "pending_error.hpp"

namespace kelmor {

// The pieces joined into one text (also keeps g++ 12 from a false -Wrestrict alarm that
// chains of operator+ starting with a literal raise).
std::string concat(std::initializer_list<std::string_view> pieces);

enum class TextKind { str, repr };
// The text that messages insert for an object: its str() or repr() as UTF-8, a lone surrogate
// showing as three U+FFFD; "<unprintable T object>" (with an unraisable report) when that fails.
std::string object_text(PyObject *object, TextKind kind = TextKind::str);
// The qualified name of a type, or "<failed to extract type name>".
std::string qualified_type_name(PyTypeObject *type);

// The TypeError for an object of the wrong type:
// "'<qualified type name>' object is not an instance of '<expected>'".
PendingError not_an_instance(PyObject *object, const char *expected);

// "PyErr { type: ..., value: ..., traceback: ... }", instantiating a lazy error first.
std::string debug_description(PendingError &error);

} // namespace kelmor
