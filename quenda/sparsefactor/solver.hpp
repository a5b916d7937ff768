// What the module frame of quenda.SparseFactor and its solver class share.
#pragma once

#include "../capi/pyref.hpp"

namespace quenda::sparsefactor {

// array.array, set when the module loads and kept for the life of the process.
extern PyTypeObject* g_array_type;

// Creates the SparseFactor class (a new reference, or null with the error set).
PyObject* create_sparse_factor_type();

}  // namespace quenda::sparsefactor
