// module.cpp: the kelmor module: its definition, its exec step and PyInit_kelmor.
#include <Python.h>

#include <optional>
#include <utility>

#include "add_function.hpp"
#include "entry.hpp"
#include "function.hpp"
#include "object_text.hpp"
#include "pending_error.hpp"
#include "py_ref.hpp"
#include "surface.hpp"

namespace kelmor {

namespace {

Expected<int> exec_module(PyObject *module) {
    // The exception type and the interned names are process-wide objects, made in the first
    // interpreter that needs them; they may not be used from another interpreter.
    if (PyInterpreterState_Get() != PyInterpreterState_Main()) {
        return PendingError::lazy(PyExc_ImportError,
                                  "kelmor does not support loading in sub-interpreters");
    }
    if (module == nullptr) return take_pending_error();
    if (!PyModule_Check(module)) return not_an_instance(module, "module");
    // The first exec step of the process makes the failure type, so that it exists before
    // any call can fail.
    panic_exception_type();

    PyRef function;
    {
        PyRef name = PyRef::steal(PyModule_GetNameObject(module));
        if (!name) return take_pending_error();
        function = PyRef::steal(PyCMethod_New(&read_valdrum_method, module, name.get(), nullptr));
        if (!function) return take_pending_error();
    }
    if (std::optional<PendingError> error = add_function(module, function.get())) {
        return std::move(*error);
    }
    return 0;
}

int exec_slot(PyObject *module) noexcept {
    return run_entry(-1, [&] { return exec_module(module); });
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

PyMODINIT_FUNC PyInit_kelmor(void) {
    return PyModuleDef_Init(&kelmor::module_definition);
}
