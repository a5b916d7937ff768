// Resistor between nodes i and j.
//
// The unknowns are node phases, so the current (V(i) - V(j)) / R depends on
// the phase through the integration coefficient: d/dP = coeff_dt / R.
//
//            col i            col j
//   row i  [ +coeff_dt/R      -coeff_dt/R ]      A1
//   row j  [ -coeff_dt/R      +coeff_dt/R ]
//
//   B[i-1] -= (V(i) - V(j)) / R,   B[j-1] += (V(i) - V(j)) / R
#include "element_model.hpp"

namespace quenda::stampcore {
namespace {

struct ResistorModel {
    ElementModel base;
    double resistance;  // kept as given; every use divides by it
    TwoTerminal t;
    double* node_phases;
    double* node_voltages;
    double* elem_currents;
    double* elem_phases;
    double* elem_voltages;
};

ResistorModel* self(ElementModel* m) { return reinterpret_cast<ResistorModel*>(m); }

void Admitance1(ElementModel* m, double* matrix, const ModelContext* ctx) {
    auto* r = self(m);
    r->t.stamp(matrix, ctx->coeff_dt / r->resistance);
}

void RHSCurrent(ElementModel* m, double* vec, const ModelContext* ctx) {
    auto* r = self(m);
    r->t.inject(vec, r->t.across(ctx->voltages) / r->resistance);
}

void Values(ElementModel* m, const ModelContext*) {
    auto* r = self(m);
    const int32_t e = r->t.eindex;
    r->elem_phases[e] = r->t.across(r->node_phases);
    r->elem_voltages[e] = r->t.across(r->node_voltages);
    r->elem_currents[e] = r->t.across(r->node_voltages) / r->resistance;
}

void defaults(ElementModel* m) { self(m)->resistance = 1.0; }

const IndexArg kCtor[] = {QUENDA_TWO_TERMINAL_CTOR(ResistorModel)};
const SlotArg kSlots[] = {QUENDA_TWO_TERMINAL_SLOTS(ResistorModel)};
const HostArray kArrays[] = {QUENDA_NODE_ARRAYS(ResistorModel), QUENDA_ELEMENT_ARRAYS(ResistorModel)};
const Param kParams[] = {{0, offsetof(ResistorModel, resistance), false}};

}  // namespace

const ElementClass kResistorClass = describe<ResistorModel>({
    .name = "ResistorModel",
    .ops = {no_admitance0, Admitance1, no_admitance, RHSCurrent, Values},
    .stamps = kStampsA1,
    .reads_solution = true,
    .params = kParams,
    .defaults = defaults,
    .pickle_message = kPickleBasic,
    .methods = nullptr,
    .doc = "ResistorModel(i, j, eindex)\n\nResistor between nodes i and j (0 is ground).\n"
           "SetParameters((resistance,)).",
}, kCtor, kSlots, kArrays);

}  // namespace quenda::stampcore
