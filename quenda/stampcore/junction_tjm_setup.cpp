// Set-up of a tunnel junction from the host's table of kernel terms.
//
// qdconfig.tjm_models[name] is (A, B, P), sequences of complex numbers with
// one entry per term. The set-up scales them by the junction's parameters:
//
//   P_k <- P_k * wvg / 2                          exponents in the junction's time unit
//   A_k <- A_k / Sum_m Re(A_m / P_m)  (scaled P)   so that a constant phase carries Ic sin(phi)
//   B_k <- B_k * wvg * (wrrat - 1) / (2 wvrat)
//   sgw  = 1 / (wvg * wvrat)
//
// The history is left alone: the next BuildStaticMatrix starts it afresh.
#include "junction_tjm.hpp"

#include "kernel.hpp"

#include "../capi/convert.hpp"

#include <utility>

namespace quenda::stampcore {
namespace {

using capi::Ref;

// Unpacks a table entry into exactly three values (new references in out).
bool unpack3(PyObject* entry, Ref out[3]) {
    if (PyTuple_CheckExact(entry) || PyList_CheckExact(entry)) {
        const Py_ssize_t n = PySequence_Fast_GET_SIZE(entry);
        if (n == 3) {
            for (int k = 0; k < 3; ++k) out[k] = Ref::borrow(PySequence_Fast_GET_ITEM(entry, k));
            return true;
        }
        if (n > 3)
            PyErr_Format(PyExc_ValueError, "too many values to unpack (expected %zd)",
                         Py_ssize_t{3});
        else
            PyErr_Format(PyExc_ValueError, "need more than %zd value%.1s to unpack", n,
                         n == 1 ? "" : "s");
        return false;
    }
    Ref it = Ref::steal(PyObject_GetIter(entry));
    if (!it) return false;
    for (Py_ssize_t k = 0; k < 3; ++k) {
        out[k] = Ref::steal(PyIter_Next(it.get()));
        if (out[k]) continue;
        if (!PyErr_Occurred())
            PyErr_Format(PyExc_ValueError, "need more than %zd value%.1s to unpack", k,
                         k == 1 ? "" : "s");
        return false;
    }
    if (Ref extra = Ref::steal(PyIter_Next(it.get()))) {
        PyErr_Format(PyExc_ValueError, "too many values to unpack (expected %zd)", Py_ssize_t{3});
        return false;
    }
    return !PyErr_Occurred();
}

// A coefficient: any object with float-convertible real and imag attributes.
bool to_complex(PyObject* z, cplx* out) {
    double part[2];
    const char* names[2] = {"real", "imag"};
    for (int k = 0; k < 2; ++k) {
        Ref v = Ref::steal(PyObject_GetAttrString(z, names[k]));
        if (!v || !capi::to_double(v.get(), &part[k])) return false;
    }
    *out = cplx(part[0], part[1]);
    return true;
}

// The junction holds at most kMaxTjmTerms terms, and every term needs its B and P.
bool check_terms(PyObject* name, PyObject* a, PyObject* b, PyObject* p, Py_ssize_t* terms) {
    const Py_ssize_t na = PyObject_Length(a);
    if (na < 0) return false;
    if (na > kMaxTjmTerms) {
        PyErr_Format(PyExc_ValueError, "TJM model %R: A has %zd terms, more than the %d a "
                     "junction holds", name, na, kMaxTjmTerms);
        return false;
    }
    const std::pair<PyObject*, const char*> others[] = {{b, "B"}, {p, "P"}};
    for (auto [seq, label] : others) {
        const Py_ssize_t n = PyObject_Length(seq);
        if (n < 0) return false;
        if (n < na) {
            PyErr_Format(PyExc_ValueError, "TJM model %R: %s has %zd entries, fewer than the "
                         "%zd terms of A", name, label, n, na);
            return false;
        }
    }
    *terms = na;
    return true;
}

// Raises Exception(b"Unknown TJM model: " + name.encode()).
void raise_unknown(PyObject* name) {
    Ref encoded = Ref::steal(PyObject_CallMethod(name, "encode", nullptr));
    if (!encoded) return;
    Ref text = Ref::steal(PyBytes_FromString("Unknown TJM model: "));
    if (!text) return;
    PyObject* joined = text.release();
    PyBytes_Concat(&joined, encoded.get());  // steals `joined`, null on failure
    Ref message = Ref::steal(joined);
    if (!message) return;
    Ref error = Ref::steal(PyObject_CallOneArg(PyExc_Exception, message.get()));
    if (error) PyErr_SetObject(PyExc_Exception, error.get());
}

}  // namespace

PyObject* InitTJMModel(PyObject* self, PyObject* params) {
    auto* x = as_tjm(reinterpret_cast<ElementModel*>(self));

    // Each parameter is stored as soon as it converts.
    double* const fields[] = {&x->crit_current, &x->beta, &x->wvg, &x->wvrat, &x->wrrat};
    for (Py_ssize_t k = 0; k < 5; ++k)
        if (!capi::item_as_double(params, k + 1, fields[k])) return nullptr;

    Ref name = capi::item(params, 0);
    if (!name) return nullptr;
    Ref qdconfig = module_global(g_names.qdconfig);
    if (!qdconfig) return nullptr;
    Ref table = Ref::steal(PyObject_GetAttr(qdconfig.get(), g_names.tjm_models));
    if (!table) return nullptr;
    const int known = PySequence_Contains(table.get(), name.get());
    if (known < 0) return nullptr;
    if (!known) {
        raise_unknown(name.get());
        return nullptr;
    }
    Ref entry = Ref::steal(PyObject_GetItem(table.get(), name.get()));
    Ref abp[3];
    if (!entry || !unpack3(entry.get(), abp)) return nullptr;
    Py_ssize_t terms;
    if (!check_terms(name.get(), abp[0].get(), abp[1].get(), abp[2].get(), &terms)) return nullptr;

    // Every term converts before any is stored: a table that fails part-way
    // leaves the junction with its previous, consistent terms, never with a
    // new count over half-converted ones.
    cplx a[kMaxTjmTerms], b[kMaxTjmTerms], p[kMaxTjmTerms];
    double s = 0.0;
    for (Py_ssize_t k = 0; k < terms; ++k) {
        cplx* const into[3] = {&a[k], &b[k], &p[k]};
        for (int c = 0; c < 3; ++c) {
            Ref z = capi::item(abp[c].get(), k);
            if (!z || !to_complex(z.get(), into[c])) return nullptr;
        }
        p[k] = cplx(p[k].real() * x->wvg * 0.5, p[k].imag() * x->wvg * 0.5);
        s = s - (a[k] / p[k]).real();
    }
    x->narray = static_cast<int32_t>(terms);
    x->sgw = 1.0 / (x->wvg * x->wvrat);
    const double gain = x->wrrat - 1.0;
    for (Py_ssize_t k = 0; k < terms; ++k) {
        x->P[k] = p[k];
        x->A[k] = a[k] / cplx(-s, 0.0);
        x->B[k] = cplx(x->wvg * b[k].real() * gain, gain * (b[k].imag() * x->wvg)) /
                  cplx(x->wvrat + x->wvrat, 0.0);
    }
    Py_RETURN_NONE;
}

}  // namespace quenda::stampcore
