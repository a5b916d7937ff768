// The record behind the capsule _KERNEL_API (kernel_api.hpp).
#include "kernel.hpp"

namespace quenda::stampcore {
namespace {

const ElementOps kNothing = {no_admitance0, no_admitance, no_admitance, no_admitance, no_values};

double* source_value(ElementModel* m) {
    const ElementClass& cls = *m->cls;
    const bool source = &cls == &kCurrentSourceClass || &cls == &kPhaseSourceClass ||
                        &cls == &kVoltageSourceClass;
    if (!source || cls.accept_parameters || cls.params.size() != 1 || cls.params[0].reciprocal ||
        cls.params[0].item != 0)
        return nullptr;
    return &field<double>(m, cls.params[0].offset);
}

const KernelAPI kApi = {
    .size = sizeof(KernelAPI),
    .version = kKernelApiVersion,
    .context_size = sizeof(ModelContext),
    .ops_size = sizeof(ElementOps),
    .extent_size = sizeof(Extent),
    .collected = collected_models,
    .index_epoch = &g_index_epoch,
    .nothing = &kNothing,
    .source_value = source_value,
};

}  // namespace

PyObject* make_kernel_api_capsule() {
    return PyCapsule_New(const_cast<KernelAPI*>(&kApi), kKernelApiName, nullptr);
}

}  // namespace quenda::stampcore
