// Typed one- and two-dimensional array arguments.
//
// The checks run in a fixed order (type, the exporter's own refusal,
// dimensions, element type) and raise the texts users compare against:
//   "Argument 'B' has incorrect type (expected numpy.ndarray, got list)"
//   "Cannot convert list to numpy.ndarray"
//   "Buffer has wrong number of dimensions (expected 1, got 2)"
//   "Buffer dtype mismatch, expected 'FLOAT_t' but got 'float'"
//   "Item size of buffer (8 bytes) does not match size of 'INT_t' (4 bytes)"
#pragma once

#include "pyref.hpp"

namespace quenda::capi {

// The element type an array must hold: the name used in messages, its kind
// ('R' real, 'I' signed integer, 'U' unsigned integer, 'C' complex) and its size.
struct ElementType {
    const char* name;
    char kind;
    Py_ssize_t size;
};

inline constexpr ElementType FLOAT_t{"FLOAT_t", 'R', 8};
inline constexpr ElementType INT_t{"INT_t", 'I', 4};
inline constexpr ElementType UINT8_t{"UINT8_t", 'U', 1};

// numpy.ndarray, looked up once when a module loads (load_ndarray_type).
extern PyTypeObject* ndarray_type;
bool load_ndarray_type();

// Argument type test for functions: an instance of `type` or a subclass.
// None is refused as well, with the same text ("got NoneType").
bool check_arg_type(PyObject* o, PyTypeObject* type, const char* argname);

// Type test for values read from the host modules: "Cannot convert X to numpy.ndarray".
bool check_convertible(PyObject* o, PyTypeObject* type);

// Acquires o (already type-checked) as a C-contiguous buffer of `ndim`
// dimensions holding `type`; writable when asked. False with the error set.
bool take_buffer(PyObject* o, const ElementType& type, int ndim, bool writable, Buffer& out);

// Validates an already acquired buffer: dimensions, then element type.
bool check_layout(const Py_buffer& view, const ElementType& type, int ndim);

// The host array library's text for a read-only array asked to take writes.
void raise_read_only();

}  // namespace quenda::capi
