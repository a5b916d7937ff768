// Mutual inductance M between the branch rows q and v of two inductors with
// branch current: each branch equation gains M times the other branch's
// current, X(i) - X(j) = L * X(q) + M * X(v) and likewise for row v.
//
//            col q     col v
//   row q  [            +M  ]      A0
//   row v  [  +M            ]
//
//   B[q-1] -= M * X(v),   B[v-1] -= M * X(q)
//
// It has no terminals and reports zeros as its phase, voltage and current.
#include "element_model.hpp"

namespace quenda::stampcore {
namespace {

struct MutualInductanceModel {
    ElementModel base;
    double minductance;
    int32_t q, v, eindex;
    int32_t ind_qq, ind_qv, ind_vq, ind_vv;  // the diagonal pair is stored, never read
    double* node_phases;    // bound, never read
    double* node_voltages;  // bound, never read
    double* elem_currents;
    double* elem_phases;
    double* elem_voltages;
};

MutualInductanceModel* self(ElementModel* m) { return reinterpret_cast<MutualInductanceModel*>(m); }

void Admitance0(ElementModel* m, double* matrix) {
    auto* k = self(m);
    matrix[k->ind_qv] += k->minductance;
    matrix[k->ind_vq] += k->minductance;
}

void RHSCurrent(ElementModel* m, double* vec, const ModelContext* ctx) {
    auto* k = self(m);
    vec[k->q - 1] -= k->minductance * ctx->phases[k->v - 1];
    vec[k->v - 1] -= k->minductance * ctx->phases[k->q - 1];
}

void Values(ElementModel* m, const ModelContext*) {
    auto* k = self(m);
    k->elem_currents[k->eindex] = 0.0;
    k->elem_phases[k->eindex] = 0.0;
    k->elem_voltages[k->eindex] = 0.0;
}

void defaults(ElementModel* m) { self(m)->minductance = 0.0; }

const IndexArg kCtor[] = {
    {"q", offsetof(MutualInductanceModel, q), IndexRole::Branch},
    {"v", offsetof(MutualInductanceModel, v), IndexRole::Branch},
    {"eindex", offsetof(MutualInductanceModel, eindex), IndexRole::Element},
};
const SlotArg kSlots[] = {
    {"ind_qq", offsetof(MutualInductanceModel, ind_qq), kNeverRead},
    {"ind_qv", offsetof(MutualInductanceModel, ind_qv), kAlways},
    {"ind_vq", offsetof(MutualInductanceModel, ind_vq), kAlways},
    {"ind_vv", offsetof(MutualInductanceModel, ind_vv), kNeverRead},
};
const HostArray kArrays[] = {QUENDA_NODE_ARRAYS(MutualInductanceModel),
                             QUENDA_ELEMENT_ARRAYS(MutualInductanceModel)};
const Param kParams[] = {{0, offsetof(MutualInductanceModel, minductance), false}};

}  // namespace

const ElementClass kMutualInductanceClass = describe<MutualInductanceModel>({
    .name = "MutualInductanceModel",
    .ops = {Admitance0, no_admitance, no_admitance, RHSCurrent, Values},
    .stamps = kStampsA0,
    .reads_solution = true,
    .params = kParams,
    .defaults = defaults,
    .pickle_message = kPickleBasic,
    .methods = nullptr,
    .doc = "MutualInductanceModel(q, v, eindex)\n\nMutual inductance between the branch rows "
           "q and v of two inductors with branch current.\nSetParameters((inductance,)).",
}, kCtor, kSlots, kArrays);

}  // namespace quenda::stampcore
