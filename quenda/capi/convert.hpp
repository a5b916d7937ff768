// Conversions of host values to the kernel's numbers, with the texts users
// see when a value does not fit.
#pragma once

#include "pyref.hpp"

#include <cstdint>

namespace quenda::capi {

// An int (or subclass) as it is, anything else through its __int__ (floats
// truncate toward zero). Errors: "an integer is required", "value too large
// to convert to int", or the interpreter's own message beyond a C long.
bool to_int32(PyObject* o, int32_t* out);

// The same rules for a C long ("Python int too large to convert to C long").
bool to_long(PyObject* o, long* out);

// An exact float read directly, anything else through the interpreter's float conversion.
inline bool to_double(PyObject* o, double* out) {
    if (PyFloat_CheckExact(o)) { *out = PyFloat_AS_DOUBLE(o); return true; }
    double v = PyFloat_AsDouble(o);
    if (v == -1.0 && PyErr_Occurred()) return false;
    *out = v;
    return true;
}

// Item k of a host sequence: lists and tuples directly (with the usual
// IndexError past the end), other objects through their sequence item
// access, or else their generic item access with the integer k.
Ref item(PyObject* seq, Py_ssize_t k);

// to_double(item(seq, k)).
bool item_as_double(PyObject* seq, Py_ssize_t k, double* out);

}  // namespace quenda::capi
