// Capacitor between nodes i and j.
//
// Its current C * (dV(i)/dt - dV(j)/dt) depends on the phase through the
// second-derivative coefficient: d/dP = coeff_ddt * C.
//
//            col i              col j
//   row i  [ +coeff_ddt*C       -coeff_ddt*C ]      A1
//   row j  [ -coeff_ddt*C       +coeff_ddt*C ]
//
//   B[i-1] -= C * (D(i) - D(j)),   B[j-1] += C * (D(i) - D(j))
#include "element_model.hpp"

namespace quenda::stampcore {
namespace {

struct CapacitorModel {
    ElementModel base;
    double capacitance;
    TwoTerminal t;
    double* node_phases;
    double* node_voltages;
    double* node_dvoltages;
    double* elem_currents;
    double* elem_phases;
    double* elem_voltages;
};

CapacitorModel* self(ElementModel* m) { return reinterpret_cast<CapacitorModel*>(m); }

void Admitance1(ElementModel* m, double* matrix, const ModelContext* ctx) {
    auto* c = self(m);
    c->t.stamp(matrix, ctx->coeff_ddt * c->capacitance);
}

void RHSCurrent(ElementModel* m, double* vec, const ModelContext* ctx) {
    auto* c = self(m);
    c->t.inject(vec, c->capacitance * c->t.across(ctx->voltages_deriv));
}

// The current comes from the host's accepted voltage derivatives, not the context.
void Values(ElementModel* m, const ModelContext*) {
    auto* c = self(m);
    const int32_t e = c->t.eindex;
    c->elem_phases[e] = c->t.across(c->node_phases);
    c->elem_voltages[e] = c->t.across(c->node_voltages);
    c->elem_currents[e] = c->capacitance * c->t.across(c->node_dvoltages);
}

void defaults(ElementModel* m) { self(m)->capacitance = 1.0; }

const IndexArg kCtor[] = {QUENDA_TWO_TERMINAL_CTOR(CapacitorModel)};
const SlotArg kSlots[] = {QUENDA_TWO_TERMINAL_SLOTS(CapacitorModel)};
const HostArray kArrays[] = {QUENDA_NODE_ARRAYS(CapacitorModel),
                             QUENDA_DVOLTAGE_ARRAY(CapacitorModel),
                             QUENDA_ELEMENT_ARRAYS(CapacitorModel)};
const Param kParams[] = {{0, offsetof(CapacitorModel, capacitance), false}};

}  // namespace

const ElementClass kCapacitorClass = describe<CapacitorModel>({
    .name = "CapacitorModel",
    .ops = {no_admitance0, Admitance1, no_admitance, RHSCurrent, Values},
    .stamps = kStampsA1,
    .reads_solution = true,
    .params = kParams,
    .defaults = defaults,
    .pickle_message = kPickleWithDVoltage,
    .methods = nullptr,
    .doc = "CapacitorModel(i, j, eindex)\n\nCapacitor between nodes i and j (0 is ground).\n"
           "SetParameters((capacitance,)).",
}, kCtor, kSlots, kArrays);

}  // namespace quenda::stampcore
