// The module frame of quenda.stampcore: the element classes, the host
// modules it works on, its switches and its functions, created in that order.
#include "kernel.hpp"

namespace quenda::stampcore {

Names g_names;

bool intern_names() {
#define QUENDA_INTERN_NAME(n) \
    if (!(g_names.n = PyUnicode_InternFromString(#n))) return false;
    QUENDA_NAMES(QUENDA_INTERN_NAME)
#undef QUENDA_INTERN_NAME
    return true;
}

namespace {

using capi::Ref;

// The element classes below ElementModel, in the order the module lists them.
const ElementClass* const kClasses[] = {
    &kInductorClass,
    &kInductorImpedanceClass,
    &kResistorClass,
    &kCapacitorClass,
    &kCurrentSourceClass,
    &kPhaseSourceClass,
    &kVoltageSourceClass,
    &kJunctionClass,
    &kJunctionRSJNClass,
    &kJunctionTJMClass,
    &kJunctionPWLClass,
    &kMutualInductanceClass,
    &kTransmissionLineClass,
};

PyMethodDef kFunctions[] = {
    QUENDA_NOARGS_METHOD("InitElementModels", InitElementModels,
                         "InitElementModels()\n\nCollects the models of qdglobals.ElementList "
                         "and SourceElementList and makes RHSHelper."),
    QUENDA_ONEARG_METHOD("BuildStaticMatrix", BuildStaticMatrix,
                         "BuildStaticMatrix(A0)\n\nRefreshes element parameters and adds the "
                         "step-independent stamps to A0."),
    {"BuildMatrix", capi::fastcall(BuildMatrix), METH_FASTCALL | METH_KEYWORDS,
     "BuildMatrix(A1, A2, B)\n\nAdds the coefficient-dependent stamps to A1, the "
     "solution-dependent ones to A2 and the currents to B."},
    {"UpdateMatrix", capi::fastcall(UpdateMatrix), METH_FASTCALL | METH_KEYWORDS,
     "UpdateMatrix(A2, B)\n\nAdds the solution-dependent stamps to A2 and the currents to B."},
    QUENDA_ONEARG_METHOD("UpdateRHS", UpdateRHS, "UpdateRHS(B)\n\nAdds the currents to B."),
    QUENDA_NOARGS_METHOD("UpdateValues", UpdateValues,
                         "UpdateValues()\n\nWrites every element's phase, voltage and current "
                         "(and phase-quanta count) into the host's element arrays."),
    {"_rebuild_ElementModel", capi::fastcall(rebuild_element_model), METH_FASTCALL | METH_KEYWORDS,
     "Rebuilds a pickled ElementModel."},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef kModule = {
    PyModuleDef_HEAD_INIT,
    "quenda.stampcore",
    "Element-model kernel: stamps circuit elements into sparse matrix value arrays and a "
    "right-hand side, and writes element values back after each solved step.",
    -1,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

bool add(PyObject* module, const char* name, Ref value) {
    return value && PyModule_AddObjectRef(module, name, value.get()) == 0;
}

bool add_import(PyObject* module, const char* name, const char* import) {
    return add(module, name, Ref::steal(PyImport_ImportModule(import)));
}

}  // namespace
}  // namespace quenda::stampcore

PyMODINIT_FUNC PyInit_stampcore() {
    using namespace quenda::stampcore;
    using quenda::capi::Ref;
    if (!quenda::capi::load_ndarray_type() || !intern_names()) return nullptr;
    Ref module = Ref::steal(PyModule_Create(&kModule));
    if (!module) return nullptr;
    g_module_dict = PyModule_GetDict(module.get());
    Py_INCREF(g_module_dict);  // the functions look names up here for the life of the process

    PyTypeObject* base = create_element_type(kElementModelClass, nullptr);
    if (!base) return nullptr;
    g_element_model_type = base;
    if (!add(module.get(), "ElementModel", Ref::borrow(reinterpret_cast<PyObject*>(base))))
        return nullptr;
    for (const ElementClass* cls : kClasses) {
        auto* type = reinterpret_cast<PyObject*>(create_element_type(*cls, base));
        if (!add(module.get(), cls->name, Ref::steal(type))) return nullptr;
    }
    if (!add_import(module.get(), "np", "numpy") ||
        !add_import(module.get(), "SP", "quenda.SimulationParameters") ||
        !add_import(module.get(), "qdglobals", "quenda.qdglobals") ||
        !add_import(module.get(), "qdconfig", "quenda.qdconfig") ||
        !add(module.get(), "RHSHelper", Ref::borrow(Py_None)) ||
        !add(module.get(), "NTHREADS", Ref::steal(PyLong_FromLong(4))) ||
        PyModule_AddFunctions(module.get(), kFunctions) < 0 ||
        // The C-level interface for time loops in other modules (kernel_api.hpp).
        !add(module.get(), "_KERNEL_API", Ref::steal(make_kernel_api_capsule())))
        return nullptr;
    return module.release();
}
