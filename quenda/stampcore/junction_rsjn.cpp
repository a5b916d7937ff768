// Josephson junction between nodes i and j with a voltage-dependent shunt:
// a supercurrent channel, a nonlinear shunt and a capacitance in parallel.
//
//   rel  = pow(dvoltage / Vg, n)
//   curr = (Ic * sin(dphase) + (dvoltage * rel) / ((rel + 1) * R)) + ddvoltage * C
//
// For an even n the shunt conductance rises smoothly from 0 well below the
// gap voltage Vg to 1 / R well above it (half of it at |dvoltage| = Vg). Only
// the capacitance is linear (A1); the supercurrent channel and the shunt,
// through its exact derivative d/dV [V rel / ((rel + 1) R)] =
// rel (1 + n + rel) / (R (rel + 1)^2), go into A2. The branch rules and the
// stamp are in shunted_junction.hpp.
//
//            col i      col j
//   row i  [ +adm       -adm ]     A1: adm = coeff_ddt * C
//   row j  [ -adm       +adm ]     A2: adm = Ic * cos(dphase)
//                                       + coeff_dt * rel (1 + n + rel) / (R (rel + 1)^2)
//
// A negative dvoltage with a non-integral n gives rel = NaN, and an odd n at
// dvoltage = -Vg divides by zero: both propagate as the law says.
#include "shunted_junction.hpp"

namespace quenda::stampcore {
namespace {

// Far above the gap the shunt is ohmic: beyond this |rel| its current and
// conductance are dvoltage / R and 1 / R to within about |n| / rel, far below
// one rounding step, while the law's own expressions overflow as rel or rel^2
// leaves the double range (to NaN, an infinite or a zero current; a large n
// gets there within a few gap voltages).
constexpr double kOhmicRel = 1e100;

struct JunctionRSJNLaw {
    double crit_current = 0.0;
    double resistance = 1.0;  // well above the gap
    double capacitance = 1.0;
    double rsjn_vg = 4.3;
    double rsjn_n = 10.0;

    // The last rel computed, with what it was computed from: RHSCurrent
    // follows Admitance2 with the same voltage, and pow is the junction's
    // dearest call.
    mutable double memo_voltage = 0.0, memo_vg = 4.3, memo_n = 10.0, memo_rel = 0.0;

    double rel_voltage(double dvoltage) const {
        if (!same_bits(dvoltage, memo_voltage) || !same_bits(rsjn_vg, memo_vg) ||
            !same_bits(rsjn_n, memo_n)) {
            memo_rel = std::pow(dvoltage / rsjn_vg, rsjn_n);
            memo_voltage = dvoltage;
            memo_vg = rsjn_vg;
            memo_n = rsjn_n;
        }
        return memo_rel;
    }

    double linear_admitance(const ModelContext& ctx) const { return ctx.coeff_ddt * capacitance; }

    double nonlinear_admitance(double cos_phase, const TwoTerminal& t,
                               const ModelContext& ctx) const {
        const double rel = rel_voltage(junction_across(t, ctx.voltages));
        const double shunt = std::fabs(rel) > kOhmicRel
                                 ? ctx.coeff_dt / resistance
                                 : ((ctx.coeff_dt * rel) * ((1.0 + rsjn_n) + rel)) /
                                       ((resistance * (rel + 1.0)) * (rel + 1.0));
        return crit_current * cos_phase + shunt;
    }

    double current(double sin_phase, double dvoltage, double ddvoltage) const {
        const double rel = rel_voltage(dvoltage);
        const double shunt = std::fabs(rel) > kOhmicRel
                                 ? dvoltage / resistance
                                 : (dvoltage * rel) / ((rel + 1.0) * resistance);
        return (crit_current * sin_phase + shunt) + ddvoltage * capacitance;
    }
};

using JunctionRSJNModel = ShuntedJunctionModel<JunctionRSJNLaw>;

const Param kParams[] = {
    {0, offsetof(JunctionRSJNModel, law.crit_current), false},
    {1, offsetof(JunctionRSJNModel, law.resistance), false},
    {2, offsetof(JunctionRSJNModel, law.rsjn_vg), false},
    {3, offsetof(JunctionRSJNModel, law.rsjn_n), false},
    {4, offsetof(JunctionRSJNModel, law.capacitance), false},
};

}  // namespace

const ElementClass kJunctionRSJNClass = shunted_junction_class<JunctionRSJNLaw>(
    "JunctionRSJNModel", kParams,
    "JunctionRSJNModel(i, j, eindex)\n\nJosephson junction between nodes i and j (0 is "
    "ground) with a voltage-dependent shunt.\nSetParameters((crit_current, resistance, "
    "rsjn_vg, rsjn_n, capacitance)).");

}  // namespace quenda::stampcore
