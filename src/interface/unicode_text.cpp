// unicode_text.cpp: the UTF-8 text of a Python str, whatever code points it holds.
#include <Python.h>

#include "unicode_text.hpp"

#include "utf8.hpp"

namespace kelmor {

std::string unicode_text(PyObject *text) {
    Py_ssize_t size = 0;
    if (const char *data = PyUnicode_AsUTF8AndSize(text, &size)) {
        return std::string(data, static_cast<std::size_t>(size));
    }
    // Only lone surrogates have no UTF-8 form. Encode every code point as "surrogatepass"
    // would and let the lossy conversion replace the surrogates' bytes; building the bytes
    // here rather than in a bytes object leaves no interpreter allocation that could fail.
    PyErr_Clear();
    const int kind = PyUnicode_KIND(text);
    const void *data = PyUnicode_DATA(text);
    const Py_ssize_t length = PyUnicode_GET_LENGTH(text);
    std::string encoded;
    encoded.reserve(static_cast<std::size_t>(length) * 3);
    for (Py_ssize_t i = 0; i < length; ++i) {
        utf8::append(encoded, static_cast<char32_t>(PyUnicode_READ(kind, data, i)));
    }
    return utf8::to_lossy(encoded);
}

} // namespace kelmor
