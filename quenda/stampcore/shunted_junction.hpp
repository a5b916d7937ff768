// The shunted Josephson junctions: one model over a class's current law.
//
// A junction is evaluated as a branch: from i to j, or, with i at ground,
// from j to ground. Its phase, voltage and voltage derivative are then those
// of node j with their own sign, and its current leaves node j:
//
//   dphase = P(i) - P(j)   i, j off ground
//            P(i)          j = 0
//            P(j)          i = 0          (and so for dvoltage, ddvoltage)
//
//   B[i-1] -= curr, B[j-1] += curr        i, j off ground
//   B[i-1] -= curr                        j = 0
//   B[j-1] -= curr                        i = 0
//
// The matrix entries are the derivatives of curr with respect to the phases,
// stamped with the two-terminal pattern (+ on the diagonal, - off it).
// UpdateValues reports the current, phase and voltage from i to j whichever
// terminal is grounded, so with i = 0 it writes them negated.
//
// A law (junction.cpp, junction_rsjn.cpp, junction_pwl.cpp) is a struct of
// the parameters, initialised to their defaults, with
//   linear_admitance(ctx)               the A1 value: the parts that depend
//                                       only on the integration coefficients
//   nonlinear_admitance(cos, t, ctx)    the A2 value, given the cosine of the
//                                       phase (and reading ctx.voltages)
//   current(sin, dvoltage, ddvoltage)   given the sine of the phase
// and, if it has them,
//   phase_offset                        a field: the supercurrent follows the
//                                       sine of the junction phase (from i to j)
//                                       less phase_offset, and the quanta count
//                                       that shifted phase
//   accept(dvoltage)                    told the branch voltage of each accepted
//                                       step, after Values has evaluated it
#pragma once

#include "element_model.hpp"

#include <bit>

namespace quenda::stampcore {

// Bit-for-bit equality: a value memo must not mix up -0.0 and +0.0.
inline bool same_bits(double a, double b) {
    return std::bit_cast<uint64_t>(a) == std::bit_cast<uint64_t>(b);
}

// The sine of the last phase whose cosine Admitance2 took. BuildMatrix and
// UpdateMatrix call RHSCurrent right after it with the same phase; one
// sincos then serves both (it gives the same bits as sin and cos), which
// saves a third of the junction's cost per iteration. The pair is always a
// true (phase, sin(phase)), so a stale memo can only miss, never mislead.
struct SineMemo {
    double phase = 0.0;
    double sine = 0.0;

    double cos_remembering_sin(double x) {
        double s, c;
        sincos(x, &s, &c);
        phase = x;
        sine = s;
        return c;
    }
    double sin(double x) const { return same_bits(x, phase) ? sine : std::sin(x); }
};

// A node-indexed quantity across the junction's branch.
inline double junction_across(const TwoTerminal& t, const double* x) {
    if (t.i != 0) return t.j != 0 ? x[t.i - 1] - x[t.j - 1] : x[t.i - 1];
    return x[t.j - 1];
}

// The phase the supercurrent channel sees: dphase itself (the same bits),
// unless the law shifts it. A shifted law is not odd in the phase, so the
// shift follows the junction's own direction: with i at ground the branch
// runs from j, against it.
template <class Law>
inline double supercurrent_phase(const Law& law, const TwoTerminal& t, double dphase) {
    if constexpr (requires { law.phase_offset; })
        return t.i != 0 ? dphase - law.phase_offset : dphase + law.phase_offset;
    else
        return dphase;
}

template <class Law>
struct ShuntedJunctionModel {
    ElementModel base;
    Law law;
    TwoTerminal t;
    SineMemo memo;
    double* node_phases;
    double* node_voltages;
    double* node_dvoltages;
    double* elem_currents;
    double* elem_phases;
    double* elem_voltages;
    int32_t* elem_n;
    uint8_t* elem_inc;
    uint8_t* elem_dec;

    static ShuntedJunctionModel* self(ElementModel* m) {
        return reinterpret_cast<ShuntedJunctionModel*>(m);
    }

    static void Admitance1(ElementModel* m, double* matrix, const ModelContext* ctx) {
        const auto* jj = self(m);
        jj->t.stamp(matrix, jj->law.linear_admitance(*ctx));
    }

    static void Admitance2(ElementModel* m, double* matrix, const ModelContext* ctx) {
        auto* jj = self(m);
        const double c = jj->memo.cos_remembering_sin(
            supercurrent_phase(jj->law, jj->t, junction_across(jj->t, ctx->phases)));
        jj->t.stamp(matrix, jj->law.nonlinear_admitance(c, jj->t, *ctx));
    }

    static void RHSCurrent(ElementModel* m, double* vec, const ModelContext* ctx) {
        const auto* jj = self(m);
        const TwoTerminal& t = jj->t;
        const double curr = jj->law.current(
            jj->memo.sin(supercurrent_phase(jj->law, t, junction_across(t, ctx->phases))),
                                            junction_across(t, ctx->voltages),
                                            junction_across(t, ctx->voltages_deriv));
        if (t.i != 0) {
            vec[t.i - 1] -= curr;
            if (t.j != 0) vec[t.j - 1] += curr;
        } else {
            vec[t.j - 1] -= curr;
        }
    }

    static void Values(ElementModel* m, const ModelContext* ctx) {
        auto* jj = self(m);
        const TwoTerminal& t = jj->t;
        const int32_t e = t.eindex;
        const double dphase = junction_across(t, jj->node_phases);
        const double sphase = supercurrent_phase(jj->law, t, dphase);
        const double dvoltage = junction_across(t, jj->node_voltages);
        const double curr =
            jj->law.current(std::sin(sphase), dvoltage, junction_across(t, jj->node_dvoltages));
        const bool from_i = t.i != 0;
        jj->elem_currents[e] = from_i ? curr : -curr;
        jj->elem_phases[e] = from_i ? dphase : -dphase;
        jj->elem_voltages[e] = from_i ? dvoltage : -dvoltage;
        NQuanta(from_i ? sphase : -sphase, &jj->elem_n[e], &jj->elem_inc[e], &jj->elem_dec[e],
                ctx->histeresis);
        if constexpr (requires { jj->law.accept(dvoltage); }) jj->law.accept(dvoltage);
    }

    static void defaults(ElementModel* m) {
        self(m)->law = Law{};
        self(m)->memo = SineMemo{};
    }
};

// The tables of a junction class, for the construction protocol.
template <class Law>
inline constexpr IndexArg kJunctionCtor[] = {QUENDA_TWO_TERMINAL_CTOR(ShuntedJunctionModel<Law>)};
template <class Law>
inline constexpr SlotArg kJunctionSlots[] = {QUENDA_TWO_TERMINAL_SLOTS(ShuntedJunctionModel<Law>)};
template <class Law>
inline constexpr HostArray kJunctionArrays[] = {
    QUENDA_NODE_ARRAYS(ShuntedJunctionModel<Law>),
    QUENDA_DVOLTAGE_ARRAY(ShuntedJunctionModel<Law>),
    QUENDA_ELEMENT_ARRAYS(ShuntedJunctionModel<Law>),
    QUENDA_QUANTA_ARRAYS(ShuntedJunctionModel<Law>),
};

// A junction class's description; params map the items of SetParameters to law fields.
template <class Law>
constexpr ElementClass shunted_junction_class(const char* name, std::span<const Param> params,
                                              const char* doc) {
    using Model = ShuntedJunctionModel<Law>;
    return describe<Model>({
        .name = name,
        .ops = {no_admitance0, Model::Admitance1, Model::Admitance2, Model::RHSCurrent,
                Model::Values},
        .stamps = kStampsA1 | kStampsA2,
        .reads_solution = true,
        .params = params,
        .defaults = Model::defaults,
        .pickle_message = kPickleJunction,
        .methods = nullptr,
        .doc = doc,
    }, kJunctionCtor<Law>, kJunctionSlots<Law>, kJunctionArrays<Law>);
}

}  // namespace quenda::stampcore
