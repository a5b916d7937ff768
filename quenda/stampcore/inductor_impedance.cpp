// Inductor between nodes i and j whose branch current I = X(q) is the unknown
// of its own row q. Row q holds its equation X(j) - X(i) + L * I = 0, so the
// node phases enter the branch row with the sign opposite to that of the
// current in the node rows: the couplings are not symmetric.
//
//            col i     col j     col q
//   row i  [                      +1  ]
//   row j  [                      -1  ]      A0
//   row q  [  -1        +1        +L  ]
//
//   B[i-1] -= I,   B[j-1] += I,   B[q-1] -= X(j) - X(i) + L * I
#include "branch_row.hpp"

namespace quenda::stampcore {
namespace {

struct InductorImpedanceModel {
    ElementModel base;
    double impedance;  // the inductance L
    BranchRow branch;
    int32_t ind_qq;
    double* node_phases;
    double* node_voltages;
    double* elem_currents;
    double* elem_phases;
    double* elem_voltages;
};

InductorImpedanceModel* self(ElementModel* m) {
    return reinterpret_cast<InductorImpedanceModel*>(m);
}

void Admitance0(ElementModel* m, double* matrix) {
    auto* l = self(m);
    l->branch.couple(matrix, -1.0);
    matrix[l->ind_qq] += l->impedance;
}

void RHSCurrent(ElementModel* m, double* vec, const ModelContext* ctx) {
    auto* l = self(m);
    const BranchRow& b = l->branch;
    const double current = b.current(ctx->phases);
    b.inject(vec, current);
    vec[b.q - 1] -= at_node(ctx->phases, b.j) - at_node(ctx->phases, b.i) + l->impedance * current;
}

void Values(ElementModel* m, const ModelContext*) { write_branch_values(self(m)); }

void defaults(ElementModel* m) { self(m)->impedance = 1.0; }

const IndexArg kCtor[] = {QUENDA_BRANCH_ROW_CTOR(InductorImpedanceModel)};
const SlotArg kSlots[] = {QUENDA_BRANCH_ROW_SLOTS(InductorImpedanceModel),
                          {"ind_qq", offsetof(InductorImpedanceModel, ind_qq), kAlways}};
const HostArray kArrays[] = {QUENDA_NODE_ARRAYS(InductorImpedanceModel),
                             QUENDA_ELEMENT_ARRAYS(InductorImpedanceModel)};
const Param kParams[] = {{0, offsetof(InductorImpedanceModel, impedance), false}};

}  // namespace

const ElementClass kInductorImpedanceClass = describe<InductorImpedanceModel>({
    .name = "InductorImpedanceModel",
    .ops = {Admitance0, no_admitance, no_admitance, RHSCurrent, Values},
    .stamps = kStampsA0,
    .reads_solution = true,
    .params = kParams,
    .defaults = defaults,
    .pickle_message = kPickleBasic,
    .methods = nullptr,
    .doc = "InductorImpedanceModel(i, j, q, eindex)\n\nInductor between nodes i and j "
           "(0 is ground) whose branch current is the unknown of branch row q.\n"
           "SetParameters((inductance,)).",
}, kCtor, kSlots, kArrays);

}  // namespace quenda::stampcore
