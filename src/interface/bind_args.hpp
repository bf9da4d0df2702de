// bind_args.hpp: binding of fast-call arguments to parameters, and conversion of the arguments.
#pragma once

#include <Python.h>

#include <array>
#include <cstdint>
#include <optional>
#include <string_view>

#include "pending_error.hpp"

namespace kelmor {

// What argument binding needs to know of the function: its name for the messages, and its two
// parameters, both required and each passed by position or by keyword.
struct FunctionDescription {
    const char *function_name;
    std::array<const char *, 2> parameter_names;
};

// Binds the positional arguments and the keyword arguments (values after the positional ones
// in `args`, names in `kwnames`) to one slot per parameter (borrowed references). Gives the
// TypeError of the first binding problem, or nothing when every slot is filled.
std::optional<PendingError> extract_arguments_fastcall(const FunctionDescription &description,
                                                       PyObject *const *args, Py_ssize_t nargs,
                                                       PyObject *kwnames,
                                                       std::array<PyObject *, 2> &slots);

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
