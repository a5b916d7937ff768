// The kernel's C-level interface, for a time loop in another extension module.
//
// stampcore exports one KernelAPI record as the capsule named by
// kKernelApiName (the module attribute _KERNEL_API), as NumPy exports its C
// API. A loop imports the capsule once, refuses a record whose version or
// sizes differ from the ones it was built with, and then drives the models
// itself: it takes the array of collected models, fills a ModelContext, and
// calls each model's operations through its class's table
// (model->cls->ops), in the order the drivers call them. Nothing here
// changes what the module functions do; they remain the interface of hosts
// written in Python.
//
// What a loop must keep true, since the operations check nothing:
// - call `collected` after the host's last InitElementModels, and hold a
//   reference to every model it will call for as long as it calls them;
// - give the operations matrix arrays of need.matrix[k] values and more, a
//   right-hand side of need.rhs values and solution arrays of
//   need.solution values (unknown k at [k - 1]);
// - after any interpreter call (its own or a callback's), compare
//   *index_epoch with the value it saw with `collected`: a different value
//   means some model was re-bound or re-indexed, and its checks are void;
// - fill every ModelContext field, `time` included (the transmission line
//   reads it in RHSCurrent and Values).
#pragma once

#include "element_model.hpp"

#include <cstdint>

namespace quenda::stampcore {

// The lengths a model needs of the arrays a driver hands it.
struct Extent {
    Py_ssize_t matrix[3];  // A0, A1, A2: largest slot position read + 1
    Py_ssize_t rhs;        // B: largest unknown number
    Py_ssize_t solution;   // the context's solution arrays: largest unknown number read
};

inline constexpr uint32_t kKernelApiVersion = 1;
inline constexpr const char kKernelApiName[] = "quenda.stampcore._KERNEL_API";

struct KernelAPI {
    // sizeof(KernelAPI) and kKernelApiVersion of the kernel that made it,
    // and the sizes of the records it shares: a loop built against other
    // headers refuses to run.
    uint32_t size;
    uint32_t version;
    uint32_t context_size;  // sizeof(ModelContext)
    uint32_t ops_size;      // sizeof(ElementOps)
    uint32_t extent_size;   // sizeof(Extent)

    // The models the last InitElementModels collected, in the drivers'
    // order, and the lengths they need together (checked as the drivers
    // check them); false with an exception set when no driver may walk
    // them. The array is the kernel's: valid until the next interpreter call.
    bool (*collected)(ElementModel* const** models, int32_t* count, Extent* need);

    // Moves whenever any model's indices or bindings change.
    const uint64_t* index_epoch;

    // The kernel's operations that do nothing, slot by slot: a loop may
    // skip a table entry equal to them, as the drivers do.
    const ElementOps* nothing;

    // Where a source model keeps its value: the address of the one
    // parameter SetParameters stores, for classes that take one value and
    // store it as it is (current, phase and voltage sources); null for
    // every other model. A loop that writes it there does what
    // SetParameters((value,)) does.
    double* (*source_value)(ElementModel* m);
};

}  // namespace quenda::stampcore
