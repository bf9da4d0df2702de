// bind_args.cpp: binding of fast-call arguments to parameters, and conversion of the arguments.
#include <Python.h>

#include "bind_args.hpp"

#include <algorithm>
#include <limits>
#include <utility>
#include <vector>

namespace kelmor {

namespace {

// 'a'; 'a' and 'b'; 'a', 'b', and 'c'.
std::string name_list(const std::vector<const char *> &names) {
    std::string text;
    for (std::size_t i = 0; i < names.size(); ++i) {
        if (i > 0) {
            if (names.size() > 2) text += ",";
            text += i + 1 == names.size() ? " and " : " ";
        }
        text += concat({"'", names[i], "'"});
    }
    return text;
}

PendingError too_many_positional(const FunctionDescription &description, Py_ssize_t nargs) {
    std::size_t positional = description.positional_names.size();
    std::string accepted =
        description.required_positional == positional
            ? std::to_string(positional)
            : concat({"from ", std::to_string(description.required_positional), " to ",
                      std::to_string(positional)});
    return PendingError::lazy(
        PyExc_TypeError,
        concat({description.full_name(), " takes ", accepted, " positional arguments but ",
                std::to_string(nargs), " ", nargs == 1 ? "was" : "were", " given"}));
}

PendingError unexpected_keyword(const FunctionDescription &description, PyObject *name) {
    return PendingError::lazy(PyExc_TypeError,
                              concat({description.full_name(),
                                      " got an unexpected keyword argument '", object_text(name),
                                      "'"}));
}

PendingError multiple_values(const FunctionDescription &description, const char *name) {
    return PendingError::lazy(
        PyExc_TypeError,
        concat({description.full_name(), " got multiple values for argument '", name, "'"}));
}

PendingError missing_positional(const FunctionDescription &description,
                                const std::vector<const char *> &names) {
    return PendingError::lazy(
        PyExc_TypeError,
        concat({description.full_name(), " missing ", std::to_string(names.size()),
                " required positional ", names.size() == 1 ? "argument" : "arguments", ": ",
                name_list(names)}));
}

// The conversion error of an argument of the wrong type.
PendingError not_an_instance(PyObject *object, const char *expected) {
    if (object == Py_None) {
        return PendingError::lazy(PyExc_TypeError,
                                  concat({"'None' is not an instance of '", expected, "'"}));
    }
    return PendingError::lazy(PyExc_TypeError,
                              concat({"'", qualified_type_name(Py_TYPE(object)),
                                      "' object is not an instance of '", expected, "'"}));
}

} // namespace

std::string FunctionDescription::full_name() const {
    if (class_name == nullptr) return concat({function_name, "()"});
    return concat({class_name, ".", function_name, "()"});
}

std::optional<PendingError> extract_arguments_fastcall(const FunctionDescription &description,
                                                       PyObject *const *args, Py_ssize_t nargs,
                                                       PyObject *kwnames,
                                                       std::span<PyObject *> slots) {
    // 1. Positional arguments fill the first slots in order; more than there are parameters
    //    is an error at once, whatever keywords follow.
    // 2. Each keyword, in call order, goes to the parameter of its exact (case-sensitive)
    //    name; a filled slot or an unknown name ends binding with its error.
    // 3. Every slot left empty is listed, in parameter order, in one missing-arguments error.
    std::size_t positional = description.positional_names.size();
    std::size_t given = static_cast<std::size_t>(nargs);
    for (std::size_t i = 0; i < std::min(given, positional); ++i) slots[i] = args[i];
    if (given > positional) return too_many_positional(description, nargs);

    if (kwnames != nullptr) {
        Py_ssize_t count = PyTuple_GET_SIZE(kwnames);
        for (Py_ssize_t k = 0; k < count; ++k) {
            PyObject *name = PyTuple_GET_ITEM(kwnames, k);
            Py_ssize_t size = 0;
            const char *utf8 = PyUnicode_AsUTF8AndSize(name, &size);
            if (utf8 == nullptr) {
                // A name with lone surrogates matches no parameter.
                PyErr_Clear();
                return unexpected_keyword(description, name);
            }
            std::string_view text(utf8, static_cast<std::size_t>(size));
            std::size_t index = 0;
            while (index < positional && text != description.positional_names[index]) ++index;
            if (index == positional) return unexpected_keyword(description, name);
            if (slots[index] != nullptr) {
                return multiple_values(description, description.positional_names[index]);
            }
            slots[index] = args[nargs + k];
        }
    }

    std::vector<const char *> missing;
    for (std::size_t i = 0; i < description.required_positional; ++i) {
        if (slots[i] == nullptr) missing.push_back(description.positional_names[i]);
    }
    if (!missing.empty()) return missing_positional(description, missing);
    return std::nullopt;
}

Expected<std::string_view> convert_file_path(PyObject *object) {
    if (!PyUnicode_Check(object)) return not_an_instance(object, "str");
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
