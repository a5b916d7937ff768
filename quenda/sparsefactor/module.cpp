// The module frame of quenda.SparseFactor: NumPy, the array module, the empty
// double array and the solver class, bound in that order.
#include "solver.hpp"

#include "../capi/buffers.hpp"

namespace quenda::sparsefactor {
namespace {

using capi::Ref;

PyModuleDef kModule = {
    .m_base = PyModuleDef_HEAD_INIT,
    .m_name = "quenda.SparseFactor",
    .m_doc = "Sparse LU solver on SuiteSparse KLU: one symbolic analysis per pattern, a fresh "
             "factorisation and an in-place solve per call, or a kept factorisation "
             "refactorised with its own pivot order.",
    .m_size = -1,
    .m_methods = nullptr,
    .m_slots = nullptr,
    .m_traverse = nullptr,
    .m_clear = nullptr,
    .m_free = nullptr,
};

bool add(PyObject* module, const char* name, Ref value) {
    return value && PyModule_AddObjectRef(module, name, value.get()) == 0;
}

bool load_array_type(PyObject* array_module) {
    if (g_array_type) return true;
    Ref type = Ref::steal(PyObject_GetAttrString(array_module, "array"));
    if (!type) return false;
    if (!PyType_Check(type.get())) {
        PyErr_SetString(PyExc_ImportError, "array.array is not a type");
        return false;
    }
    g_array_type = reinterpret_cast<PyTypeObject*>(type.release());  // kept for the process
    return true;
}

}  // namespace
}  // namespace quenda::sparsefactor

PyMODINIT_FUNC PyInit_SparseFactor() {
    using namespace quenda::sparsefactor;
    if (!quenda::capi::load_ndarray_type()) return nullptr;
    Ref module = Ref::steal(PyModule_Create(&kModule));
    Ref np = Ref::steal(PyImport_ImportModule("numpy"));
    Ref array = Ref::steal(PyImport_ImportModule("array"));
    if (!module || !np || !array || !load_array_type(array.get())) return nullptr;
    Ref dbl_array_template = Ref::steal(
        PyObject_CallFunction(reinterpret_cast<PyObject*>(g_array_type), "s", "d"));
    if (!add(module.get(), "np", std::move(np)) || !add(module.get(), "array", std::move(array)) ||
        !add(module.get(), "dbl_array_template", std::move(dbl_array_template)) ||
        !add(module.get(), "SparseFactor", Ref::steal(create_sparse_factor_type())))
        return nullptr;
    return module.release();
}
