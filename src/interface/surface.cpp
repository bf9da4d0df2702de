// surface.cpp: failures surfaced in Python as the exception type PanicException.
#include <Python.h>

#include "surface.hpp"

#include <utility>

#include "failure.hpp"
#include "object_text.hpp"
#include "pending_error.hpp"
#include "py_ref.hpp"

namespace kelmor {

namespace {

constexpr const char *panic_exception_doc =
    "\n"
    "The exception raised when the native code of the kelmor module fails while called from "
    "Python.\n"
    "\n"
    "Like SystemExit, this exception is derived from BaseException so that\n"
    "it will typically propagate all the way through the stack and cause the\n"
    "Python interpreter to exit.\n";

PyObject *make_panic_exception_type() {
    PyObject *type = PyErr_NewExceptionWithDoc("pyo3_runtime.PanicException", panic_exception_doc,
                                               PyExc_BaseException, nullptr);
    if (type == nullptr) {
        PendingError error = take_pending_error();
        raise_failure(
            concat({"Failed to initialize new exception type.: ", debug_description(error)}));
    }
    return type;
}

} // namespace

PyObject *panic_exception_type() {
    return detail::panic_exception_cell().get(make_panic_exception_type);
}

void surface_failure(std::string_view message) {
    PyObject *type = panic_exception_type();
    PyRef text = PyRef::steal(
        PyUnicode_FromStringAndSize(message.data(), static_cast<Py_ssize_t>(message.size())));
    if (!text) raise_null_result();
    PyRef args = PyRef::steal(PyTuple_New(1));
    if (!args) raise_null_result();
    PyTuple_SET_ITEM(args.get(), 0, text.release());
    PyErr_SetObject(type, args.get());
}

} // namespace kelmor
