// module.cpp: the kelmor module: its definition, its exec step and PyInit_kelmor.
#include <Python.h>

#include <string>

#include "function.hpp"
#include "once.hpp"
#include "py_ref.hpp"
#include "surface.hpp"

namespace kelmor {

namespace {

PendingError not_an_instance(PyObject *object, const char *expected) {
    return PendingError::lazy(PyExc_TypeError,
                              concat({"'", qualified_type_name(Py_TYPE(object)),
                                      "' object is not an instance of '", expected, "'"}));
}

// The module's __all__ list: the existing one, or a new empty list stored on the module when
// it has none.
Expected<PyRef> all_list(PyObject *module) {
    PyRef all = PyRef::steal(PyObject_GetAttr(module, all_string()));
    if (all) {
        if (!PyList_Check(all.get())) return not_an_instance(all.get(), "list");
        return all;
    }
    PendingError error = take_pending_error();
    if (!error.matches(PyExc_AttributeError)) return error;
    PyRef list = PyRef::steal(PyList_New(0));
    if (!list) raise_null_result();
    if (PyObject_SetAttr(module, all_string(), list.get()) < 0) return take_pending_error();
    return list;
}

// Lists the function's name in the module's __all__ and binds the function under that name.
Expected<PyRef> add_function(PyObject *module, PyObject *function) {
    PyRef name = PyRef::steal(PyObject_GetAttr(function, name_string()));
    if (!name) return take_pending_error();
    if (!PyUnicode_Check(name.get())) return not_an_instance(name.get(), "str");
    {
        Expected<PyRef> all = all_list(module);
        if (!all) return std::move(all.error());
        if (PyList_Append(all.value().get(), name.get()) < 0) {
            raise_failure(concat({"could not append __name__ to __all__: ",
                                  take_pending_error().debug_description()}));
        }
    }
    if (PyObject_SetAttr(module, name.get(), function) < 0) return take_pending_error();
    return PyRef();
}

Expected<PyRef> exec_module(PyObject *module) {
    // The exception type and the interned names are process-wide objects, made in the first
    // interpreter that needs them; they may not be used from another interpreter.
    if (PyInterpreterState_Get() != PyInterpreterState_Main()) {
        return PendingError::lazy(PyExc_ImportError,
                                  "kelmor does not support loading in sub-interpreters");
    }
    if (module == nullptr) return take_pending_error();
    if (!PyModule_Check(module)) return not_an_instance(module, "module");

    PyRef function;
    {
        PyRef name = PyRef::steal(PyModule_GetNameObject(module));
        if (!name) return take_pending_error();
        function = PyRef::steal(PyCMethod_New(&read_valdrum_method, module, name.get(), nullptr));
        if (!function) return take_pending_error();
    }
    return add_function(module, function.get());
}

int exec_slot(PyObject *module) noexcept {
    return run_entry([&] { return exec_module(module); }) ? 0 : -1;
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_exec, reinterpret_cast<void *>(exec_slot)},
    {0, nullptr},
};

// Writable: the interpreter fills in its head on the first import.
PyModuleDef module_definition = {
    PyModuleDef_HEAD_INIT,
    "kelmor",     // m_name
    "",           // m_doc: an empty text, not None
    0,            // m_size: no per-module state
    nullptr,      // m_methods: the exec step adds the function
    module_slots, // m_slots
    nullptr,      // m_traverse
    nullptr,      // m_clear
    nullptr,      // m_free
};

} // namespace

} // namespace kelmor

PyMODINIT_FUNC PyInit_kelmor(void) { return PyModuleDef_Init(&kelmor::module_definition); }
