#include "convert.hpp"

#include <climits>

namespace quenda::capi {

bool to_long(PyObject* o, long* out) {
    Ref converted;
    if (!PyLong_Check(o)) {
        PyNumberMethods* nb = Py_TYPE(o)->tp_as_number;
        if (!nb || !nb->nb_int) {
            PyErr_SetString(PyExc_TypeError, "an integer is required");
            return false;
        }
        converted = Ref::steal(nb->nb_int(o));
        if (!converted) return false;
        if (!PyLong_Check(converted.get())) {
            PyErr_Format(PyExc_TypeError, "__int__ returned non-int (type %.200s)",
                         Py_TYPE(converted.get())->tp_name);
            return false;
        }
        o = converted.get();
    }
    long v = PyLong_AsLong(o);  // beyond a C long: the interpreter's own OverflowError
    if (v == -1 && PyErr_Occurred()) return false;
    *out = v;
    return true;
}

bool to_int32(PyObject* o, int32_t* out) {
    long v;
    if (!to_long(o, &v)) return false;
    if (v < INT32_MIN || v > INT32_MAX) {
        PyErr_SetString(PyExc_OverflowError, "value too large to convert to int");
        return false;
    }
    *out = static_cast<int32_t>(v);
    return true;
}

Ref item(PyObject* seq, Py_ssize_t k) {
    if (PyList_CheckExact(seq)) {
        if (k >= PyList_GET_SIZE(seq)) {
            PyErr_SetString(PyExc_IndexError, "list index out of range");
            return {};
        }
        return Ref::borrow(PyList_GET_ITEM(seq, k));
    }
    if (PyTuple_CheckExact(seq)) {
        if (k >= PyTuple_GET_SIZE(seq)) {
            PyErr_SetString(PyExc_IndexError, "tuple index out of range");
            return {};
        }
        return Ref::borrow(PyTuple_GET_ITEM(seq, k));
    }
    PySequenceMethods* sq = Py_TYPE(seq)->tp_as_sequence;
    if (sq && sq->sq_item) return Ref::steal(sq->sq_item(seq, k));
    Ref key = Ref::steal(PyLong_FromSsize_t(k));
    if (!key) return {};
    return Ref::steal(PyObject_GetItem(seq, key.get()));
}

bool item_as_double(PyObject* seq, Py_ssize_t k, double* out) {
    Ref v = item(seq, k);
    return v && to_double(v.get(), out);
}

}  // namespace quenda::capi
