// objects.cpp: the Python types of kelmor_arrays: the result of a read, its values (exported
// through the buffer protocol) and its block header lines.
//
// Every object is immutable once made, and the buffers that the values and lines own are only
// read, so the objects need no lock of their own, with or without the interpreter lock.
#include <Python.h>

#include "objects.hpp"

#include <cstdint>
#include <new>
#include <structmember.h>
#include <utility>

#include "py_ref.hpp"

namespace kelmor::arrays {
namespace {

// ---------------------------------------------------------------------------------------
// Values: blocks x parameters binary32 values in one mapping, row by row.

struct ValuesObject {
    PyObject_HEAD MappedBuffer buffer;
    Py_ssize_t shape[2];   // blocks, parameters
    Py_ssize_t strides[2]; // bytes from one block to the next, from one parameter to the next
};

// The address that an empty buffer shows: consumers may not take a null one.
float empty_values[1];

int values_getbuffer(PyObject *self, Py_buffer *view, int flags) {
    auto *values = reinterpret_cast<ValuesObject *>(self);
    // The values are shared by every consumer and by the result: nobody may write them.
    if ((flags & PyBUF_WRITABLE) == PyBUF_WRITABLE) {
        PyErr_SetString(PyExc_BufferError, "the values of a plot file are read-only");
        view->obj = nullptr;
        return -1;
    }
    void *data = values->buffer.data();
    view->buf = data != nullptr ? data : empty_values;
    view->obj = Py_NewRef(self);
    view->len = values->shape[0] * values->shape[1] * static_cast<Py_ssize_t>(sizeof(float));
    view->readonly = 1;
    // A plain request (neither shape nor format) gets bytes.
    view->itemsize = (flags & (PyBUF_ND | PyBUF_FORMAT)) == 0 ? 1 : sizeof(float);
    view->format = (flags & PyBUF_FORMAT) == PyBUF_FORMAT ? const_cast<char *>("f") : nullptr;
    // The rows are C-contiguous, so every request can be met: without PyBUF_ND the consumer
    // takes the bytes as one run, without PyBUF_STRIDES it takes C order.
    // (A request without PyBUF_ND gets one dimension, as PyBuffer_FillInfo gives it.)
    view->ndim = (flags & PyBUF_ND) == PyBUF_ND ? 2 : 1;
    view->shape = (flags & PyBUF_ND) == PyBUF_ND ? values->shape : nullptr;
    view->strides = (flags & PyBUF_STRIDES) == PyBUF_STRIDES ? values->strides : nullptr;
    view->suboffsets = nullptr;
    view->internal = nullptr;
    return 0;
}

void values_dealloc(PyObject *self) {
    PyTypeObject *type = Py_TYPE(self);
    reinterpret_cast<ValuesObject *>(self)->buffer.~MappedBuffer();
    type->tp_free(self);
    Py_DECREF(type);
}

PyObject *values_shape(PyObject *self, void *) {
    auto *values = reinterpret_cast<ValuesObject *>(self);
    return Py_BuildValue("(nn)", values->shape[0], values->shape[1]);
}

PyObject *values_repr(PyObject *self) {
    auto *values = reinterpret_cast<ValuesObject *>(self);
    return PyUnicode_FromFormat("<kelmor_arrays.Values float32 %zd x %zd, read-only>",
                                values->shape[0], values->shape[1]);
}

PyGetSetDef values_getset[] = {
    {"shape", values_shape, nullptr, PyDoc_STR("(blocks, parameters): one row per timestep block."),
     nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot values_slots[] = {
    {Py_tp_doc, const_cast<char *>(PyDoc_STR(
                    "The values of a plot file: a read-only, C-contiguous 2-D float32 buffer of\n"
                    "shape (blocks, parameters), exported through the buffer protocol:\n"
                    "numpy.asarray(values) and memoryview(values) share it without a copy."))},
    {Py_tp_dealloc, reinterpret_cast<void *>(values_dealloc)},
    {Py_tp_repr, reinterpret_cast<void *>(values_repr)},
    {Py_tp_getset, values_getset},
    {Py_bf_getbuffer, reinterpret_cast<void *>(values_getbuffer)},
    {0, nullptr},
};

PyType_Spec values_spec = {
    "kelmor_arrays.Values",
    sizeof(ValuesObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    values_slots,
};

// ---------------------------------------------------------------------------------------
// Lines: the block header lines, kept as the reader keeps them (one text and the end of each
// line), each made a str only when asked for: a file of a million blocks would otherwise make
// a million str objects, which cost more time and memory than its values.

struct LinesObject {
    PyObject_HEAD MappedBuffer text;
    MappedBuffer ends;
    Py_ssize_t count;
};

PyObject *line_at(const LinesObject *lines, Py_ssize_t index) {
    const auto *ends = static_cast<const std::uint64_t *>(lines->ends.data());
    const std::uint64_t begin = index == 0 ? 0 : ends[index - 1];
    // The reader checked every line as UTF-8.
    return PyUnicode_DecodeUTF8(static_cast<const char *>(lines->text.data()) + begin,
                                static_cast<Py_ssize_t>(ends[index] - begin), "strict");
}

Py_ssize_t lines_length(PyObject *self) {
    return reinterpret_cast<LinesObject *>(self)->count;
}

PyObject *lines_item(PyObject *self, Py_ssize_t index) {
    auto *lines = reinterpret_cast<LinesObject *>(self);
    if (index < 0 || index >= lines->count) {
        PyErr_SetString(PyExc_IndexError, "Lines index out of range");
        return nullptr;
    }
    return line_at(lines, index);
}

PyObject *lines_subscript(PyObject *self, PyObject *key) {
    auto *lines = reinterpret_cast<LinesObject *>(self);
    if (PySlice_Check(key)) {
        Py_ssize_t start = 0, stop = 0, step = 0;
        if (PySlice_Unpack(key, &start, &stop, &step) < 0) return nullptr;
        const Py_ssize_t length = PySlice_AdjustIndices(lines->count, &start, &stop, step);
        PyRef list = PyRef::steal(PyList_New(length));
        if (!list) return nullptr;
        for (Py_ssize_t i = 0, index = start; i < length; ++i, index += step) {
            PyObject *line = line_at(lines, index);
            if (line == nullptr) return nullptr;
            PyList_SET_ITEM(list.get(), i, line);
        }
        return list.release();
    }
    Py_ssize_t index = PyNumber_AsSsize_t(key, PyExc_IndexError);
    if (index == -1 && PyErr_Occurred()) return nullptr;
    if (index < 0) index += lines->count;
    return lines_item(self, index);
}

void lines_dealloc(PyObject *self) {
    PyTypeObject *type = Py_TYPE(self);
    auto *lines = reinterpret_cast<LinesObject *>(self);
    lines->text.~MappedBuffer();
    lines->ends.~MappedBuffer();
    type->tp_free(self);
    Py_DECREF(type);
}

PyObject *lines_repr(PyObject *self) {
    return PyUnicode_FromFormat("<kelmor_arrays.Lines of %zd block headers>",
                                reinterpret_cast<LinesObject *>(self)->count);
}

PyType_Slot lines_slots[] = {
    {Py_tp_doc, const_cast<char *>(PyDoc_STR(
                    "The header line of each timestep block, without its line end: an immutable\n"
                    "sequence of str, each made when it is asked for (list(lines) makes all)."))},
    {Py_tp_dealloc, reinterpret_cast<void *>(lines_dealloc)},
    {Py_tp_repr, reinterpret_cast<void *>(lines_repr)},
    {Py_sq_length, reinterpret_cast<void *>(lines_length)},
    {Py_sq_item, reinterpret_cast<void *>(lines_item)},
    {Py_mp_length, reinterpret_cast<void *>(lines_length)},
    {Py_mp_subscript, reinterpret_cast<void *>(lines_subscript)},
    {0, nullptr},
};

PyType_Spec lines_spec = {
    "kelmor_arrays.Lines",
    sizeof(LinesObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION |
        Py_TPFLAGS_SEQUENCE,
    lines_slots,
};

// ---------------------------------------------------------------------------------------
// PlotData: what read() gives.

struct PlotDataObject {
    PyObject_HEAD PyObject *names; // list of str
    PyObject *block_headers;       // Lines
    PyObject *values;              // Values
};

int plot_data_traverse(PyObject *self, visitproc visit, void *arg) {
    auto *data = reinterpret_cast<PlotDataObject *>(self);
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(data->names);
    Py_VISIT(data->block_headers);
    Py_VISIT(data->values);
    return 0;
}

int plot_data_clear(PyObject *self) {
    auto *data = reinterpret_cast<PlotDataObject *>(self);
    Py_CLEAR(data->names);
    Py_CLEAR(data->block_headers);
    Py_CLEAR(data->values);
    return 0;
}

void plot_data_dealloc(PyObject *self) {
    PyTypeObject *type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    plot_data_clear(self);
    type->tp_free(self);
    Py_DECREF(type);
}

PyObject *plot_data_repr(PyObject *self) {
    auto *data = reinterpret_cast<PlotDataObject *>(self);
    return PyUnicode_FromFormat("<kelmor_arrays.PlotData: %zd parameters, %zd blocks>",
                                PyList_GET_SIZE(data->names),
                                reinterpret_cast<LinesObject *>(data->block_headers)->count);
}

PyMemberDef plot_data_members[] = {
    {"names", Py_T_OBJECT_EX, offsetof(PlotDataObject, names), Py_READONLY,
     PyDoc_STR("The parameter names, each the last word of its name line, in file order.")},
    {"block_headers", Py_T_OBJECT_EX, offsetof(PlotDataObject, block_headers), Py_READONLY,
     PyDoc_STR("The header line of each timestep block, without its line end.")},
    {"values", Py_T_OBJECT_EX, offsetof(PlotDataObject, values), Py_READONLY,
     PyDoc_STR("The values: float32, shape (blocks, parameters), read-only.")},
    {nullptr, 0, 0, 0, nullptr},
};

PyType_Slot plot_data_slots[] = {
    {Py_tp_doc, const_cast<char *>(PyDoc_STR(
                    "A plot file read by kelmor_arrays.read: names, block_headers and values."))},
    {Py_tp_dealloc, reinterpret_cast<void *>(plot_data_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void *>(plot_data_traverse)},
    {Py_tp_clear, reinterpret_cast<void *>(plot_data_clear)},
    {Py_tp_repr, reinterpret_cast<void *>(plot_data_repr)},
    {Py_tp_members, plot_data_members},
    {0, nullptr},
};

PyType_Spec plot_data_spec = {
    "kelmor_arrays.PlotData",
    sizeof(PlotDataObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_IMMUTABLETYPE |
        Py_TPFLAGS_DISALLOW_INSTANTIATION,
    plot_data_slots,
};

PyTypeObject *add_type(PyObject *module, PyType_Spec *spec) {
    PyObject *type = PyType_FromModuleAndSpec(module, spec, nullptr);
    if (type == nullptr) return nullptr;
    PyRef name = PyRef::steal(PyType_GetName(reinterpret_cast<PyTypeObject *>(type)));
    if (!name || PyObject_SetAttr(module, name.get(), type) < 0) {
        Py_DECREF(type);
        return nullptr;
    }
    return reinterpret_cast<PyTypeObject *>(type);
}

PyObject *new_names(const Names &names) {
    PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(names.size())));
    if (!list) return nullptr;
    for (std::size_t i = 0; i < names.size(); ++i) {
        PyObject *name = PyUnicode_DecodeUTF8(names[i].data(),
                                              static_cast<Py_ssize_t>(names[i].size()), "strict");
        if (name == nullptr) return nullptr;
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), name);
    }
    return list.release();
}

} // namespace

int add_object(PyObject *module, const char *name, PyObject *value) {
    PyRef key = PyRef::steal(PyUnicode_FromString(name));
    if (!key) return -1;
    return PyObject_SetAttr(module, key.get(), value);
}

int add_types(PyObject *module, ModuleState &state) {
    state.values = add_type(module, &values_spec);
    if (state.values == nullptr) return -1;
    state.lines = add_type(module, &lines_spec);
    if (state.lines == nullptr) return -1;
    state.plot_data = add_type(module, &plot_data_spec);
    if (state.plot_data == nullptr) return -1;
    return 0;
}

PyObject *new_plot_data(const ModuleState &state, PlotRows &rows) {
    PyRef names = PyRef::steal(new_names(rows.names));
    if (!names) return nullptr;

    PyRef values = PyRef::steal(state.values->tp_alloc(state.values, 0));
    if (!values) return nullptr;
    auto *values_object = reinterpret_cast<ValuesObject *>(values.get());
    new (&values_object->buffer) MappedBuffer(std::move(rows.values));
    const auto count = static_cast<Py_ssize_t>(rows.names.size());
    values_object->shape[0] = static_cast<Py_ssize_t>(rows.blocks);
    values_object->shape[1] = count;
    values_object->strides[0] = count * static_cast<Py_ssize_t>(sizeof(float));
    values_object->strides[1] = sizeof(float);

    PyRef lines = PyRef::steal(state.lines->tp_alloc(state.lines, 0));
    if (!lines) return nullptr;
    auto *lines_object = reinterpret_cast<LinesObject *>(lines.get());
    new (&lines_object->text) MappedBuffer(std::move(rows.header_text));
    new (&lines_object->ends) MappedBuffer(std::move(rows.header_ends));
    lines_object->count = static_cast<Py_ssize_t>(rows.blocks);

    PyRef data = PyRef::steal(state.plot_data->tp_alloc(state.plot_data, 0));
    if (!data) return nullptr;
    auto *data_object = reinterpret_cast<PlotDataObject *>(data.get());
    data_object->names = names.release();
    data_object->block_headers = lines.release();
    data_object->values = values.release();
    return data.release();
}

} // namespace kelmor::arrays
