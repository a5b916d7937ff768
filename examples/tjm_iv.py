"""The mean current of a voltage-biased tunnel junction (TJM model).

A junction from node 1 to ground is held at a constant voltage V: its phase
grows as V t. Each step the host advances the phase and calls BuildMatrix
(which moves the kernel history on by one step) and UpdateValues (which
accepts the step); the junction's current, averaged over whole Josephson
periods once the start-up has died out, is its DC current. The pair current
oscillates and averages out; what remains is the quasiparticle current,
which the kernel terms give in closed form:

    I = Ic * (sgw V - Sum_k Re(B_k (V/2) / (P_k**2 + (V/2)**2)))

with the scaled terms of InitTJMModel. The two columns should agree to the
accuracy of the time step. Units are the kernel's normalised ones; the
coefficient table is qdconfig's test table, not a real junction.
"""

import argparse
import math

import numpy as np

from quenda import SimulationParameters as SP
from quenda import qdconfig
from quenda import qdglobals as G
from quenda import stampcore as sc

WVG, WVRAT, WRRAT = 4.126984126984127, 0.6, 0.1


class Element:
    def __init__(self, model):
        self.model = model

    def UpdateParameters(self):
        pass


def closed_form(table, voltage):
    """The DC current of the scaled kernel terms (Ic = 1)."""
    A, B, P = (np.asarray(v, dtype=complex) for v in qdconfig.tjm_models[table])
    P = P * WVG * 0.5
    B = B * WVG * (WRRAT - 1.0) / (2 * WVRAT)
    theta = voltage / 2
    return voltage / (WVG * WVRAT) - np.sum((B * theta / (P * P + theta * theta)).real)


def simulated(table, voltage, steps_per_period=128, settle=80.0, periods=4):
    """The junction's current averaged over whole periods after `settle`."""
    for name in ("NodePhase", "NodeVoltage", "NodeDVoltage", "ElementPhase",
                 "ElementVoltage", "ElementCurrent"):
        setattr(G, name, np.zeros(1))
    G.ElementN = np.zeros(1, dtype=np.int32)
    G.ElementInc, G.ElementDec = np.zeros(1, dtype=np.uint8), np.zeros(1, dtype=np.uint8)
    junction = sc.JunctionTJMModel(1, 0, 0)
    junction.InitModel(0, 0, 0, 0)
    junction.InitTJMModel((table, 1.0, 1.0, WVG, WVRAT, WRRAT))
    G.ElementList, G.TotalElements, G.TotalNodes = [Element(junction)], 1, 1
    sc.InitElementModels()

    h = 2 * math.pi / voltage / steps_per_period
    SP.TimeSteps, SP.InterpCoeffDt, SP.InterpCoeffDDt = [h], [2 / h], [4 / h**2]
    SP.DX, SP.DDX, SP.DXprev = np.array([voltage]), np.zeros(1), np.array([voltage])
    a0, a1, a2, b = (np.zeros(1) for _ in range(4))
    sc.BuildStaticMatrix(a0)  # the history starts at rest
    start = math.ceil(settle / h)
    currents = []
    for n in range(start + periods * steps_per_period):
        SP.X, SP.Xind = np.array([[voltage * n * h], [voltage * (n + 1) * h]]), 1
        for cleared in (a1, a2, b):
            cleared.fill(0.0)
        sc.BuildMatrix(a1, a2, b)  # a real host would solve here
        G.NodePhase[0], G.NodeVoltage[0] = voltage * (n + 1) * h, voltage
        sc.UpdateValues()
        if n >= start:
            currents.append(G.ElementCurrent[0])
    return float(np.mean(currents))


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--table", default="test_gap_8", choices=sorted(qdconfig.tjm_models))
    args = parser.parse_args()
    print(f"{'V / wvg':>8s} {'simulated':>12s} {'closed form':>12s}")
    for x in (0.05, 0.3, 0.6, 0.9, 1.2, 2.0, 3.0):
        v = x * WVG
        print(f"{x:8.2f} {simulated(args.table, v):12.6f} {closed_form(args.table, v):12.6f}")


if __name__ == "__main__":
    main()
