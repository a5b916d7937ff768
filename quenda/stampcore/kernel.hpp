// State and services shared by the module frame, the construction protocol
// and the drivers of the kernel.
#pragma once

#include "element_model.hpp"
#include "kernel_api.hpp"

#include "../capi/args.hpp"

#include <cstdint>

namespace quenda::stampcore {

// The module's own globals: SP, qdglobals and NTHREADS are looked up there
// by name at every call, so a host that rebinds them changes what later calls see.
extern PyObject* g_module_dict;

// The ElementModel type object (every model is an instance of it).
extern PyTypeObject* g_element_model_type;

// Bumped whenever the indices or bindings of any model change (constructor,
// InitModel, collection by the garbage collector). The drivers re-derive
// their length checks only when it has moved, so a call stays O(1).
extern uint64_t g_index_epoch;

// Names the kernel looks up at every call, interned once at load.
#define QUENDA_NAMES(N)                                                              \
    N(SP) N(qdglobals) N(np) N(NTHREADS) N(RHSHelper) N(_rebuild_ElementModel)       \
    N(TotalElements) N(TotalSourceElements) N(TotalNodes) N(ElementList)             \
    N(SourceElementList) N(OptimizeSimulation) N(CurrentTime) N(model)               \
    N(UpdateParameters) N(X) N(Xind) N(DX) N(DDX) N(DXprev) N(InterpCoeffDt)         \
    N(InterpCoeffDDt) N(TimeSteps) N(InitialSmoothFactor) N(PHASE_HISTERESIS)        \
    N(INITIAL_RAMP) N(zeros) N(float64) N(dtype) N(tjm_models) N(qdconfig)
struct Names {
#define QUENDA_DECLARE_NAME(n) PyObject* n;
    QUENDA_NAMES(QUENDA_DECLARE_NAME)
#undef QUENDA_DECLARE_NAME
};
extern Names g_names;
bool intern_names();

// What InitModel bound, null until an InitModel succeeds. The slot lies just
// past the class's struct: the type's size includes it (create_element_type).
inline Binding*& binding_of(ElementModel* m) {
    return field<Binding*>(m, m->cls->basicsize);
}

// A global of this module by name (a new reference); NameError when it is
// gone. Owned, because every use is followed by calls that may run host code,
// and host code may rebind the global and drop the last other reference.
capi::Ref module_global(PyObject* name);

// Where a model sits, for messages: a list name and an index (or none).
struct Where {
    const char* list = nullptr;
    Py_ssize_t index = -1;
};

// Validates a model's node numbers, branch rows, element index and the slot
// positions its operations read, against the lengths of the arrays it is (or
// is about to be) bound to. ValueError for numbers no circuit has (negative
// nodes, a branch row 0, both terminals at ground), IndexError beyond the arrays.
bool check_model(ElementModel* m, Py_ssize_t node_len, Py_ssize_t elem_len, Where where = {});

// check_model against the arrays the model is bound to; ValueError for a
// model of a class with host arrays whose InitModel never succeeded.
bool check_usable(ElementModel* m, Where where);

// The lengths a model needs of the arrays a driver hands it (Extent: kernel_api.hpp).
Extent model_extent(const ElementModel* m);

// Creates the Python type of an element class (a subclass of `base`, or the
// base class itself when base is null) and registers it for construction.
PyTypeObject* create_element_type(const ElementClass& cls, PyTypeObject* base);

// The reconstruction function of ElementModel pickles (module level).
PyObject* rebuild_element_model(PyObject* module, PyObject* const* args, Py_ssize_t nargs,
                                PyObject* kwnames);

// The models the last InitElementModels collected and the lengths they need
// together, checked as the drivers check them (drivers.cpp); false with the
// error set when no driver may walk them.
bool collected_models(ElementModel* const** models, int32_t* count, Extent* need);

// The capsule of the kernel's C-level interface (kernel_api.cpp).
PyObject* make_kernel_api_capsule();

// The module functions (drivers.cpp).
PyObject* InitElementModels(PyObject* module, PyObject*);
PyObject* BuildStaticMatrix(PyObject* module, PyObject* a0);
PyObject* BuildMatrix(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* UpdateMatrix(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* UpdateRHS(PyObject* module, PyObject* b);
PyObject* UpdateValues(PyObject* module, PyObject*);

// Methods every element class shares; a class with methods of its own lists
// these in its table too.
PyObject* element_InitModel(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                            PyObject* kwnames);
PyObject* element_SetParameters(PyObject* self, PyObject* params);
PyObject* element_refuse_reduce(PyObject* self, PyObject*);
PyObject* element_refuse_setstate(PyObject* self, PyObject*);

#define QUENDA_ELEMENT_METHODS                                                              \
    {"InitModel", ::quenda::capi::fastcall(::quenda::stampcore::element_InitModel),         \
     METH_FASTCALL | METH_KEYWORDS,                                                         \
     "InitModel(slot positions...)\n\nStores the slot positions of the element's matrix "  \
     "entries and binds the model to the current qdglobals arrays."},                       \
    QUENDA_ONEARG_METHOD("SetParameters", ::quenda::stampcore::element_SetParameters,       \
                         "SetParameters(params)\n\nReads the element's parameters from "    \
                         "the sequence params."),                                           \
    QUENDA_NOARGS_METHOD("__reduce__", ::quenda::stampcore::element_refuse_reduce, nullptr), \
    QUENDA_ONEARG_METHOD("__setstate__", ::quenda::stampcore::element_refuse_setstate, nullptr)

}  // namespace quenda::stampcore
