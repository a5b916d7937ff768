// The kernel as the compiled loop drives it: the capsule stampcore exports
// (quenda/stampcore/kernel_api.hpp), and the models of one run walked in
// the order the kernel's own drivers walk them.
#pragma once

#include "../capi/pyref.hpp"
#include "../stampcore/kernel_api.hpp"

#include <cstdint>
#include <vector>

namespace quenda::steploop {

using stampcore::ElementModel;
using stampcore::ElementOps;
using stampcore::Extent;
using stampcore::ModelContext;

// The kernel's record, imported when the module loads.
extern const stampcore::KernelAPI* g_kernel;

// Imports the capsule and checks that it is the one this module was built
// against; ImportError otherwise.
bool import_kernel();

// The models of one run: the kernel's collected array, each held by a
// reference of our own, and the lengths they need.
class Models {
public:
    Models() = default;
    Models(const Models&) = delete;
    Models& operator=(const Models&) = delete;
    ~Models();

    // Takes the models the last InitElementModels collected; false with the error set.
    bool take();
    // Whether no model was re-bound or re-indexed since take(); a
    // RuntimeError otherwise (call after anything that may have run host code).
    bool unchanged() const;

    const Extent& need() const { return need_; }
    bool holds(const ElementModel* m) const {
        for (const ElementModel* own : models_)
            if (own == m) return true;
        return false;
    }
    // Visits each model (for the garbage collector).
    int visit(visitproc visit, void* arg) const {
        for (ElementModel* m : models_) Py_VISIT(reinterpret_cast<PyObject*>(m));
        return 0;
    }
    void clear() { release(); }
    int32_t count() const { return static_cast<int32_t>(models_.size()); }

    // The kernel's drivers, over a context the loop fills.
    void static_matrix(double* a0) const;                                // BuildStaticMatrix
    void step_matrix(double* a1, double* a2, double* b, const ModelContext& ctx) const;  // BuildMatrix
    void iteration_matrix(double* a2, double* b, const ModelContext& ctx) const;  // UpdateMatrix
    void values(const ModelContext& ctx) const;                          // UpdateValues

private:
    void release();

    std::vector<ElementModel*> models_;  // each holds a reference
    Extent need_{};
    uint64_t epoch_ = 0;
};

}  // namespace quenda::steploop
