// Phase source between nodes i and j: its branch current I = X(q) holds
// P(i) - P(j) at smooth_factor * phase, through the constraint on row q.
//
//            col i     col j     col q
//   row i  [                      +1  ]
//   row j  [                      -1  ]      A0
//   row q  [  +1        -1            ]
//
//   B[i-1] -= I,   B[j-1] += I,   B[q-1] -= (P(i) - P(j)) - smooth_factor * phase
#include "branch_row.hpp"

namespace quenda::stampcore {
namespace {

struct PhaseSourceModel {
    ElementModel base;
    double Linternal;  // internal inductance: carried, read by no operation
    double phase;      // before the ramp
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

PhaseSourceModel* self(ElementModel* m) { return reinterpret_cast<PhaseSourceModel*>(m); }

void Admitance0(ElementModel* m, double* matrix) { self(m)->branch.couple(matrix, 1.0); }

void RHSCurrent(ElementModel* m, double* vec, const ModelContext* ctx) {
    auto* s = self(m);
    const BranchRow& b = s->branch;
    b.inject(vec, b.current(ctx->phases));
    vec[b.q - 1] -= b.across(ctx->phases) - ctx->smooth_factor * s->phase;
}

void defaults(ElementModel* m) { self(m)->phase = 0.0; }

const IndexArg kCtor[] = {QUENDA_BRANCH_ROW_CTOR(PhaseSourceModel)};
const SlotArg kSlots[] = {QUENDA_BRANCH_ROW_SLOTS(PhaseSourceModel)};
const HostArray kArrays[] = {QUENDA_SOURCE_ARRAYS(PhaseSourceModel)};
const Param kParams[] = {{0, offsetof(PhaseSourceModel, phase), false}};

}  // namespace

const ElementClass kPhaseSourceClass = describe<PhaseSourceModel>({
    .name = "PhaseSourceModel",
    .ops = {Admitance0, no_admitance, no_admitance, RHSCurrent, source_values<PhaseSourceModel>},
    .stamps = kStampsA0,
    .reads_solution = true,
    .params = kParams,
    .defaults = defaults,
    .pickle_message = kPickleCounting,
    .methods = nullptr,
    .doc = "PhaseSourceModel(i, j, q, eindex)\n\nPhase source between nodes i and j "
           "(0 is ground) with its branch current on branch row q, scaled by the start-up "
           "ramp.\nSetParameters((phase,)).",
}, kCtor, kSlots, kArrays);

}  // namespace quenda::stampcore
