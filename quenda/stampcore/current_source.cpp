// Independent current source between nodes i and j, scaled by the start-up
// ramp. Between two nodes it drives s into node i and out of node j; with one
// terminal grounded it drives s into the other one, whichever it is.
//
//   s = smooth_factor * current
//   i, j off ground:  B[i-1] += s,  B[j-1] -= s
//   j = 0:            B[i-1] += s
//   i = 0:            B[j-1] += s
//
// No matrix entries.
#include "element_model.hpp"

namespace quenda::stampcore {
namespace {

struct CurrentSourceModel {
    ElementModel base;
    double current;  // before the ramp
    TwoTerminal t;   // its slot positions are stored, never read
    double* node_phases;
    double* node_voltages;
    double* elem_currents;
    double* elem_phases;
    double* elem_voltages;
};

CurrentSourceModel* self(ElementModel* m) { return reinterpret_cast<CurrentSourceModel*>(m); }

void RHSCurrent(ElementModel* m, double* vec, const ModelContext* ctx) {
    auto* c = self(m);
    const double s = ctx->smooth_factor * c->current;
    if (c->t.i != 0) {
        vec[c->t.i - 1] += s;
        if (c->t.j != 0) vec[c->t.j - 1] -= s;
    } else {
        vec[c->t.j - 1] += s;
    }
}

void Values(ElementModel* m, const ModelContext* ctx) {
    auto* c = self(m);
    const int32_t e = c->t.eindex;
    c->elem_phases[e] = c->t.across(c->node_phases);
    c->elem_voltages[e] = c->t.across(c->node_voltages);
    c->elem_currents[e] = ctx->smooth_factor * c->current;
}

void defaults(ElementModel* m) { self(m)->current = 0.0; }

const IndexArg kCtor[] = {QUENDA_TWO_TERMINAL_CTOR(CurrentSourceModel)};
const SlotArg kSlots[] = {
    {"ind_ii", offsetof(CurrentSourceModel, t.ind_ii), kNeverRead},
    {"ind_ij", offsetof(CurrentSourceModel, t.ind_ij), kNeverRead},
    {"ind_ji", offsetof(CurrentSourceModel, t.ind_ji), kNeverRead},
    {"ind_jj", offsetof(CurrentSourceModel, t.ind_jj), kNeverRead},
};
const HostArray kArrays[] = {QUENDA_NODE_ARRAYS(CurrentSourceModel),
                             QUENDA_ELEMENT_ARRAYS(CurrentSourceModel)};
const Param kParams[] = {{0, offsetof(CurrentSourceModel, current), false}};

}  // namespace

const ElementClass kCurrentSourceClass = describe<CurrentSourceModel>({
    .name = "CurrentSourceModel",
    .ops = {no_admitance0, no_admitance, no_admitance, RHSCurrent, Values},
    .stamps = 0,
    .reads_solution = false,
    .params = kParams,
    .defaults = defaults,
    .pickle_message = kPickleBasic,
    .methods = nullptr,
    .doc = "CurrentSourceModel(i, j, eindex)\n\nCurrent source between nodes i and j "
           "(0 is ground), scaled by the start-up ramp.\nSetParameters((current,)).",
}, kCtor, kSlots, kArrays);

}  // namespace quenda::stampcore
