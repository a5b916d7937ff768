// Inductor between nodes i and j, in phase form: its current is
// (P(i) - P(j)) / L, so it needs no unknown of its own and its stamp does not
// depend on the step.
//
//            col i     col j
//   row i  [ +1/L      -1/L ]      A0
//   row j  [ -1/L      +1/L ]
//
//   B[i-1] -= (P(i) - P(j)) / L,   B[j-1] += (P(i) - P(j)) / L
#include "element_model.hpp"

namespace quenda::stampcore {
namespace {

struct InductorModel {
    ElementModel base;
    double admitance;  // 1 / L
    TwoTerminal t;
    double* node_phases;
    double* node_voltages;
    double* elem_currents;
    double* elem_phases;
    double* elem_voltages;
};

InductorModel* self(ElementModel* m) { return reinterpret_cast<InductorModel*>(m); }

void Admitance0(ElementModel* m, double* matrix) {
    auto* l = self(m);
    l->t.stamp(matrix, l->admitance);
}

void RHSCurrent(ElementModel* m, double* vec, const ModelContext* ctx) {
    auto* l = self(m);
    l->t.inject(vec, l->admitance * l->t.across(ctx->phases));
}

void Values(ElementModel* m, const ModelContext*) {
    auto* l = self(m);
    const int32_t e = l->t.eindex;
    l->elem_phases[e] = l->t.across(l->node_phases);
    l->elem_voltages[e] = l->t.across(l->node_voltages);
    l->elem_currents[e] = l->admitance * l->t.across(l->node_phases);
}

void defaults(ElementModel* m) { self(m)->admitance = 1.0; }

const IndexArg kCtor[] = {QUENDA_TWO_TERMINAL_CTOR(InductorModel)};
const SlotArg kSlots[] = {QUENDA_TWO_TERMINAL_SLOTS(InductorModel)};
const HostArray kArrays[] = {QUENDA_NODE_ARRAYS(InductorModel), QUENDA_ELEMENT_ARRAYS(InductorModel)};
const Param kParams[] = {{0, offsetof(InductorModel, admitance), true}};

}  // namespace

const ElementClass kInductorClass = describe<InductorModel>({
    .name = "InductorModel",
    .ops = {Admitance0, no_admitance, no_admitance, RHSCurrent, Values},
    .stamps = kStampsA0,
    .reads_solution = true,
    .params = kParams,
    .defaults = defaults,
    .pickle_message = kPickleBasic,
    .methods = nullptr,
    .doc = "InductorModel(i, j, eindex)\n\nInductor between nodes i and j (0 is ground), "
           "in phase form.\nSetParameters((inductance,)) stores 1 / inductance.",
}, kCtor, kSlots, kArrays);

}  // namespace quenda::stampcore
