// objects.hpp: the Python types of kelmor_arrays: the result of a read, its values (exported
// through the buffer protocol) and its block header lines.
#pragma once

#include <Python.h>

#include "reader.hpp"

namespace kelmor::arrays {

// The module's own objects, one set per module object (so per interpreter).
struct ModuleState {
    PyObject *plot_file_error; // kelmor_arrays.PlotFileError
    PyTypeObject *plot_data;   // kelmor_arrays.PlotData
    PyTypeObject *values;      // kelmor_arrays.Values
    PyTypeObject *lines;       // kelmor_arrays.Lines
};

// Sets module.`name` to `value` (a new reference of its own); -1 with an exception set on error.
// Not PyModule_AddObjectRef: before 3.14 it makes the name an immortal interned string, which
// outlives the interpreter and shows as a leak of this module in every leak check.
int add_object(PyObject *module, const char *name, PyObject *value);

// Creates the types into `state` and adds them to `module`; -1 with an exception set on error.
int add_types(PyObject *module, ModuleState &state);

// A new PlotData that takes over the names, headers and values of `rows` (which it leaves
// empty); NULL with an exception set on error, `rows` then freed by its owner.
PyObject *new_plot_data(const ModuleState &state, PlotRows &rows);

} // namespace kelmor::arrays
