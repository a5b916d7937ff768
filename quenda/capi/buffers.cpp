#include "buffers.hpp"

#include <bit>

namespace quenda::capi {

static_assert(std::endian::native == std::endian::little,
              "the buffer checks assume a little-endian platform");

PyTypeObject* ndarray_type = nullptr;

bool load_ndarray_type() {
    if (ndarray_type) return true;
    Ref numpy = Ref::steal(PyImport_ImportModule("numpy"));
    if (!numpy) return false;
    Ref type = Ref::steal(PyObject_GetAttrString(numpy.get(), "ndarray"));
    if (!type) return false;
    if (!PyType_Check(type.get())) {
        PyErr_SetString(PyExc_ImportError, "numpy.ndarray is not a type");
        return false;
    }
    ndarray_type = reinterpret_cast<PyTypeObject*>(type.release());  // kept for the process
    return true;
}

bool check_arg_type(PyObject* o, PyTypeObject* type, const char* argname) {
    if (o != Py_None && PyObject_TypeCheck(o, type)) return true;
    PyErr_Format(PyExc_TypeError,
                 "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)",
                 argname, type->tp_name, Py_TYPE(o)->tp_name);
    return false;
}

bool check_convertible(PyObject* o, PyTypeObject* type) {
    if (o != Py_None && PyObject_TypeCheck(o, type)) return true;
    PyErr_Format(PyExc_TypeError, "Cannot convert %.200s to %.200s",
                 Py_TYPE(o)->tp_name, type->tp_name);
    return false;
}

namespace {

// How a buffer format character is named in messages.
const char* describe(char c, bool complex) {
    switch (c) {
        case '?': return "'bool'";
        case 'c': return "'char'";
        case 'b': return "'signed char'";
        case 'B': return "'unsigned char'";
        case 'h': return "'short'";
        case 'H': return "'unsigned short'";
        case 'i': return "'int'";
        case 'I': return "'unsigned int'";
        case 'l': return "'long'";
        case 'L': return "'unsigned long'";
        case 'q': return "'long long'";
        case 'Q': return "'unsigned long long'";
        case 'f': return complex ? "'complex float'" : "'float'";
        case 'd': return complex ? "'complex double'" : "'double'";
        case 'g': return complex ? "'complex long double'" : "'long double'";
        case 'T': return "a struct";
        case 'O': return "Python object";
        case 'P': return "a pointer";
        case 's': case 'p': return "a string";
        case 0: return "end";
        default: return nullptr;
    }
}

// Kind of a format character ('H' marks char, which matches any one-byte type).
char kind_of(char c, bool complex) {
    switch (c) {
        case 'c': return 'H';
        case 'b': case 'h': case 'i': case 'l': case 'q': case 's': case 'p': return 'I';
        case '?': case 'B': case 'H': case 'I': case 'L': case 'Q': return 'U';
        case 'f': case 'd': case 'g': return complex ? 'C' : 'R';
        default: return c;  // 'O', 'P', 'T': kinds no element type has
    }
}

// Size of a format character, native ('@') or standard ('=', '<').
Py_ssize_t size_of(char c, bool standard) {
    switch (c) {
        case 'c': case 'b': case 'B': case '?': case 's': case 'p': return 1;
        case 'h': case 'H': return 2;
        case 'i': case 'I': return 4;
        case 'l': case 'L': return standard ? 4 : sizeof(long);
        case 'q': case 'Q': return 8;
        case 'f': return 4;
        case 'd': return 8;
        case 'g': return sizeof(long double);
        default: return sizeof(void*);
    }
}

bool dtype_mismatch(const ElementType& type, char got, bool complex) {
    PyErr_Format(PyExc_ValueError, "Buffer dtype mismatch, expected %s%s%s but got %s",
                 "'", type.name, "'", describe(got, complex));
    return false;
}

bool check_format(const char* f, const ElementType& type) {
    bool standard = false;
    switch (*f) {
        case '@': case '^': ++f; break;
        case '=': case '<': standard = true; ++f; break;
        case '>': case '!':
            PyErr_SetString(PyExc_ValueError,
                            "Big-endian buffer not supported on little-endian compiler");
            return false;
        default: break;
    }
    while (*f >= '0' && *f <= '9') ++f;  // a repeat count of one item
    bool complex = false;
    if (*f == 'Z') { complex = true; ++f; }
    char c = *f;
    if (!describe(c, complex)) {
        PyErr_Format(PyExc_ValueError,
                     "Does not understand character buffer dtype format string ('%c')", c);
        return false;
    }
    if (c == 0) return dtype_mismatch(type, c, complex);
    char kind = kind_of(c, complex);
    Py_ssize_t size = size_of(c, standard) * (complex ? 2 : 1);
    bool same = kind == type.kind && size == type.size;
    if (!same && !(kind == 'H' && size == type.size)) return dtype_mismatch(type, c, complex);
    char next = f[1];
    if (next != 0) {
        const char* what = describe(next, false);
        PyErr_Format(PyExc_ValueError, "Buffer dtype mismatch, expected %s%s%s but got %s",
                     "", "end", "", what ? what : "unparsable format string");
        return false;
    }
    return true;
}

}  // namespace

bool check_layout(const Py_buffer& view, const ElementType& type, int ndim) {
    if (view.ndim != ndim) {
        PyErr_Format(PyExc_ValueError,
                     "Buffer has wrong number of dimensions (expected %d, got %d)", ndim,
                     view.ndim);
        return false;
    }
    if (!check_format(view.format ? view.format : "B", type)) return false;
    if (view.itemsize != type.size) {
        PyErr_Format(PyExc_ValueError,
                     "Item size of buffer (%zd byte%s) does not match size of '%s' (%zd byte%s)",
                     view.itemsize, view.itemsize == 1 ? "" : "s", type.name, type.size,
                     type.size == 1 ? "" : "s");
        return false;
    }
    return true;
}

bool take_buffer(PyObject* o, const ElementType& type, int ndim, bool writable, Buffer& out) {
    int flags = PyBUF_FORMAT | PyBUF_C_CONTIGUOUS | (writable ? PyBUF_WRITABLE : 0);
    if (!out.acquire(o, flags)) return false;
    if (!check_layout(out.view(), type, ndim)) { out.release(); return false; }
    return true;
}

void raise_read_only() {
    PyErr_SetString(PyExc_ValueError, "buffer source array is read-only");
}

}  // namespace quenda::capi
