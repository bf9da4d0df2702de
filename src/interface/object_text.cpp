// object_text.cpp: the text that messages insert for Python objects, their types and errors.
#include <Python.h>

#include "object_text.hpp"

#include "escape.hpp"
#include "unicode_text.hpp"

namespace kelmor {

namespace {

// The traceback as the interpreter prints it, or the unformattable stand-in.
std::string traceback_text(PyObject *traceback) {
    PyRef io = PyRef::steal(PyImport_ImportModule("io"));
    PyRef buffer = io ? PyRef::steal(PyObject_CallMethod(io.get(), "StringIO", nullptr)) : PyRef();
    if (buffer && PyTraceBack_Print(traceback, buffer.get()) == 0) {
        PyRef text = PyRef::steal(PyObject_CallMethod(buffer.get(), "getvalue", nullptr));
        if (text && PyUnicode_Check(text.get())) return string_literal(unicode_text(text.get()));
        if (text) PyErr_SetString(PyExc_TypeError, "StringIO.getvalue() did not return a str");
    }
    take_pending_error().restore();
    PyErr_WriteUnraisable(traceback);
    return concat({"<unformattable ", object_text(traceback, TextKind::repr), ">"});
}

} // namespace

std::string concat(std::initializer_list<std::string_view> pieces) {
    std::size_t size = 0;
    for (std::string_view piece : pieces) size += piece.size();
    std::string text;
    text.reserve(size);
    for (std::string_view piece : pieces) text += piece;
    return text;
}

std::string object_text(PyObject *object, TextKind kind) {
    PyRef text = PyRef::steal(kind == TextKind::str ? PyObject_Str(object) : PyObject_Repr(object));
    if (text) return unicode_text(text.get());
    take_pending_error().restore();
    PyErr_WriteUnraisable(object);
    if (PyRef name = PyRef::steal(PyType_GetName(Py_TYPE(object)))) {
        return concat({"<unprintable ", unicode_text(name.get()), " object>"});
    }
    take_pending_error_if_any();
    return "<unprintable object>";
}

std::string qualified_type_name(PyTypeObject *type) {
    if (PyRef name = PyRef::steal(PyType_GetQualName(type))) return unicode_text(name.get());
    take_pending_error_if_any();
    return "<failed to extract type name>";
}

PendingError not_an_instance(PyObject *object, const char *expected) {
    return PendingError::lazy(PyExc_TypeError,
                              concat({"'", qualified_type_name(Py_TYPE(object)),
                                      "' object is not an instance of '", expected, "'"}));
}

std::string debug_description(PendingError &error) {
    PyObject *value = error.instantiate();
    std::string text = "PyErr { type: ";
    text += object_text(reinterpret_cast<PyObject *>(Py_TYPE(value)), TextKind::repr);
    text += ", value: ";
    text += object_text(value, TextKind::repr);
    text += ", traceback: ";
    if (PyRef traceback = PyRef::steal(PyException_GetTraceback(value))) {
        text += concat({"Some(", traceback_text(traceback.get()), ")"});
    } else {
        text += "None";
    }
    text += " }";
    return text;
}

} // namespace kelmor
