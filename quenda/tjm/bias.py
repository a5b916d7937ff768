"""A tunnel junction under a prescribed voltage, through the kernel alone.

The junction (JunctionTJMModel, no capacitance, wrrat = 0) is set up from a
table so that the kernel runs in the table's own units: wvg = 2 makes kernel
time tau = omega_g t, and crit_current = wvrat = the table's critical current
makes currents come out in V_g / R_N. Its phase follows phi(tau) = 2 Int x dtau
for a voltage x(tau) = V / V_g given in closed form; each step moves the
kernel's history on (BuildMatrix) and accepts the step (UpdateValues), as the
time loop does once Newton has converged. What comes back is the junction's
current at each step.

This uses the kernel's host state (quenda.qdglobals and
quenda.SimulationParameters): not while a simulation runs.
"""

import math

import numpy as np

from .. import SimulationParameters as SP
from .. import qdconfig
from .. import qdglobals as G
from .. import stampcore as sc


class _Element:
    def __init__(self, model):
        self.model = model

    def UpdateParameters(self):
        pass


def currents(name, phase, voltage, dvoltage, step, steps):
    """The junction current (V_g / R_N) after each of `steps` steps of length
    `step` (tau) of the table `name`, for a phase given by three functions
    of an array of times tau: phase(tau) = phi, voltage(tau) = dphi/dtau
    (= 2 x) and dvoltage(tau), its derivative. The history before tau = 0 is
    that of a junction at rest."""
    A, B, P = (np.asarray(v, dtype=complex) for v in qdconfig.tjm_models[name])
    ic = float(-np.sum((A / P).real))
    for attr in ("NodePhase", "NodeVoltage", "NodeDVoltage", "ElementPhase",
                 "ElementVoltage", "ElementCurrent"):
        setattr(G, attr, np.zeros(1))
    G.ElementN = np.zeros(1, dtype=np.int32)
    G.ElementInc, G.ElementDec = np.zeros(1, dtype=np.uint8), np.zeros(1, dtype=np.uint8)
    G.TotalNodes = 1
    junction = sc.JunctionTJMModel(1, 0, 0)
    junction.InitModel(0, 0, 0, 0)
    junction.InitTJMModel((name, ic, 0.0, 2.0, ic, 0.0))
    G.ElementList, G.TotalElements = [_Element(junction)], 1
    G.SourceElementList, G.TotalSourceElements = [], 0
    sc.InitElementModels()

    SP.TimeSteps, SP.InterpCoeffDt, SP.InterpCoeffDDt = [step], [2 / step], [4 / step ** 2]
    SP.PHASE_HISTERESIS = 0.0
    tau = step * np.arange(steps + 1)
    phi, v, dv = (np.broadcast_to(np.asarray(f(tau), dtype=float), tau.shape)
                  for f in (phase, voltage, dvoltage))
    SP.X, SP.Xind = np.zeros((2, 1)), 1
    SP.DX, SP.DDX, SP.DXprev = np.zeros(1), np.zeros(1), np.zeros(1)
    a1, a2, b = np.zeros(1), np.zeros(1), np.zeros(1)
    sc.BuildStaticMatrix(np.zeros(1))
    out = np.empty(steps)
    for n in range(steps):
        SP.X[0, 0], SP.X[1, 0] = phi[n], phi[n + 1]
        SP.DXprev[0], SP.DX[0], SP.DDX[0] = v[n], v[n + 1], dv[n + 1]
        a1[0] = a2[0] = b[0] = 0.0
        sc.BuildMatrix(a1, a2, b)
        G.NodePhase[0], G.NodeVoltage[0], G.NodeDVoltage[0] = phi[n + 1], v[n + 1], dv[n + 1]
        sc.UpdateValues()
        out[n] = G.ElementCurrent[0]
    return out


def _constant_voltage(name, x, settle, periods, per_period):
    """Phases and currents over whole Josephson periods (pi / x in tau) once
    `settle` has passed."""
    period = math.pi / x
    step = period / per_period
    skip = math.ceil(settle / period) * per_period
    i = currents(name, lambda t: 2 * x * t, lambda t: 2.0 * x, lambda t: 0.0, step,
                 skip + periods * per_period)
    return 2 * x * step * np.arange(skip + 1, len(i) + 1), i[skip:]


def dc_current(name, x, settle=600.0, periods=40, per_period=64):
    """The mean current at the constant voltage x = V / V_g (V_g / R_N). The
    kernel follows cos(phi / 2) along a quadratic in each step (third
    order): at 64 steps a period the mean is good to about 1e-6."""
    return float(_constant_voltage(name, x, settle, periods, per_period)[1].mean())


def pair_response(name, x, settle=600.0, periods=40, per_period=64):
    """The pair response Jp(x) as the junction shows it at the constant
    voltage x: its current is I_dc + Re Jp sin(phi) - Im Jp cos(phi)."""
    phi, i = _constant_voltage(name, x, settle, periods, per_period)
    return complex(2 * np.mean(i * np.sin(phi)), -2 * np.mean(i * np.cos(phi)))
