// Resistively and capacitively shunted Josephson junction between nodes i
// and j: a supercurrent channel, a shunt resistance and a capacitance in
// parallel.
//
//   curr = (Ic * sin(dphase) + dvoltage / R) + ddvoltage * C
//
// The shunt and the capacitance are linear in the phase through the
// integration coefficients (A1); the supercurrent channel changes with the
// solution (A2). The branch rules and the stamp are in shunted_junction.hpp.
//
//            col i      col j
//   row i  [ +adm       -adm ]     A1: adm = coeff_dt / R + coeff_ddt * C
//   row j  [ -adm       +adm ]     A2: adm = Ic * cos(dphase)
#include "shunted_junction.hpp"

namespace quenda::stampcore {
namespace {

struct JunctionLaw {
    double crit_current = 0.0;
    double resistance = 1.0;
    double capacitance = 1.0;

    double linear_admitance(const ModelContext& ctx) const {
        return (ctx.coeff_dt / resistance) + (ctx.coeff_ddt * capacitance);
    }

    double nonlinear_admitance(double cos_phase, const TwoTerminal&, const ModelContext&) const {
        return crit_current * cos_phase;
    }

    double current(double sin_phase, double dvoltage, double ddvoltage) const {
        return (crit_current * sin_phase + dvoltage / resistance) + ddvoltage * capacitance;
    }
};

using JunctionModel = ShuntedJunctionModel<JunctionLaw>;

const Param kParams[] = {
    {0, offsetof(JunctionModel, law.crit_current), false},
    {1, offsetof(JunctionModel, law.resistance), false},
    {2, offsetof(JunctionModel, law.capacitance), false},
};

}  // namespace

const ElementClass kJunctionClass = shunted_junction_class<JunctionLaw>(
    "JunctionModel", kParams,
    "JunctionModel(i, j, eindex)\n\nResistively and capacitively shunted Josephson junction "
    "between nodes i and j (0 is ground).\nSetParameters((crit_current, resistance, "
    "capacitance)).");

}  // namespace quenda::stampcore
