// module.cpp: the kelmor_arrays module: read(), its errors, the module definition and
// PyInit_kelmor_arrays.
#include <Python.h>

#include <cstdint>
#include <exception>
#include <new>
#include <optional>
#include <string_view>
#include <utility>

#include "failure.hpp"
#include "objects.hpp"
#include "py_ref.hpp"
#include "reader.hpp"

namespace kelmor::arrays {
namespace {

ModuleState &state_of(PyObject *module) {
    return *static_cast<ModuleState *>(PyModule_GetState(module));
}

// What the reader gave: the rows, or the failure that ended it.
struct Outcome {
    std::optional<PlotRows> rows;
    std::optional<Failure> failure;
    bool out_of_memory = false;
};

// Reads without the interpreter lock: the reader touches no Python object, and other threads
// run meanwhile (several files are read at once on several cores).
Outcome read_without_lock(std::string_view path, std::uint32_t width) noexcept {
    Outcome outcome;
    PyThreadState *saved = PyEval_SaveThread();
    try {
        outcome.rows.emplace(read_plot_rows(path, width));
    } catch (Failure &failure) {
        outcome.failure.emplace(std::move(failure));
    } catch (const std::bad_alloc &) {
        outcome.out_of_memory = true;
    }
    PyEval_RestoreThread(saved);
    return outcome;
}

// Sets the exception for a failure of the reader: the system's errors as the matching OSError
// (its strerror the reader's message, which also describes the system's error), a path that
// cannot be handed to the system as ValueError, exhausted memory as MemoryError, and every
// fault of the file as PlotFileError, each with the message that kelmor gives.
void set_failure(const ModuleState &state, const Failure &failure, PyObject *path) {
    const std::string_view text = failure.message();
    PyRef message = PyRef::steal(
        PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace"));
    if (!message) return;
    switch (failure.kind()) {
    case FailureKind::os: {
        // OSError's constructor picks the subclass for the error number (FileNotFoundError,
        // PermissionError, IsADirectoryError, ...).
        PyRef error = PyRef::steal(
            PyObject_CallFunction(PyExc_OSError, "iOO", failure.os_error(), message.get(), path));
        if (error) PyErr_SetObject(reinterpret_cast<PyObject *>(Py_TYPE(error.get())), error.get());
        return;
    }
    case FailureKind::path: PyErr_SetObject(PyExc_ValueError, message.get()); return;
    case FailureKind::memory: PyErr_SetObject(PyExc_MemoryError, message.get()); return;
    case FailureKind::file: PyErr_SetObject(state.plot_file_error, message.get()); return;
    case FailureKind::other: break;
    }
    PyErr_SetObject(PyExc_SystemError, message.get());
}

// file_path: str or os.PathLike giving str, as the file system encodes it (so a name that
// os.listdir gave back with escaped bytes names the same file).
PyObject *encode_path(PyObject *file_path) {
    PyRef path = PyRef::steal(PyOS_FSPath(file_path));
    if (!path) return nullptr;
    if (!PyUnicode_Check(path.get())) {
        PyErr_Format(PyExc_TypeError,
                     "read() argument 'file_path' must be str or os.PathLike of str, not %.200s",
                     Py_TYPE(path.get())->tp_name);
        return nullptr;
    }
    return PyUnicode_EncodeFSDefault(path.get());
}

// n_digits: an integer (anything with __index__) from 0 to 4294967295.
bool convert_width(PyObject *n_digits, std::uint32_t &width) {
    PyRef index = PyRef::steal(PyNumber_Index(n_digits));
    if (!index) return false;
    int overflow = 0;
    const long long value = PyLong_AsLongLongAndOverflow(index.get(), &overflow);
    if (value == -1 && PyErr_Occurred()) return false;
    if (overflow != 0 || value < 0 || value > 0xFFFF'FFFFLL) {
        PyErr_Format(PyExc_ValueError,
                     "read() argument 'n_digits' must be from 0 to 4294967295, not %S",
                     index.get());
        return false;
    }
    width = static_cast<std::uint32_t>(value);
    return true;
}

// Binds the arguments of read(file_path, n_digits), positional or by keyword, as the
// interpreter binds those of a Python function (and with its messages).
bool bind_arguments(PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames,
                    PyObject *(&slots)[2]) {
    static constexpr const char *names[] = {"file_path", "n_digits"};
    if (nargs > 2) {
        PyErr_Format(PyExc_TypeError, "read() takes at most 2 arguments (%zd given)",
                     nargs + (kwnames != nullptr ? PyTuple_GET_SIZE(kwnames) : 0));
        return false;
    }
    for (Py_ssize_t i = 0; i < nargs; ++i) slots[i] = args[i];
    const Py_ssize_t keywords = kwnames != nullptr ? PyTuple_GET_SIZE(kwnames) : 0;
    for (Py_ssize_t k = 0; k < keywords; ++k) {
        PyObject *name = PyTuple_GET_ITEM(kwnames, k);
        int slot = -1;
        for (int i = 0; i < 2 && slot < 0; ++i)
            if (PyUnicode_CompareWithASCIIString(name, names[i]) == 0) slot = i;
        if (slot < 0) {
            PyErr_Format(PyExc_TypeError, "read() got an unexpected keyword argument '%U'", name);
            return false;
        }
        if (slots[slot] != nullptr) {
            PyErr_Format(PyExc_TypeError, "read() got multiple values for argument '%s'",
                         names[slot]);
            return false;
        }
        slots[slot] = args[nargs + k];
    }
    for (int i = 0; i < 2; ++i) {
        if (slots[i] == nullptr) {
            PyErr_Format(PyExc_TypeError, "read() missing required argument '%s' (pos %d)",
                         names[i], i + 1);
            return false;
        }
    }
    return true;
}

PyObject *read(PyObject *module, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    PyObject *slots[2] = {nullptr, nullptr};
    if (!bind_arguments(args, nargs, kwnames, slots)) return nullptr;
    PyObject *const file_path = slots[0];
    PyObject *const n_digits = slots[1];
    PyRef path = PyRef::steal(encode_path(file_path));
    if (!path) return nullptr;
    std::uint32_t width = 0;
    if (!convert_width(n_digits, width)) return nullptr;

    // A thread's first exception may make the C++ runtime allocate its per-thread state; that
    // happens here, not in a failure that exhausted memory caused.
    (void)std::uncaught_exceptions();
    const ModuleState &state = state_of(module);
    Outcome outcome =
        read_without_lock(std::string_view(PyBytes_AS_STRING(path.get()),
                                           static_cast<std::size_t>(PyBytes_GET_SIZE(path.get()))),
                          width);
    if (outcome.failure) {
        set_failure(state, *outcome.failure, file_path);
        return nullptr;
    }
    if (outcome.out_of_memory) return PyErr_NoMemory();
    return new_plot_data(state, *outcome.rows);
}

constexpr const char read_doc[] =
    "read(file_path, n_digits)\n"
    "--\n"
    "\n"
    "Reads a VALDRUM plot file into one float32 array.\n"
    "\n"
    "file_path is a str or os.PathLike; n_digits is the width in bytes of a data field (12 for\n"
    "files written with 6 significant digits, 15 for 9). Gives a PlotData whose values are a\n"
    "read-only, C-contiguous float32 buffer of shape (blocks, parameters), one row per\n"
    "timestep block as in the file, bit for bit the values that kelmor.rust_read_valdrum\n"
    "gives; names holds the parameter names and block_headers each block's header line.\n"
    "\n"
    "Raises OSError (FileNotFoundError, PermissionError, IsADirectoryError, ...) when the file\n"
    "cannot be opened or read, PlotFileError for every fault of the file, MemoryError when\n"
    "memory runs out; the message is the one kelmor gives. The interpreter lock is released\n"
    "while the file is read, and nothing is written to standard output or error.";

PyMethodDef module_methods[] = {
    {"read", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(read)),
     METH_FASTCALL | METH_KEYWORDS, read_doc},
    {nullptr, nullptr, 0, nullptr},
};

int exec_module(PyObject *module) {
    ModuleState &state = state_of(module);
    state.plot_file_error = PyErr_NewExceptionWithDoc(
        "kelmor_arrays.PlotFileError",
        "A plot file breaks the format: its message says where and how, as kelmor's does.",
        PyExc_ValueError, nullptr);
    if (state.plot_file_error == nullptr) return -1;
    if (add_object(module, "PlotFileError", state.plot_file_error) < 0) return -1;
    if (add_types(module, state) < 0) return -1;
    PyRef all = PyRef::steal(
        Py_BuildValue("[sssss]", "Lines", "PlotData", "PlotFileError", "Values", "read"));
    if (!all || add_object(module, "__all__", all.get()) < 0) return -1;
    return 0;
}

int traverse_module(PyObject *module, visitproc visit, void *arg) {
    ModuleState *state = static_cast<ModuleState *>(PyModule_GetState(module));
    if (state == nullptr) return 0;
    Py_VISIT(state->plot_file_error);
    Py_VISIT(state->plot_data);
    Py_VISIT(state->values);
    Py_VISIT(state->lines);
    return 0;
}

int clear_module(PyObject *module) {
    ModuleState *state = static_cast<ModuleState *>(PyModule_GetState(module));
    if (state == nullptr) return 0;
    Py_CLEAR(state->plot_file_error);
    Py_CLEAR(state->plot_data);
    Py_CLEAR(state->values);
    Py_CLEAR(state->lines);
    return 0;
}

void free_module(void *module) {
    clear_module(static_cast<PyObject *>(module));
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_exec, reinterpret_cast<void *>(exec_module)},
    // Everything lives in the module's state, so each interpreter gets its own.
    {Py_mod_multiple_interpreters, Py_MOD_PER_INTERPRETER_GIL_SUPPORTED},
#ifdef Py_mod_gil
    // Safe without the global lock: read() shares nothing between calls, and its results are
    // immutable.
    {Py_mod_gil, Py_MOD_GIL_NOT_USED},
#endif
    {0, nullptr},
};

PyModuleDef module_definition = {
    PyModuleDef_HEAD_INIT,
    "kelmor_arrays",
    "Reads VALDRUM plot files into one float32 array (with the names and block headers):\n"
    "kelmor's reader without a Python float per value.",
    sizeof(ModuleState),
    module_methods,
    module_slots,
    traverse_module,
    clear_module,
    free_module,
};

} // namespace
} // namespace kelmor::arrays

PyMODINIT_FUNC PyInit_kelmor_arrays(void) {
    return PyModuleDef_Init(&kelmor::arrays::module_definition);
}
