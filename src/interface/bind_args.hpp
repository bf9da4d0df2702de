// bind_args.hpp: binding of fast-call arguments to parameters, and conversion of the arguments.
#pragma once

#include <Python.h>

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "surface.hpp"

namespace kelmor {

// What argument binding needs to know of a function's parameters.
struct FunctionDescription {
    const char *function_name;
    const char *class_name; // nullptr for a function of no class
    std::span<const char *const> positional_names;
    std::size_t required_positional;

    // The name shown in argument messages: "f()" or "C.f()".
    std::string full_name() const;
};

// Binds the positional arguments and the keyword arguments (values after the positional ones
// in `args`, names in `kwnames`) to one slot per positional parameter (borrowed references).
// Gives the TypeError of the first binding problem, or nothing when every slot is filled.
std::optional<PendingError> extract_arguments_fastcall(const FunctionDescription &description,
                                                       PyObject *const *args, Py_ssize_t nargs,
                                                       PyObject *kwnames,
                                                       std::span<PyObject *> slots);

// A str argument as UTF-8 bytes owned (and cached) by the str object itself: valid while the
// caller holds the object.
Expected<std::string_view> convert_file_path(PyObject *object);
// An integer argument, through __index__ where needed, as an unsigned 32-bit value.
Expected<std::uint32_t> convert_n_digits(PyObject *object);

// A conversion error as the caller sees it: an exact TypeError is replaced by one whose
// message names the parameter ("argument 'name': ..."), keeping its cause; any other error
// passes unchanged.
PendingError argument_extraction_error(const char *parameter_name, PendingError error);

} // namespace kelmor
