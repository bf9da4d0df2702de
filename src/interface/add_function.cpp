// add_function.cpp: a function object added to a module: named in __all__, bound as an attribute.
#include <Python.h>

#include "add_function.hpp"

#include <string_view>
#include <utility>

#include "failure.hpp"
#include "object_text.hpp"
#include "once.hpp"
#include "py_ref.hpp"

namespace kelmor {

namespace {

constinit OnceObject g_name_string;
constinit OnceObject g_all_string;

PyObject *make_interned(std::string_view text) {
    PyObject *name = PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
    if (name == nullptr) raise_null_result();
    PyUnicode_InternInPlace(&name);
    return name;
}

// The interned names "__name__" and "__all__" (borrowed references), process-wide objects.
PyObject *name_string() {
    return g_name_string.get([] { return make_interned("__name__"); });
}

PyObject *all_string() {
    return g_all_string.get([] { return make_interned("__all__"); });
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

} // namespace

std::optional<PendingError> add_function(PyObject *module, PyObject *function) {
    PyRef name = PyRef::steal(PyObject_GetAttr(function, name_string()));
    if (!name) return take_pending_error();
    if (!PyUnicode_Check(name.get())) return not_an_instance(name.get(), "str");
    {
        Expected<PyRef> all = all_list(module);
        if (!all) return std::move(all.error());
        if (PyList_Append(all.value().get(), name.get()) < 0) {
            PendingError error = take_pending_error();
            raise_failure(
                concat({"could not append __name__ to __all__: ", debug_description(error)}));
        }
    }
    if (PyObject_SetAttr(module, name.get(), function) < 0) return take_pending_error();
    return std::nullopt;
}

} // namespace kelmor
