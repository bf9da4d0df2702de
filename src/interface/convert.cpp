// convert.cpp: the reader's columns as a new list of lists of Python floats.
#include <Python.h>

#include "convert.hpp"

#include <utility>

#include "pending_error.hpp"

namespace kelmor {

namespace {

// A list allocated at its final length, to be filled by direct slot stores.
PyRef new_list(std::size_t length) {
    PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(length)));
    if (!list) raise_null_result();
    return list;
}

} // namespace

PyRef columns_to_list(Columns &&columns) {
    PyRef outer = new_list(columns.size());
    for (std::size_t i = 0; i < columns.size(); ++i) {
        Column &column = columns[i];
        PyRef inner = new_list(column.size());
        for (std::size_t j = 0; j < column.size(); ++j) {
            // Widening binary32 to binary64 is exact.
            PyObject *value = PyFloat_FromDouble(static_cast<double>(column[j]));
            if (value == nullptr) raise_null_result();
            PyList_SET_ITEM(inner.get(), static_cast<Py_ssize_t>(j), value);
        }
        Column().swap(column);
        PyList_SET_ITEM(outer.get(), static_cast<Py_ssize_t>(i), inner.release());
    }
    return outer;
}

} // namespace kelmor
