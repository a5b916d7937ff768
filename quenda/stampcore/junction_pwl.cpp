// Josephson junction between nodes i and j whose quasiparticle current is
// piecewise linear in the voltage: a supercurrent channel (with an optional
// phase offset), the quasiparticle branch and a capacitance in parallel.
//
//   V_lo = Vg - dV/2,  V_hi = Vg + dV/2
//   I_qp = V / R0                                   |V| <  V_lo   (subgap)
//   I_qp = G V + sign(V) V_lo (1/R0 - G)     V_lo <= |V| <  V_hi   (the gap step)
//   I_qp = V / RN                            V_hi <= |V|          (normal)
//   curr = (Ic * sin(dphase - phase_offset) + I_qp) + ddvoltage * C
//
// The step is continuous at V_lo; at V_hi the law jumps in general. Which
// piece applies is decided by the voltage of the last accepted step (with
// its sign), kept in the model by Values, and holds for the whole next step:
// within a step's Newton iterations I_qp is one affine function of V, so the
// iterations see a smooth law and a step changes piece only between steps.
// The capacitance is linear (A1); the supercurrent and the piece's
// conductance go into A2, since the piece can change from one step to the
// next without a rebuild of A1. The branch rules and the stamp are in
// shunted_junction.hpp.
//
//            col i      col j
//   row i  [ +adm       -adm ]     A1: adm = coeff_ddt * C
//   row j  [ -adm       +adm ]     A2: adm = Ic * cos(dphase - phase_offset)
//                                       + coeff_dt * G_piece
//
// The phase-quanta count follows dphase - phase_offset, the phase whose 2 pi
// slips are the junction's switchings. A NaN accepted voltage selects the
// subgap piece.
#include "shunted_junction.hpp"

namespace quenda::stampcore {
namespace {

struct JunctionPWLLaw {
    double crit_current = 0.0;
    double subgap_resistance = 1.0;
    double normal_resistance = 1.0;
    double gap_voltage = 4.3;
    double gap_width = 0.3;
    double step_conductance = 1.0;
    double capacitance = 1.0;
    double phase_offset = 0.0;
    double accepted_voltage = 0.0;  // branch voltage of the last accepted step

    struct Piece {
        double conductance, offset;
    };

    Piece piece() const {
        const double low = gap_voltage - 0.5 * gap_width;
        const double v = std::fabs(accepted_voltage);
        if (!(v >= low)) return {1.0 / subgap_resistance, 0.0};
        if (v < gap_voltage + 0.5 * gap_width) {
            const double sign = double(accepted_voltage > 0) - double(accepted_voltage < 0);
            return {step_conductance, sign * (low * (1.0 / subgap_resistance - step_conductance))};
        }
        return {1.0 / normal_resistance, 0.0};
    }

    void accept(double dvoltage) { accepted_voltage = dvoltage; }

    double linear_admitance(const ModelContext& ctx) const { return ctx.coeff_ddt * capacitance; }

    double nonlinear_admitance(double cos_phase, const TwoTerminal&,
                               const ModelContext& ctx) const {
        return crit_current * cos_phase + ctx.coeff_dt * piece().conductance;
    }

    double current(double sin_phase, double dvoltage, double ddvoltage) const {
        const Piece p = piece();
        return (crit_current * sin_phase + (p.conductance * dvoltage + p.offset)) +
               ddvoltage * capacitance;
    }
};

using JunctionPWLModel = ShuntedJunctionModel<JunctionPWLLaw>;

const Param kParams[] = {
    {0, offsetof(JunctionPWLModel, law.crit_current), false},
    {1, offsetof(JunctionPWLModel, law.subgap_resistance), false},
    {2, offsetof(JunctionPWLModel, law.normal_resistance), false},
    {3, offsetof(JunctionPWLModel, law.gap_voltage), false},
    {4, offsetof(JunctionPWLModel, law.gap_width), false},
    {5, offsetof(JunctionPWLModel, law.step_conductance), false},
    {6, offsetof(JunctionPWLModel, law.capacitance), false},
    {7, offsetof(JunctionPWLModel, law.phase_offset), false},
};

}  // namespace

const ElementClass kJunctionPWLClass = shunted_junction_class<JunctionPWLLaw>(
    "JunctionPWLModel", kParams,
    "JunctionPWLModel(i, j, eindex)\n\nJosephson junction between nodes i and j (0 is "
    "ground) with a piecewise-linear quasiparticle current: subgap resistance below the "
    "gap, a step of conductance step_conductance across it, normal resistance above; the "
    "piece is that of the last accepted voltage.\nSetParameters((crit_current, "
    "subgap_resistance, normal_resistance, gap_voltage, gap_width, step_conductance, "
    "capacitance, phase_offset)).");

}  // namespace quenda::stampcore
