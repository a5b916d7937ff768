// Tunnel junction with a memory kernel between nodes i and j.
//
// Its current depends on the whole phase history through narray kernel terms:
//
//   I = Ic * [ (beta * sgw * dV + V) * sgw
//              - sin(phi/2) * Sum Re((B+A) Fc) - cos(phi/2) * Sum Re((A-B) Fs) ]
//
//   Fc_k(t) = integral over s < t of exp(P_k (t - s)) cos(phi(s)/2) ds   (Fs_k: sin)
//
// with phi, V, dV the phase, voltage and voltage derivative across the
// junction. A carries the pair current (for a constant phase the bracket's
// kernel part is Ic sin(phi)), B the quasiparticle current. Each step advances
// the convolutions by exp(P h) and integrates cos, sin(phi/2) over the step
// along a quadratic through the start value, the start slope and the end
// value (weights alpha0, beta0, alpha1), so the history costs O(narray) per
// step however long it is.
//
//            col i     col j
//   row i  [  +g        -g  ]
//   row j  [  -g        +g  ]
//
//   A1: g = (beta * sgw * coeff_ddt + coeff_dt) * sgw * Ic       linear shunt, capacitance
//   A2: g = -Ic * (cos(phi/2) Sum Re(A Fc) - sin(phi/2) Sum Re(A Fs))   pair channel
//   B[i-1] -= I,   B[j-1] += I
//
// Call order the history relies on: Admitance0 once (BuildStaticMatrix),
// Admitance1 at the start of each step (BuildMatrix), Admitance2 before
// RHSCurrent in each iteration, Values once the step is accepted.
#include "junction_tjm.hpp"

#include "kernel.hpp"

#include <algorithm>
#include <cmath>
#include <initializer_list>

namespace quenda::stampcore {
namespace {

struct HalfAngle {
    double s, c;  // sin(phase / 2), cos(phase / 2)
};

HalfAngle half_angle(double phase) {
    HalfAngle h;
    ::sincos(phase * 0.5, &h.s, &h.c);
    return h;
}

// The half angle of the present iterate, kept for Values.
HalfAngle iterate_half_angle(JunctionTJMModel* x, const double* phases) {
    const HalfAngle h = half_angle(x->t.across(phases));
    x->sinphi2 = h.s;
    x->cosphi2 = h.c;
    return h;
}

// The junction's current at half angle a, with the present convolutions:
// the conductance terms less the kernel part.
double junction_current(const JunctionTJMModel* x, HalfAngle a, double dvoltage,
                        double ddvoltage) {
    double fc_sum = 0.0, fs_sum = 0.0;
    for (int k = 0; k < x->narray; ++k) {
        fc_sum += ((x->B[k] + x->A[k]) * x->Fc[k]).real();
        fs_sum += ((x->A[k] - x->B[k]) * x->Fs[k]).real();
    }
    const double curr = a.s * fc_sum + fs_sum * a.c;
    return ((x->beta * x->sgw * ddvoltage + dvoltage) * x->sgw - curr) * x->crit_current;
}

// Resets the history to that of a junction that has always been at rest:
// Fc = integral of exp(P u) over u > 0 = -1/P, Fs = 0.
void Admitance0(ElementModel* m, double*) {
    auto* x = as_tjm(m);
    for (int k = 0; k < x->narray; ++k) {
        x->Fcprev[k] = cplx(-1.0, 0.0) / x->P[k];
        x->Fsprev[k] = cplx(0.0, 0.0);
    }
}

// Start of a step: the linear stamp, and the part of each convolution that
// the step's end point does not change.
void Admitance1(ElementModel* m, double* matrix, const ModelContext* ctx) {
    auto* x = as_tjm(m);
    x->t.stamp(matrix, (x->beta * x->sgw * ctx->coeff_ddt + ctx->coeff_dt) * x->sgw *
                           x->crit_current);
    const HalfAngle prev = half_angle(x->t.across(ctx->phases_prev));
    const double dvoltage_prev = x->t.across(ctx->voltages_prev);
    const double h = ctx->time_step;
    const cplx two(2.0, 0.0);  // a complex divisor (junction_tjm.hpp)
    for (int k = 0; k < x->narray; ++k) {
        const cplx p = x->P[k];
        const cplx pq(p.real() * h, p.imag() * h);
        const cplx epq = std::exp(pq);
        const cplx pq2 = pq * pq;
        x->alpha0[k] = (epq * (pq2 - 2.0) + 2.0 * pq + 2.0) / (pq2 * p);
        x->beta0[k] = (pq * epq - 2.0 * epq + pq + 2.0) / (p * (pq * p));
        x->alpha1[k] = (2.0 * epq - 2.0 - 2.0 * pq - pq2) / (pq2 * p);
        x->Fcdt[k] = x->alpha0[k] * prev.c + epq * x->Fcprev[k] -
                     (prev.s * x->beta0[k] * dvoltage_prev) / two;
        x->Fsdt[k] = x->alpha0[k] * prev.s + epq * x->Fsprev[k] +
                     (prev.c * x->beta0[k] * dvoltage_prev) / two;
    }
}

// Each iteration: the convolutions at the present iterate and the pair
// channel's stamp.
void Admitance2(ElementModel* m, double* matrix, const ModelContext* ctx) {
    auto* x = as_tjm(m);
    const HalfAngle now = iterate_half_angle(x, ctx->phases);
    double fc_an = 0.0, fs_an = 0.0;
    for (int k = 0; k < x->narray; ++k) {
        x->Fc[k] = x->alpha1[k] * now.c + x->Fcdt[k];
        x->Fs[k] = x->alpha1[k] * now.s + x->Fsdt[k];
        fc_an += (x->A[k] * x->Fc[k]).real();
        fs_an += (x->A[k] * x->Fs[k]).real();
    }
    x->t.stamp(matrix, -x->crit_current * (now.c * fc_an - fs_an * now.s));
}

// Each iteration: the current, with the convolutions of the last Admitance2.
void RHSCurrent(ElementModel* m, double* vec, const ModelContext* ctx) {
    auto* x = as_tjm(m);
    const HalfAngle now = iterate_half_angle(x, ctx->phases);
    x->t.inject(vec, junction_current(x, now, x->t.across(ctx->voltages),
                                      x->t.across(ctx->voltages_deriv)));
}

// The step is accepted: its convolutions become the history, and the
// junction reports its phase, voltage, current and phase quanta. The
// convolutions are rebuilt from the half angle of the last iterate; the
// current takes the half angle of the accepted phase.
void Values(ElementModel* m, const ModelContext* ctx) {
    auto* x = as_tjm(m);
    const double dphase = x->t.across(x->node_phases);
    const double dvoltage = x->t.across(x->node_voltages);
    for (int k = 0; k < x->narray; ++k) {
        x->Fc[k] = x->alpha1[k] * x->cosphi2 + x->Fcdt[k];
        x->Fs[k] = x->alpha1[k] * x->sinphi2 + x->Fsdt[k];
        x->Fcprev[k] = x->Fc[k];
        x->Fsprev[k] = x->Fs[k];
    }
    const int32_t e = x->t.eindex;
    x->elem_currents[e] = junction_current(x, half_angle(dphase), dvoltage,
                                           x->t.across(x->node_dvoltages));
    x->elem_phases[e] = dphase;
    x->elem_voltages[e] = dvoltage;
    NQuanta(x->elem_phases[e], &x->elem_n[e], &x->elem_inc[e], &x->elem_dec[e], ctx->histeresis);
}

// A new junction: parameters at their defaults, no coefficients, no history.
void defaults(ElementModel* m) {
    auto* x = as_tjm(m);
    x->narray = 6;
    x->crit_current = 1.0;
    x->beta = 1.0;
    x->wvg = 4.126984126984127;
    x->wvrat = 0.6;
    x->wrrat = 0.1;
    x->sgw = 0.0;
    x->sinphi2 = x->cosphi2 = 0.0;
    for (cplx* terms : {x->A, x->B, x->P, x->Fc, x->Fs, x->Fcdt, x->Fsdt, x->Fcprev, x->Fsprev,
                        x->alpha0, x->beta0, x->alpha1})
        std::fill_n(terms, kMaxTjmTerms, cplx(0.0, 0.0));
}

const IndexArg kCtor[] = {QUENDA_TWO_TERMINAL_CTOR(JunctionTJMModel)};
const SlotArg kSlots[] = {QUENDA_TWO_TERMINAL_SLOTS(JunctionTJMModel)};
const HostArray kArrays[] = {QUENDA_NODE_ARRAYS(JunctionTJMModel),
                             QUENDA_DVOLTAGE_ARRAY(JunctionTJMModel),
                             QUENDA_ELEMENT_ARRAYS(JunctionTJMModel),
                             QUENDA_QUANTA_ARRAYS(JunctionTJMModel)};
const Param kParams[] = {{1, offsetof(JunctionTJMModel, crit_current), false},
                         {2, offsetof(JunctionTJMModel, beta), false}};

PyMethodDef kMethods[] = {
    QUENDA_ELEMENT_METHODS,
    QUENDA_ONEARG_METHOD("InitTJMModel", InitTJMModel,
                         "InitTJMModel(params)\n\nparams = (name, crit_current, beta, wvg, "
                         "wvrat, wrrat): stores the parameters, then takes the kernel terms "
                         "(A, B, P) of qdconfig.tjm_models[name], scales and normalises them."),
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

const ElementClass kJunctionTJMClass = describe<JunctionTJMModel>({
    .name = "JunctionTJMModel",
    .ops = {Admitance0, Admitance1, Admitance2, RHSCurrent, Values},
    .stamps = kStampsA1 | kStampsA2,
    .reads_solution = true,
    .params = kParams,
    .defaults = defaults,
    .pickle_message = kPickleJunction,
    .methods = kMethods,
    .doc = "JunctionTJMModel(i, j, eindex)\n\nTunnel junction with a memory kernel between "
           "nodes i and j (0 is ground).\nInitTJMModel((name, crit_current, beta, wvg, wvrat, "
           "wrrat)) sets it up from qdconfig.tjm_models;\nSetParameters((name, crit_current, "
           "beta)) changes crit_current and beta alone.",
}, kCtor, kSlots, kArrays);

}  // namespace quenda::stampcore
