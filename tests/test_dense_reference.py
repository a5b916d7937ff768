"""Random mixed linear circuits: the kernel's sparse stamps, summed into a
dense matrix, equal a dense reference assembled here from circuit laws."""

import numpy as np
import pytest

from quenda import SimulationParameters as SP
from quenda import qdglobals as G
from quenda import stampcore as sc

KINDS = {"R": sc.ResistorModel, "C": sc.CapacitorModel, "L": sc.InductorModel, "I": sc.CurrentSourceModel}


def random_circuit(rng, nodes, count):
    elements = []
    for e in range(count):
        kind = rng.choice(list(KINDS))
        i, j = rng.choice(nodes + 1, size=2, replace=False)  # 0 is ground
        elements.append((kind, int(i), int(j), float(rng.uniform(0.1, 10.0))))
    return elements


def pattern(elements, nodes):
    """Compressed-column slot of every (row, col) the elements touch, 0-based."""
    entries = set()
    for _, i, j, _ in elements:
        for r in (i, j):
            for c in (i, j):
                if r and c:
                    entries.add((r - 1, c - 1))
    ordered = sorted(entries, key=lambda rc: (rc[1], rc[0]))
    return {rc: k for k, rc in enumerate(ordered)}


@pytest.mark.parametrize("seed", range(12))
def test_stamps_match_dense_reference(host, seed):
    rng = np.random.default_rng(seed)
    nodes, count = int(rng.integers(2, 9)), int(rng.integers(1, 25))
    host.arrays(nodes, count, seed=seed)
    SP.InterpCoeffDt, SP.InterpCoeffDDt = [rng.uniform(1, 10)], [rng.uniform(1, 100)]
    SP.InitialSmoothFactor = rng.uniform(0, 1)
    cdt, cddt, smooth = SP.InterpCoeffDt[0], SP.InterpCoeffDDt[0], SP.InitialSmoothFactor
    elements = random_circuit(rng, nodes, count)
    slots = pattern(elements, nodes)

    models = []
    for e, (kind, i, j, value) in enumerate(elements):
        m = KINDS[kind](i, j, e)
        at = lambda r, c: slots.get((r - 1, c - 1), -1) if r and c else -1
        m.InitModel(at(i, i), at(i, j), at(j, i), at(j, j))
        m.SetParameters([value])
        models.append(m)
    host.collect(*models)
    a0, a1, a2, b = host.build(len(slots), nodes)
    sparse = np.zeros((nodes, nodes))
    for (r, c), k in slots.items():
        sparse[r, c] = a0[k] + a1[k] + a2[k]

    dense, rhs = np.zeros((nodes, nodes)), np.zeros(nodes)
    X = lambda arr, n: arr[n - 1] if n else 0.0
    phases, voltages, dvoltages = SP.X[SP.Xind], SP.DX, SP.DDX
    for kind, i, j, value in elements:
        if kind == "I":
            s = smooth * value
            if i:
                rhs[i - 1] += s
                if j:
                    rhs[j - 1] -= s
            else:
                rhs[j - 1] += s
            continue
        g, current = {
            "R": (cdt / value, (X(voltages, i) - X(voltages, j)) / value),
            "C": (cddt * value, value * (X(dvoltages, i) - X(dvoltages, j))),
            "L": (1 / value, (X(phases, i) - X(phases, j)) / value),
        }[kind]
        for r, c, sign in ((i, i, 1), (i, j, -1), (j, i, -1), (j, j, 1)):
            if r and c:
                dense[r - 1, c - 1] += sign * g
        if i:
            rhs[i - 1] -= current
        if j:
            rhs[j - 1] += current
    np.testing.assert_allclose(sparse, dense, rtol=1e-13, atol=1e-13)
    np.testing.assert_allclose(b, rhs, rtol=1e-12, atol=1e-12)

    sc.UpdateValues()
    for e, (kind, i, j, value) in enumerate(elements):
        phase = X(G.NodePhase, i) - X(G.NodePhase, j)
        voltage = X(G.NodeVoltage, i) - X(G.NodeVoltage, j)
        current = {
            "R": voltage / value,
            "C": value * (X(G.NodeDVoltage, i) - X(G.NodeDVoltage, j)),
            "L": phase / value,
            "I": smooth * value,
        }[kind]
        assert G.ElementPhase[e] == pytest.approx(phase, abs=1e-14)
        assert G.ElementVoltage[e] == pytest.approx(voltage, abs=1e-14)
        assert G.ElementCurrent[e] == pytest.approx(current, rel=1e-13, abs=1e-13)
