// bind_args.cpp: binding of fast-call arguments to parameters, and conversion of the arguments.
#include <Python.h>

#include "bind_args.hpp"

#include <algorithm>
#include <limits>
#include <string>
#include <utility>

#include "object_text.hpp"

namespace kelmor {

namespace {

// The name shown in argument messages.
std::string full_name(const FunctionDescription &description) {
    return concat({description.function_name, "()"});
}

// Only reached with three or more arguments, so always "were".
PendingError too_many_positional(const FunctionDescription &description, Py_ssize_t nargs) {
    return PendingError::lazy(
        PyExc_TypeError,
        concat({full_name(description), " takes ",
                std::to_string(description.parameter_names.size()), " positional arguments but ",
                std::to_string(nargs), " were given"}));
}

PendingError unexpected_keyword(const FunctionDescription &description, PyObject *name) {
    return PendingError::lazy(
        PyExc_TypeError, concat({full_name(description), " got an unexpected keyword argument '",
                                 object_text(name), "'"}));
}

PendingError multiple_values(const FunctionDescription &description, const char *name) {
    return PendingError::lazy(
        PyExc_TypeError,
        concat({full_name(description), " got multiple values for argument '", name, "'"}));
}

// One or both parameters are missing: "'a'" or "'a' and 'b'".
PendingError missing_positional(const FunctionDescription &description,
                                const std::array<PyObject *, 2> &slots) {
    const auto &names = description.parameter_names;
    const bool both = slots[0] == nullptr && slots[1] == nullptr;
    const std::string list = both ? concat({"'", names[0], "' and '", names[1], "'"})
                                  : concat({"'", names[slots[0] == nullptr ? 0 : 1], "'"});
    return PendingError::lazy(
        PyExc_TypeError,
        concat({full_name(description), " missing ", both ? "2" : "1", " required positional ",
                both ? "arguments" : "argument", ": ", list}));
}

} // namespace

std::optional<PendingError> extract_arguments_fastcall(const FunctionDescription &description,
                                                       PyObject *const *args, Py_ssize_t nargs,
                                                       PyObject *kwnames,
                                                       std::array<PyObject *, 2> &slots) {
    // 1. Positional arguments fill the first slots in order; more than there are parameters
    //    is an error at once, whatever keywords follow.
    // 2. Each keyword, in call order, goes to the parameter of its exact (case-sensitive)
    //    name; a filled slot or an unknown name ends binding with its error.
    // 3. Every slot left empty is listed, in parameter order, in one missing-arguments error.
    const std::size_t count = slots.size();
    const auto given = static_cast<std::size_t>(nargs);
    for (std::size_t i = 0; i < std::min(given, count); ++i) slots[i] = args[i];
    if (given > count) return too_many_positional(description, nargs);

    if (kwnames != nullptr) {
        const Py_ssize_t keywords = PyTuple_GET_SIZE(kwnames);
        for (Py_ssize_t k = 0; k < keywords; ++k) {
            PyObject *name = PyTuple_GET_ITEM(kwnames, k);
            Py_ssize_t size = 0;
            const char *utf8 = PyUnicode_AsUTF8AndSize(name, &size);
            if (utf8 == nullptr) {
                // A name with lone surrogates matches no parameter.
                PyErr_Clear();
                return unexpected_keyword(description, name);
            }
            const std::string_view text(utf8, static_cast<std::size_t>(size));
            std::size_t index = 0;
            while (index < count && text != description.parameter_names[index]) ++index;
            if (index == count) return unexpected_keyword(description, name);
            if (slots[index] != nullptr) {
                return multiple_values(description, description.parameter_names[index]);
            }
            slots[index] = args[nargs + k];
        }
    }

    if (slots[0] == nullptr || slots[1] == nullptr) return missing_positional(description, slots);
    return std::nullopt;
}

Expected<std::string_view> convert_file_path(PyObject *object) {
    if (!PyUnicode_Check(object)) {
        // None has a message of its own, without the word "object".
        if (object == Py_None) {
            return PendingError::lazy(PyExc_TypeError, "'None' is not an instance of 'str'");
        }
        return not_an_instance(object, "str");
    }
    Py_ssize_t size = 0;
    const char *utf8 = PyUnicode_AsUTF8AndSize(object, &size);
    if (utf8 == nullptr) return take_pending_error();
    return std::string_view(utf8, static_cast<std::size_t>(size));
}

Expected<std::uint32_t> convert_n_digits(PyObject *object) {
    PyRef index;
    PyObject *number = object;
    if (!PyLong_Check(object)) {
        index = PyRef::steal(PyNumber_Index(object));
        if (!index) return take_pending_error();
        number = index.get();
    }
    unsigned long long value = PyLong_AsUnsignedLongLong(number);
    // All ones is also the valid value 2^64 - 1; only a pending exception makes it an error.
    if (value == std::numeric_limits<unsigned long long>::max() && PyErr_Occurred() != nullptr) {
        return take_pending_error();
    }
    if (value > std::numeric_limits<std::uint32_t>::max()) {
        return PendingError::lazy(PyExc_OverflowError,
                                  "out of range integral type conversion attempted");
    }
    return static_cast<std::uint32_t>(value);
}

PendingError argument_extraction_error(const char *parameter_name, PendingError error) {
    PyObject *value = error.instantiate();
    if (Py_TYPE(value) != reinterpret_cast<PyTypeObject *>(PyExc_TypeError)) return error;
    PendingError prefixed = PendingError::lazy(
        PyExc_TypeError, concat({"argument '", parameter_name, "': ", object_text(value)}));
    PyObject *cause = PyException_GetCause(value); // new reference, handed to SetCause
    PyException_SetCause(prefixed.instantiate(), cause);
    return prefixed;
}

} // namespace kelmor
