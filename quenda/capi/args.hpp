// Argument handling shared by every constructor, method and function of the
// native modules that takes two or more arguments (and by the zero-argument
// constructor of the element base class).
//
// One parser for both calling conventions (vectorcall with a keyword-name
// tuple, and tp_init's tuple and dict), producing the interpreter-style texts
// our users compare against:
//   "f() takes exactly 3 positional arguments (2 given)"
//   "f() got an unexpected keyword argument 'x'"
//   "f() got multiple values for keyword argument 'x'"
//   "f() keywords must be strings"
#pragma once

#include "pyref.hpp"

#include <cstdint>

namespace quenda::capi {

// The signature of one call site: the name used in messages and the names of
// its arguments, all required. The interned names are created on first use.
struct ArgSpec {
    static constexpr int kMaxArgs = 8;

    const char* func;
    const char* names[kMaxArgs];
    int count;
    PyObject* interned[kMaxArgs] = {};
};

// Vectorcall form (METH_FASTCALL | METH_KEYWORDS). On success out[0..count)
// hold borrowed references; on failure a TypeError is set.
bool parse_args(ArgSpec& spec, PyObject* const* args, Py_ssize_t nargsf,
                PyObject* kwnames, PyObject** out);

// tp_init form: a tuple and an optional dict.
bool parse_args(ArgSpec& spec, PyObject* args, PyObject* kwds, PyObject** out);

// Functions of no argument or of one positional argument, worded as the
// interpreter words them but with the bare name (no module or class prefix):
//   "f() takes no keyword arguments"
//   "f() takes no arguments (1 given)"
//   "f() takes exactly one argument (0 given)"
bool no_args(const char* func, Py_ssize_t nargsf, PyObject* kwnames);
bool one_arg(const char* func, Py_ssize_t nargsf, PyObject* kwnames);

// A vectorcall function as the method table stores it.
using FastcallKw = PyObject* (*)(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);
inline PyCFunction fastcall(FastcallKw f) {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(f));
}

}  // namespace quenda::capi

// Method-table entries for functions fn(self, arg) of no argument (arg is
// null) or one argument, checked by no_args / one_arg.
#define QUENDA_NOARGS_METHOD(name, fn, doc)                                             \
    {name,                                                                               \
     ::quenda::capi::fastcall([](PyObject* self, PyObject* const*, Py_ssize_t nargsf,    \
                                 PyObject* kwnames) -> PyObject* {                       \
         return ::quenda::capi::no_args(name, nargsf, kwnames) ? fn(self, nullptr)       \
                                                               : nullptr;                \
     }),                                                                                 \
     METH_FASTCALL | METH_KEYWORDS, doc}
#define QUENDA_ONEARG_METHOD(name, fn, doc)                                             \
    {name,                                                                               \
     ::quenda::capi::fastcall([](PyObject* self, PyObject* const* args, Py_ssize_t nargsf, \
                                 PyObject* kwnames) -> PyObject* {                       \
         return ::quenda::capi::one_arg(name, nargsf, kwnames) ? fn(self, args[0])       \
                                                               : nullptr;                \
     }),                                                                                 \
     METH_FASTCALL | METH_KEYWORDS, doc}

namespace quenda::capi {

}  // namespace quenda::capi
