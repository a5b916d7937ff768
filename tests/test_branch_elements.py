"""Elements with a branch row: the inductor with branch current and the mutual
inductance, and what they share with the phase and voltage sources (branch-row
checks, driver length checks, stamps that are the derivative of the residual,
small circuits solved through them)."""

import pickle

import numpy as np
import pytest

from quenda import SimulationParameters as SP
from quenda import qdglobals as G
from quenda import stampcore as sc

CDT = 8.0  # SP.InterpCoeffDt of the host fixture


def couplings(i, j, q):
    return [(i, q), (j, q), (q, i), (q, j)]


# (row, column) of each InitModel slot, by class, from the constructor's node and row numbers.
PAIRS = {
    "InductorImpedanceModel": lambda i, j, q: couplings(i, j, q) + [(q, q)],
    "PhaseSourceModel": couplings,
    "VoltageSourceModel": couplings,
    "MutualInductanceModel": lambda q, v: [(q, q), (q, v), (v, q), (v, v)],
}


def make(name, *rows, n, param, e=0):
    """A model on a dense row-major n x n pattern. A slot at ground gets a
    position past n * n of its own, which no stamp may touch."""
    spare = iter(range(n * n, n * n + 8))
    m = getattr(sc, name)(*rows, e)
    m.InitModel(*[(r - 1) * n + c - 1 if r and c else next(spare) for r, c in PAIRS[name](*rows)])
    m.SetParameters((param,))
    return m


def jacobian(host, n):
    a0, a1, a2, _ = host.build(n * n + 8, n)
    total = a0 + a1 + a2
    assert not total[n * n:].any()
    return total[: n * n].reshape(n, n)


def residual(x, xprev):
    """Minus the right-hand side at phases x, with the voltages that the
    integration formula ties to them."""
    SP.X = np.vstack([xprev, x, xprev])
    SP.DX = CDT * (x - xprev)
    b = np.zeros(len(x))
    sc.UpdateRHS(b)
    return -b


GROUNDS = [(1, 2), (1, 0), (0, 2)]
CIRCUITS = [
    *([(name, (i, j, 3), 0.7)] for name in ("InductorImpedanceModel", "PhaseSourceModel",
                                            "VoltageSourceModel") for i, j in GROUNDS),
    [("MutualInductanceModel", (1, 2), 0.4)],
    [("InductorImpedanceModel", (1, 0, 3), 2.0), ("InductorImpedanceModel", (2, 1, 4), 3.0),
     ("MutualInductanceModel", (3, 4), -0.6), ("VoltageSourceModel", (2, 0, 5), 1.5)],
]


@pytest.mark.parametrize("circuit", CIRCUITS, ids=lambda c: "+".join(f"{n}{r}" for n, r, _ in c))
def test_stamps_are_the_derivative_of_the_residual(host, circuit):
    n = 6
    host.arrays(n, len(circuit))
    SP.InitialSmoothFactor = 0.6
    host.collect(*[make(name, *rows, n=n, param=p, e=k) for k, (name, rows, p) in enumerate(circuit)])
    jac = jacobian(host, n)
    assert jac.any()
    x, xprev = np.random.default_rng(4).standard_normal((2, n))
    h = 1e-3
    fd = np.column_stack([(residual(x + h * e, xprev) - residual(x - h * e, xprev)) / (2 * h)
                          for e in np.eye(n)])
    np.testing.assert_allclose(jac, fd, rtol=1e-9, atol=1e-9)


def test_coupled_inductors_driven_by_phase_sources(host):
    phi, (l1, l2, m) = np.array([0.3, -0.8]), (2.0, 3.0, 0.5)
    host.arrays(6, 5)
    host.collect(make("PhaseSourceModel", 1, 0, 3, n=6, param=phi[0], e=0),
                 make("PhaseSourceModel", 2, 0, 4, n=6, param=phi[1], e=1),
                 make("InductorImpedanceModel", 1, 0, 5, n=6, param=l1, e=2),
                 make("InductorImpedanceModel", 2, 0, 6, n=6, param=l2, e=3),
                 make("MutualInductanceModel", 5, 6, n=6, param=m, e=4))
    x = np.linalg.solve(jacobian(host, 6), -residual(np.zeros(6), np.zeros(6)))  # one Newton step
    i1, i2 = np.linalg.solve([[l1, m], [m, l2]], phi)  # phi = L I + M I'
    np.testing.assert_allclose(x, [*phi, -i1, -i2, i1, i2], rtol=1e-12)
    G.NodePhase[:] = x
    sc.UpdateValues()
    np.testing.assert_allclose(G.ElementCurrent, [-i1, -i2, i1, i2, 0.0], rtol=1e-12)


@pytest.mark.parametrize("i, j", [(2, 5), (2, 0), (0, 5)])
def test_inductor_leaves_out_its_grounded_side(host, i, j):
    host.arrays(8, 4, seed=1)
    m = sc.InductorImpedanceModel(i, j, 7, 3)
    m.InitModel(0, 1, 2, 3, 4)
    host.collect(m)
    assert host.build(5, 8)[0][4] == 1.0  # the inductance of a new model
    m.SetParameters((0.5,))
    a0, a1, a2, _ = host.build(5, 8)  # B follows from these through the derivative test
    assert a0.tolist() == [float(i != 0), -float(j != 0), -float(i != 0), float(j != 0), 0.5]
    assert not (a1.any() or a2.any())
    G.ElementCurrent[3] = 99.0
    sc.UpdateValues()
    a = lambda arr, n: arr[n - 1] if n else 0.0
    assert G.ElementCurrent[3] == G.NodePhase[6]
    assert G.ElementPhase[3] == a(G.NodePhase, i) - a(G.NodePhase, j)
    assert G.ElementVoltage[3] == a(G.NodeVoltage, i) - a(G.NodeVoltage, j)


def test_mutual_inductance_couples_only_across(host):
    host.arrays(9, 5, seed=2)
    m = sc.MutualInductanceModel(7, 9, 4)
    m.InitModel(0, 1, 2, 3)
    host.collect(m)
    a0, _, _, b = host.build(4, 9)
    assert not (a0.any() or b.any())  # no coupling until SetParameters
    m.SetParameters((0.5,))
    a0, a1, a2, b = host.build(4, 9)
    assert a0.tolist() == [0.0, 0.5, 0.5, 0.0] and not (a1.any() or a2.any())
    x = SP.X[1]
    assert b.tolist() == [0.0] * 6 + [-0.5 * x[8], 0.0, -0.5 * x[6]]
    for arr in (G.ElementPhase, G.ElementVoltage, G.ElementCurrent):
        arr[4] = 7.0
    sc.UpdateValues()
    assert [G.ElementPhase[4], G.ElementVoltage[4], G.ElementCurrent[4]] == [0.0] * 3


PLAIN = ("self.elem_currents,self.elem_phases,self.elem_voltages,self.node_phases,"
         "self.node_voltages cannot be converted to a Python object for pickling")
SOURCE = PLAIN.replace("currents,", "currents,self.elem_n,")

# Class, node and row numbers (7 the highest unknown), slots no operation reads, pickle text.
ALL = [
    ("InductorImpedanceModel", (2, 0, 7), 5, {1, 3}, PLAIN),
    ("InductorImpedanceModel", (0, 2, 7), 5, {0, 2}, PLAIN),
    ("PhaseSourceModel", (2, 0, 7), 4, {1, 3}, SOURCE),
    ("VoltageSourceModel", (0, 2, 7), 4, {0, 2}, SOURCE),
    ("MutualInductanceModel", (3, 7), 4, {0, 3}, PLAIN),
]


@pytest.mark.parametrize("name, rows, nslots, unread, message", ALL)
def test_construction_checks(host, name, rows, nslots, unread, message):
    cls = getattr(sc, name)
    with pytest.raises(TypeError, match=rf"^__init__\(\) takes exactly {len(rows) + 1} "
                                        rf"positional arguments \({len(rows)} given\)$"):
        cls(*rows)
    with pytest.raises(ValueError, match=rf"^{name}: branch row \w must be at least 1 \(got 0\)$"):
        cls(*rows[:-1], 0, 0)
    m = cls(*rows, 0)
    host.arrays(6, 1)
    with pytest.raises(IndexError, match=r"branch row \w = 7 is beyond the node arrays"):
        m.InitModel(*range(nslots))
    host.arrays(7, 1)
    for k in range(nslots):  # a negative position passes only where nothing reads it
        positions = [0] * nslots
        positions[k] = -1
        if k in unread:
            m.InitModel(*positions)
        else:
            with pytest.raises(IndexError, match="slot position"):
                m.InitModel(*positions)
    for empty in ((), []):
        with pytest.raises(IndexError):
            m.SetParameters(empty)
    with pytest.raises(TypeError, match=f"^{message}$"):
        pickle.dumps(m)


@pytest.mark.parametrize("name, rows, nslots, unread, message", ALL)
def test_drivers_refuse_arrays_short_of_the_model(host, name, rows, nslots, unread, message):
    m = getattr(sc, name)(*rows, 0)
    m.InitModel(*range(nslots))
    host.collect(m)
    last = max(set(range(nslots)) - unread)
    with pytest.raises(ValueError, match=f"has {last} values, but the element models stamp "
                                         f"slot position {last}"):
        if name == "VoltageSourceModel":
            sc.BuildMatrix(np.zeros(last), np.zeros(8), np.zeros(8))
        else:
            sc.BuildStaticMatrix(np.zeros(last))
    with pytest.raises(ValueError, match="^B has 6 values, but the element models use unknown 7$"):
        sc.UpdateRHS(np.zeros(6))
    SP.X = np.zeros((3, 6))
    with pytest.raises(ValueError, match="use unknown 7"):
        sc.UpdateRHS(np.zeros(8))
