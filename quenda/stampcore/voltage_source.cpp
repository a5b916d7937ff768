// Voltage source between nodes i and j: its branch current I = X(q) holds
// V(i) - V(j) at smooth_factor * voltage. The unknowns are phases, so the
// constraint on row q is written divided by coeff_dt: its derivative with
// respect to the node phases is then 1, and the unit couplings go to A1 with
// the other entries that exist only once the integration formula is known.
//
//            col i     col j     col q
//   row i  [                      +1  ]
//   row j  [                      -1  ]      A1
//   row q  [  +1        -1            ]
//
//   B[i-1] -= I,   B[j-1] += I,
//   B[q-1] -= ((V(i) - V(j)) - smooth_factor * voltage) / coeff_dt
#include "branch_row.hpp"

namespace quenda::stampcore {
namespace {

struct VoltageSourceModel {
    ElementModel base;
    double Rinternal;  // internal resistance: carried, read by no operation
    double voltage;    // before the ramp
    BranchRow branch;
    double* node_phases;
    double* node_voltages;
    double* elem_currents;
    double* elem_phases;
    double* elem_voltages;
    int32_t* elem_n;
    uint8_t* elem_inc;
    uint8_t* elem_dec;
};

VoltageSourceModel* self(ElementModel* m) { return reinterpret_cast<VoltageSourceModel*>(m); }

void Admitance1(ElementModel* m, double* matrix, const ModelContext*) {
    self(m)->branch.couple(matrix, 1.0);
}

void RHSCurrent(ElementModel* m, double* vec, const ModelContext* ctx) {
    auto* s = self(m);
    const BranchRow& b = s->branch;
    b.inject(vec, b.current(ctx->phases));
    vec[b.q - 1] -= (b.across(ctx->voltages) - ctx->smooth_factor * s->voltage) / ctx->coeff_dt;
}

void defaults(ElementModel* m) { self(m)->voltage = 0.0; }

const IndexArg kCtor[] = {QUENDA_BRANCH_ROW_CTOR(VoltageSourceModel)};
const SlotArg kSlots[] = {QUENDA_BRANCH_ROW_SLOTS(VoltageSourceModel)};
const HostArray kArrays[] = {QUENDA_SOURCE_ARRAYS(VoltageSourceModel)};
const Param kParams[] = {{0, offsetof(VoltageSourceModel, voltage), false}};

}  // namespace

const ElementClass kVoltageSourceClass = describe<VoltageSourceModel>({
    .name = "VoltageSourceModel",
    .ops = {no_admitance0, Admitance1, no_admitance, RHSCurrent, source_values<VoltageSourceModel>},
    .stamps = kStampsA1,
    .reads_solution = true,
    .params = kParams,
    .defaults = defaults,
    .pickle_message = kPickleCounting,
    .methods = nullptr,
    .doc = "VoltageSourceModel(i, j, q, eindex)\n\nVoltage source between nodes i and j "
           "(0 is ground) with its branch current on branch row q, scaled by the start-up "
           "ramp.\nSetParameters((voltage,)).",
}, kCtor, kSlots, kArrays);

}  // namespace quenda::stampcore
