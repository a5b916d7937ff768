#include "args.hpp"

namespace quenda::capi {
namespace {

// Keyword arguments seen uniformly: vectorcall passes a tuple of names with
// the values after the positionals, tp_init passes a dict.
struct Keywords {
    PyObject* names = nullptr;          // tuple (vectorcall)
    PyObject* const* values = nullptr;  // values of `names`
    PyObject* dict = nullptr;           // dict (tp_init)
    Py_ssize_t size = 0;

    // Fetches entry k of the dict form; dict order is the caller's order.
    void dict_entry(Py_ssize_t k, PyObject** key, PyObject** value) const {
        Py_ssize_t pos = 0;
        for (Py_ssize_t seen = 0; PyDict_Next(dict, &pos, key, value); ++seen)
            if (seen == k) return;
    }
    void entry(Py_ssize_t k, PyObject** key, PyObject** value) const {
        if (names) { *key = PyTuple_GET_ITEM(names, k); *value = values[k]; }
        else dict_entry(k, key, value);
    }
};

bool intern_names(ArgSpec& spec) {
    for (int k = 0; k < spec.count; ++k) {
        if (spec.interned[k]) continue;
        spec.interned[k] = PyUnicode_InternFromString(spec.names[k]);
        if (!spec.interned[k]) return false;
    }
    return true;
}

void raise_count(const ArgSpec& spec, Py_ssize_t given) {
    PyErr_Format(PyExc_TypeError,
                 "%.200s() takes %.8s %zd positional argument%.1s (%zd given)",
                 spec.func, "exactly", (Py_ssize_t)spec.count,
                 spec.count == 1 ? "" : "s", given);
}

// Index of the argument a keyword names, -1 when none, -2 on a comparison error.
int find_name(const ArgSpec& spec, PyObject* key) {
    for (int k = 0; k < spec.count; ++k)
        if (spec.interned[k] == key) return k;
    for (int k = 0; k < spec.count; ++k) {
        int eq = PyUnicode_Compare(spec.interned[k], key);
        if (eq == 0) return k;
        if (eq == -1 && PyErr_Occurred()) return -2;
    }
    return -1;
}

bool parse(ArgSpec& spec, PyObject* const* pos, Py_ssize_t nargs,
           const Keywords& kw, PyObject** out) {
    if (nargs > spec.count) { raise_count(spec, nargs); return false; }
    for (Py_ssize_t k = 0; k < nargs; ++k) out[k] = pos[k];
    if (kw.size == 0) {
        if (nargs < spec.count) { raise_count(spec, nargs); return false; }
        return true;
    }
    if (!intern_names(spec)) return false;

    // Fill the arguments after the positionals by name, in order; the first
    // one missing decides the count reported.
    Py_ssize_t used = 0;
    for (Py_ssize_t a = nargs; a < spec.count; ++a) {
        PyObject* found = nullptr;
        for (Py_ssize_t k = 0; k < kw.size && !found; ++k) {
            PyObject *key, *value;
            kw.entry(k, &key, &value);
            if (!PyUnicode_Check(key)) continue;
            if (key == spec.interned[a] || PyUnicode_Compare(key, spec.interned[a]) == 0)
                found = value;
            else if (PyErr_Occurred()) return false;
        }
        if (!found) { raise_count(spec, a); return false; }
        out[a] = found;
        ++used;
    }
    if (used == kw.size) return true;

    // Something was passed that fills no free argument: name the first such keyword.
    for (Py_ssize_t k = 0; k < kw.size; ++k) {
        PyObject *key, *value;
        kw.entry(k, &key, &value);
        if (!PyUnicode_Check(key)) {
            PyErr_Format(PyExc_TypeError, "%.200s() keywords must be strings", spec.func);
            return false;
        }
        int at = find_name(spec, key);
        if (at == -2) return false;
        if (at < 0) {
            PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'",
                         spec.func, key);
            return false;
        }
        if (at < nargs) {
            PyErr_Format(PyExc_TypeError, "%s() got multiple values for keyword argument '%U'",
                         spec.func, key);
            return false;
        }
    }
    return true;
}

}  // namespace

bool parse_args(ArgSpec& spec, PyObject* const* args, Py_ssize_t nargsf,
                PyObject* kwnames, PyObject** out) {
    Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    Keywords kw;
    if (kwnames) {
        kw.names = kwnames;
        kw.values = args + nargs;
        kw.size = PyTuple_GET_SIZE(kwnames);
    }
    return parse(spec, args, nargs, kw, out);
}

bool parse_args(ArgSpec& spec, PyObject* args, PyObject* kwds, PyObject** out) {
    Keywords kw;
    if (kwds) {
        kw.dict = kwds;
        kw.size = PyDict_GET_SIZE(kwds);
    }
    return parse(spec, PySequence_Fast_ITEMS(args), PyTuple_GET_SIZE(args), kw, out);
}

namespace {

bool no_keywords(const char* func, PyObject* kwnames) {
    if (!kwnames || PyTuple_GET_SIZE(kwnames) == 0) return true;
    PyErr_Format(PyExc_TypeError, "%.200s() takes no keyword arguments", func);
    return false;
}

}  // namespace

bool no_args(const char* func, Py_ssize_t nargsf, PyObject* kwnames) {
    if (!no_keywords(func, kwnames)) return false;
    Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    if (nargs == 0) return true;
    PyErr_Format(PyExc_TypeError, "%.200s() takes no arguments (%zd given)", func, nargs);
    return false;
}

bool one_arg(const char* func, Py_ssize_t nargsf, PyObject* kwnames) {
    if (!no_keywords(func, kwnames)) return false;
    Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    if (nargs == 1) return true;
    PyErr_Format(PyExc_TypeError, "%.200s() takes exactly one argument (%zd given)", func, nargs);
    return false;
}

}  // namespace quenda::capi
