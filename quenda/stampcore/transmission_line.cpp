// Ideal lossless transmission line: port 1 between nodes p1 and n1, port 2
// between p2 and n2, delay TD, impedance Z0. With I_k the current that enters
// the line at p_k (and leaves it at n_k) and V_k = V(p_k) - V(n_k):
//
//   V1(t) - Z0 I1(t) = V2(t - TD) + Z0 I2(t - TD)
//   V2(t) - Z0 I2(t) = V1(t - TD) + Z0 I1(t - TD)
//
// Each port is Z0 in series with a source E_k(t) that carries the wave
// W = V + Z0 I that left the other port TD earlier: I_k = (V_k - E_k) / Z0.
// The unknowns are phases, so the port current depends on the phase through
// the integration coefficient, as a resistor's does, and E_k goes to B. The
// ports meet only through the history: their matrix blocks are apart.
//
//             col p1   col n1   col p2   col n2
//   row p1  [  +g       -g                     ]
//   row n1  [  -g       +g                     ]      A1, g = coeff_dt / Z0
//   row p2  [                    +g       -g   ]
//   row n2  [                    -g       +g   ]
//
//   I1 = (V1 - E1) / Z0:   B[p1-1] -= I1,   B[n1-1] += I1     (port 2 alike)
//   E1(t) = W2(t - TD),   E2(t) = W1(t - TD)
//
// The history holds the waves W1 = 2 V1 - E1 and W2 = 2 V2 - E2 at each
// accepted point (Values, at ctx.time) and interpolates them linearly at
// t - TD, so any delay works with any steps, fixed or adaptive. A ring
// buffer keeps the last point at or before t - TD and every point after it:
// as many as the steps need, which it grows to, up to TD / smallest step
// points (a line in steps of 1000 times the smallest holds a thousandth of
// that). Only Values writes it, so a step that is
// solved and then rejected leaves it as it was; Admitance0 (BuildStaticMatrix)
// restarts it with the line at rest. The host steps no further than TD, so
// that t - TD never lies past the last accepted point; beyond either end the
// history holds its end value.
#include "kernel.hpp"

#include <cmath>
#include <cstdio>
#include <limits>

namespace quenda::stampcore {
namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

// Most samples one line keeps (24 bytes each).
constexpr int32_t kMaxHistory = 1 << 22;
// Samples a new history holds before it first grows.
constexpr int32_t kFirstHistory = 16;

struct Sample {
    double time, w1, w2;
};

struct TransmissionLineModel {
    ElementModel base;
    double delay;      // TD
    double impedance;  // Z0, kept as given; every use divides by it
    double min_step;   // the smallest step the host takes: sizes the history
    TwoTerminal port1;  // p1, n1 and the line's eindex
    TwoTerminal port2;  // p2, n2 (its eindex is not used)
    // E1 and E2 at memo_time (NaN: none), for the iterations of one step.
    double memo_time, memo_e1, memo_e2;
    // `count` samples in time order from `head` on, in a ring of `capacity`,
    // which grows up to `bound` (TD / smallest step + 3).
    int32_t capacity, bound, head, count;
    Sample* history;
    double* node_phases;
    double* node_voltages;
    double* elem_currents;
    double* elem_phases;
    double* elem_voltages;
};

TransmissionLineModel* self(ElementModel* m) { return reinterpret_cast<TransmissionLineModel*>(m); }

// Sample k of the history, 0 the oldest.
Sample& sample(TransmissionLineModel* x, int32_t k) {
    const int32_t at = x->head + k;
    return x->history[at < x->capacity ? at : at - x->capacity];
}

// The waves at time tau: linear between the samples around it, the end
// value beyond either end (and for a NaN), 0 (at rest) without samples.
void waves_at(TransmissionLineModel* x, double tau, double* w1, double* w2) {
    if (x->count == 0) {
        *w1 = *w2 = 0.0;
        return;
    }
    const Sample& first = sample(x, 0);
    const Sample& last = sample(x, x->count - 1);
    if (!(tau > first.time) || tau >= last.time) {
        const Sample& end = tau >= last.time ? last : first;
        *w1 = end.w1;
        *w2 = end.w2;
        return;
    }
    // tau lies just past the oldest sample as a rule: gallop from there, so
    // that a long history costs a cache line or two, then halve.
    int32_t lo = 0, hi = 1;  // time(lo) < tau, and time(hi) >= tau once the gallop ends
    while (hi < x->count - 1 && sample(x, hi).time < tau) {
        lo = hi;
        hi = hi < (x->count - 1) / 2 ? 2 * hi : x->count - 1;
    }
    while (hi - lo > 1) {
        const int32_t mid = lo + (hi - lo) / 2;
        (sample(x, mid).time < tau ? lo : hi) = mid;
    }
    const Sample& a = sample(x, lo);
    const Sample& b = sample(x, hi);
    const double f = (tau - a.time) / (b.time - a.time);
    *w1 = a.w1 + f * (b.w1 - a.w1);
    *w2 = a.w2 + f * (b.w2 - a.w2);
}

// E1 and E2 at time t, once per point.
void sources_at(TransmissionLineModel* x, double t) {
    if (t == x->memo_time) return;
    double w1, w2;
    waves_at(x, t - x->delay, &w1, &w2);
    x->memo_e1 = w2;
    x->memo_e2 = w1;
    x->memo_time = t;
}

// A host stepping below the smallest step it declared fills the ring: drop
// the inner sample whose neighbours lie closest together (t: the one about
// to be appended), where the samples are densest and one matters least.
// Called with a full ring, which holds at least four samples.
void thin(TransmissionLineModel* x, double t) {
    int32_t drop = 1;
    double closest = std::numeric_limits<double>::infinity();
    for (int32_t k = 1; k < x->count; ++k) {
        const double next = k + 1 < x->count ? sample(x, k + 1).time : t;
        const double gap = next - sample(x, k - 1).time;
        if (gap < closest) {
            closest = gap;
            drop = k;
        }
    }
    for (int32_t k = drop; k + 1 < x->count; ++k) sample(x, k) = sample(x, k + 1);
    --x->count;
}

// The newest samples (as many as fit) in a ring of `capacity` from index 0;
// false, with the history as it was, when the memory is not there.
bool resize(TransmissionLineModel* x, int32_t capacity) {
    auto* fresh = static_cast<Sample*>(PyMem_Malloc(sizeof(Sample) * size_t(capacity)));
    if (!fresh) return false;
    const int32_t keep = x->count < capacity ? x->count : capacity;
    for (int32_t k = 0; k < keep; ++k) fresh[k] = sample(x, x->count - keep + k);
    PyMem_Free(x->history);
    x->history = fresh;
    x->capacity = capacity;
    x->head = 0;
    x->count = keep;
    return true;
}

// Appends the waves of the point accepted at time t.
void record(TransmissionLineModel* x, double t, double w1, double w2) {
    if (x->capacity == 0 || !std::isfinite(t)) return;
    // A host that went back in time replaces what it recorded from t on.
    while (x->count > 0 && !(sample(x, x->count - 1).time < t)) --x->count;
    // Later points read from t - TD on: the last sample at or before it stays.
    const double oldest_read = t - x->delay;
    while (x->count >= 2 && sample(x, 1).time <= oldest_read) {
        x->head = x->head + 1 < x->capacity ? x->head + 1 : 0;
        --x->count;
    }
    // A full ring grows while it may (and the memory is there), else thins.
    if (x->count == x->capacity &&
        !(x->capacity < x->bound &&
          resize(x, x->capacity < x->bound / 2 ? 2 * x->capacity : x->bound)))
        thin(x, t);
    sample(x, x->count++) = Sample{t, w1, w2};
}

void restart(TransmissionLineModel* x) {
    x->head = x->count = 0;
    x->memo_time = kNaN;
}

void Admitance0(ElementModel* m, double*) { restart(self(m)); }

void Admitance1(ElementModel* m, double* matrix, const ModelContext* ctx) {
    auto* x = self(m);
    const double g = ctx->coeff_dt / x->impedance;
    x->port1.stamp(matrix, g);
    x->port2.stamp(matrix, g);
}

void RHSCurrent(ElementModel* m, double* vec, const ModelContext* ctx) {
    auto* x = self(m);
    sources_at(x, ctx->time);
    x->port1.inject(vec, (x->port1.across(ctx->voltages) - x->memo_e1) / x->impedance);
    x->port2.inject(vec, (x->port2.across(ctx->voltages) - x->memo_e2) / x->impedance);
}

// Reports port 1 and records the accepted point.
void Values(ElementModel* m, const ModelContext* ctx) {
    auto* x = self(m);
    const double t = ctx->time;
    sources_at(x, t);
    const double v1 = x->port1.across(x->node_voltages);
    const double v2 = x->port2.across(x->node_voltages);
    const int32_t e = x->port1.eindex;
    x->elem_phases[e] = x->port1.across(x->node_phases);
    x->elem_voltages[e] = v1;
    x->elem_currents[e] = (v1 - x->memo_e1) / x->impedance;
    record(x, t, 2.0 * v1 - x->memo_e1, 2.0 * v2 - x->memo_e2);
    x->memo_time = kNaN;
}

void free_history(ElementModel* m) {
    auto* x = self(m);
    PyMem_Free(x->history);
    x->history = nullptr;
    x->capacity = x->bound = 0;
    restart(x);
}

// A new line: no history until SetParameters sizes one.
void defaults(ElementModel* m) {
    auto* x = self(m);
    x->delay = 1.0;
    x->impedance = 1.0;
    x->min_step = 1.0;
    free_history(m);
}

template <class... Values>
bool refuse(const char* format, Values... values) {
    char text[240];
    snprintf(text, sizeof text, format, values...);
    PyErr_Format(PyExc_ValueError, "TransmissionLineModel: %s", text);
    return false;
}

// (TD, Z0, smallest step): checked together, then the history bounded by
// TD / smallest step (a smaller bound keeps its newest samples).
bool accept_parameters(ElementModel* m, const double* v) {
    auto* x = self(m);
    const double delay = v[0], impedance = v[1], min_step = v[2];
    if (!(delay > 0.0 && std::isfinite(delay)))
        return refuse("the delay TD must be positive and finite (got %g)", delay);
    if (!(impedance > 0.0 && std::isfinite(impedance)))
        return refuse("the impedance Z0 must be positive and finite (got %g)", impedance);
    if (!(min_step > 0.0 && std::isfinite(min_step)))
        return refuse("the smallest step must be positive and finite (got %g)", min_step);
    if (min_step > delay)
        return refuse("the delay TD = %g is shorter than the smallest step %g: steps must not "
                      "exceed TD", delay, min_step);
    const double points = std::ceil(delay / min_step) + 3.0;
    if (!(points <= kMaxHistory))
        return refuse("TD / smallest step = %g: the history would keep more than %d points",
                      delay / min_step, kMaxHistory);
    const auto bound = static_cast<int32_t>(points);
    int32_t capacity = x->capacity ? x->capacity : kFirstHistory;
    if (capacity > bound) capacity = bound;
    if (capacity != x->capacity && !resize(x, capacity)) {
        PyErr_NoMemory();
        return false;
    }
    x->bound = bound;
    x->memo_time = kNaN;
    return true;
}

const IndexArg kCtor[] = {
    {"p1", offsetof(TransmissionLineModel, port1.i), IndexRole::Terminal},
    {"n1", offsetof(TransmissionLineModel, port1.j), IndexRole::Terminal},
    {"p2", offsetof(TransmissionLineModel, port2.i), IndexRole::Terminal},
    {"n2", offsetof(TransmissionLineModel, port2.j), IndexRole::Terminal},
    {"eindex", offsetof(TransmissionLineModel, port1.eindex), IndexRole::Element},
};
const SlotArg kSlots[] = {
    {"ind_p1p1", offsetof(TransmissionLineModel, port1.ind_ii), kNeedsFirst},
    {"ind_p1n1", offsetof(TransmissionLineModel, port1.ind_ij), kNeedsBoth},
    {"ind_n1p1", offsetof(TransmissionLineModel, port1.ind_ji), kNeedsBoth},
    {"ind_n1n1", offsetof(TransmissionLineModel, port1.ind_jj), kNeedsSecond},
    {"ind_p2p2", offsetof(TransmissionLineModel, port2.ind_ii), kNeedsThird},
    {"ind_p2n2", offsetof(TransmissionLineModel, port2.ind_ij), kNeedsThirdAndFourth},
    {"ind_n2p2", offsetof(TransmissionLineModel, port2.ind_ji), kNeedsThirdAndFourth},
    {"ind_n2n2", offsetof(TransmissionLineModel, port2.ind_jj), kNeedsFourth},
};
const HostArray kArrays[] = {QUENDA_NODE_ARRAYS(TransmissionLineModel),
                             QUENDA_ELEMENT_ARRAYS(TransmissionLineModel)};
const Param kParams[] = {{0, offsetof(TransmissionLineModel, delay), false},
                         {1, offsetof(TransmissionLineModel, impedance), false},
                         {2, offsetof(TransmissionLineModel, min_step), false}};

}  // namespace

const ElementClass kTransmissionLineClass = describe<TransmissionLineModel>({
    .name = "TransmissionLineModel",
    .ops = {Admitance0, Admitance1, no_admitance, RHSCurrent, Values},
    .stamps = kStampsA1,
    .reads_solution = true,
    .reads_time = true,
    .params = kParams,
    .defaults = defaults,
    .accept_parameters = accept_parameters,
    .free_owned = free_history,
    .pickle_message = kPickleLine,
    .methods = nullptr,
    .doc = "TransmissionLineModel(p1, n1, p2, n2, eindex)\n\nIdeal lossless transmission line: "
           "port 1 between nodes p1 and n1, port 2 between p2 and n2 (0 is ground; each port "
           "needs one terminal off it).\nSetParameters((delay, impedance, smallest_step)): TD "
           "and Z0, and the smallest step the host will take, which sizes the line's history "
           "(a new line has none until then).\nThe element arrays report port 1: its phase, "
           "voltage and the current into the line at p1.",
}, kCtor, kSlots, kArrays);

}  // namespace quenda::stampcore
