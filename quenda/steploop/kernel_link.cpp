#include "kernel_link.hpp"

#include <new>

namespace quenda::steploop {

const stampcore::KernelAPI* g_kernel = nullptr;

bool import_kernel() {
    if (g_kernel) return true;
    // The capsule is an attribute of the kernel module, which must be
    // imported by its full name before the capsule can be looked up.
    capi::Ref kernel = capi::Ref::steal(PyImport_ImportModule("quenda.stampcore"));
    if (!kernel) return false;
    auto* api = static_cast<const stampcore::KernelAPI*>(
        PyCapsule_Import(stampcore::kKernelApiName, 0));
    if (!api) return false;
    if (api->version != stampcore::kKernelApiVersion ||
        api->size < sizeof(stampcore::KernelAPI) ||
        api->context_size != sizeof(ModelContext) || api->ops_size != sizeof(ElementOps) ||
        api->extent_size != sizeof(Extent)) {
        PyErr_Format(PyExc_ImportError,
                     "quenda.stampcore exports version %u of its C interface, this loop was "
                     "built for version %u (or with other headers): rebuild both modules",
                     api->version, stampcore::kKernelApiVersion);
        return false;
    }
    g_kernel = api;
    return true;
}

Models::~Models() { release(); }

void Models::release() {
    std::vector<ElementModel*> old;
    old.swap(models_);
    for (ElementModel* m : old) Py_DECREF(reinterpret_cast<PyObject*>(m));
}

bool Models::take() {
    ElementModel* const* models;
    int32_t count;
    Extent need;
    if (!g_kernel->collected(&models, &count, &need)) return false;
    std::vector<ElementModel*> taken;
    try {
        taken.assign(models, models + count);
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
        return false;
    }
    for (ElementModel* m : taken) Py_INCREF(reinterpret_cast<PyObject*>(m));
    release();
    models_.swap(taken);
    need_ = need;
    epoch_ = *g_kernel->index_epoch;
    return true;
}

bool Models::unchanged() const {
    if (*g_kernel->index_epoch == epoch_) return true;
    PyErr_SetString(PyExc_RuntimeError,
                    "an element model of the circuit was re-bound during the run (InitModel "
                    "or a constructor was called on it): the compiled loop cannot go on");
    return false;
}

void Models::static_matrix(double* a0) const {
    const auto nothing = g_kernel->nothing->Admitance0;
    for (ElementModel* m : models_) {
        const ElementOps& ops = m->cls->ops;
        if (ops.Admitance0 != nothing) ops.Admitance0(m, a0);
    }
}

void Models::step_matrix(double* a1, double* a2, double* b, const ModelContext& ctx) const {
    const auto nothing = g_kernel->nothing->Admitance1;
    for (ElementModel* m : models_) {
        const ElementOps& ops = m->cls->ops;
        if (ops.Admitance1 != nothing) ops.Admitance1(m, a1, &ctx);
        if (ops.Admitance2 != nothing) ops.Admitance2(m, a2, &ctx);
        ops.RHSCurrent(m, b, &ctx);
    }
}

void Models::iteration_matrix(double* a2, double* b, const ModelContext& ctx) const {
    const auto nothing = g_kernel->nothing->Admitance2;
    for (ElementModel* m : models_) {
        const ElementOps& ops = m->cls->ops;
        if (ops.Admitance2 != nothing) ops.Admitance2(m, a2, &ctx);
        ops.RHSCurrent(m, b, &ctx);
    }
}

void Models::values(const ModelContext& ctx) const {
    for (ElementModel* m : models_) m->cls->ops.Values(m, &ctx);
}

}  // namespace quenda::steploop
