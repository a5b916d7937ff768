"""Stamp a small RLC circuit with the kernel and print what it built.

    I1: 1 mA into node 1         R1: 50 ohm, node 1 to ground
    L1: 2 nH, node 1 to node 2   C1: 1 pF, node 2 to ground

The unknowns are the node phases, so the kernel stamps each element's
current derivative with respect to the phase: 1/L for an inductor,
coeff_dt/R for a resistor and coeff_ddt*C for a capacitor, where coeff_dt
and coeff_ddt come from the integration formula (here the trapezoidal rule
with a 1 ps step). Values are in SI units in this example; the kernel itself
is unit-agnostic.
"""

import numpy as np

from quenda import SimulationParameters as SP
from quenda import qdglobals as G
from quenda import stampcore as sc


class Element:
    def __init__(self, name, model, value):
        self.name, self.model, self.value = name, model, value

    def UpdateParameters(self):
        self.model.SetParameters([self.value])


def main():
    circuit = [  # name, class, i, j, value
        ("I1", sc.CurrentSourceModel, 0, 1, 1e-3),
        ("R1", sc.ResistorModel, 1, 0, 50.0),
        ("L1", sc.InductorModel, 1, 2, 2e-9),
        ("C1", sc.CapacitorModel, 2, 0, 1e-12),
    ]
    nodes = 2

    # The sparse pattern: every (row, col) an element touches, column by column.
    entries = sorted({(r - 1, c - 1) for _, _, i, j, _ in circuit
                      for r in (i, j) for c in (i, j) if r and c}, key=lambda rc: (rc[1], rc[0]))
    slot = {rc: k for k, rc in enumerate(entries)}
    at = lambda r, c: slot.get((r - 1, c - 1), -1)

    G.NodePhase, G.NodeVoltage, G.NodeDVoltage = np.zeros(nodes), np.zeros(nodes), np.zeros(nodes)
    G.ElementPhase, G.ElementVoltage, G.ElementCurrent = (np.zeros(len(circuit)) for _ in range(3))
    G.TotalNodes = nodes

    elements = []
    for e, (name, cls, i, j, value) in enumerate(circuit):
        model = cls(i, j, e)
        model.InitModel(at(i, i), at(i, j), at(j, i), at(j, j))
        elements.append(Element(name, model, value))
    G.ElementList, G.TotalElements = elements, len(elements)
    G.SourceElementList, G.TotalSourceElements = elements[:1], 1
    sc.InitElementModels()

    h = 1e-12
    SP.X, SP.Xind = np.zeros((2, nodes)), 1
    SP.DX, SP.DDX, SP.DXprev = np.zeros(nodes), np.zeros(nodes), np.zeros(nodes)
    SP.InterpCoeffDt, SP.InterpCoeffDDt, SP.TimeSteps = [2 / h], [4 / h**2], [h]
    SP.InitialSmoothFactor = 1.0

    a0, a1, a2, b = np.zeros(len(slot)), np.zeros(len(slot)), np.zeros(len(slot)), np.zeros(nodes)
    sc.BuildStaticMatrix(a0)  # refreshes parameters, stamps the inductor
    sc.BuildMatrix(a1, a2, b)  # resistor and capacitor, currents

    dense = np.zeros((nodes, nodes))
    for (r, c), k in slot.items():
        dense[r, c] = a0[k] + a1[k] + a2[k]
    np.set_printoptions(precision=4)
    print("Pattern (row, col) by slot:", entries)
    print("A0 (step-independent):  ", a0)
    print("A1 (integration coeffs):", a1)
    print("A2 (solution-dependent):", a2)
    print("System matrix A0 + A1 + A2:")
    print(dense)
    print("Right-hand side B (minus the currents leaving each node, plus sources):", b)
    print("One linearised step from rest, node phases:", np.linalg.solve(dense, b))


if __name__ == "__main__":
    main()
