// function.cpp: rust_read_valdrum, the fast-call entry from Python into the plot file reader.
#include <Python.h>

#include "function.hpp"

#include <array>
#include <cstdint>

#include "bind_args.hpp"
#include "convert.hpp"
#include "entry.hpp"
#include "pending_error.hpp"
#include "py_ref.hpp"
#include "reader.hpp"

namespace kelmor {

namespace {

// The first line is the text signature, cut off by the interpreter at the "--" line and the
// empty line after it; the rest is __doc__.
constexpr const char read_valdrum_doc[] =
    "rust_read_valdrum(file_path, n_digits)\n"
    "--\n"
    "\n"
    "# Reads in the valdrum file.\n"
    "\n"
    "1. First opens the\n"
    "1. Gets the number of parameters\n"
    "1. Gets the parameter names\n"
    "1. Loops over the rest of the file\n"
    "\n"
    "## VALDRUM plot file shape\n"
    "The VALDRUM data is stored in blocks per timestep with a max width of 10 columns.\n"
    "There are 2 versions of the VALDRUM plot file:\n"
    "1. 6 digits of percision, n_digits=12\n"
    "1. 9 digits of precision, n_digits=15\n"
    "\n"
    "Parameters\n"
    "----------\n"
    "file_path: &str\n"
    "    the file path\n"
    "n_digits: usize\n"
    "    the width of a datafield\n"
    "\n"
    "Returns\n"
    "-------\n"
    "all_data: Vec<Vec<f32>>\n"
    "    the data stored in a vector of columns/vectors.\n";
static_assert(sizeof(read_valdrum_doc) - 1 == 616);

const FunctionDescription read_valdrum_description = {"rust_read_valdrum",
                                                      {"file_path", "n_digits"}};

// 1. Bind the arguments. 2. Convert file_path, then n_digits; the first conversion error
// ends the call. 3. Read the file (a failure leaves through the protected region).
// 4. Convert the columns into the result.
Expected<PyRef> read_valdrum(PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    std::array<PyObject *, 2> slots{};
    if (std::optional<PendingError> error =
            extract_arguments_fastcall(read_valdrum_description, args, nargs, kwnames, slots)) {
        return std::move(*error);
    }
    Expected<std::string_view> file_path = convert_file_path(slots[0]);
    if (!file_path) return argument_extraction_error("file_path", std::move(file_path.error()));
    Expected<std::uint32_t> n_digits = convert_n_digits(slots[1]);
    if (!n_digits) return argument_extraction_error("n_digits", std::move(n_digits.error()));
    return columns_to_list(read_plot_file(*file_path, *n_digits));
}

// self is NULL: the entry is static, although the function object holds the module.
PyObject *fastcall_cfunction_with_keywords(PyObject * /*self*/, PyObject *const *args,
                                           Py_ssize_t nargs, PyObject *kwnames) noexcept {
    return run_entry<PyObject *>(nullptr, [&] { return read_valdrum(args, nargs, kwnames); });
}

} // namespace

PyMethodDef read_valdrum_method = {
    "rust_read_valdrum",
    reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(fastcall_cfunction_with_keywords)),
    METH_FASTCALL | METH_KEYWORDS | METH_STATIC, read_valdrum_doc};

} // namespace kelmor
