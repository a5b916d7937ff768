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

}  // namespace quenda::capi
