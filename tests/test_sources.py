"""Phase and voltage sources: where their unit couplings go, the value their
branch row prescribes, and the element values and quanta count they report."""

import numpy as np
import pytest

from quenda import SimulationParameters as SP
from quenda import qdglobals as G
from quenda import stampcore as sc

CDT = 8.0  # SP.InterpCoeffDt of the host fixture

# Each source and the matrix (A0, A1) its couplings go to.
SOURCES = [("PhaseSourceModel", 0), ("VoltageSourceModel", 1)]


def source(name, i, j, params=None):
    m = getattr(sc, name)(i, j, 7, 2)
    m.InitModel(0, 1, 2, 3)  # ind_iq, ind_jq, ind_qi, ind_qj
    if params is not None:
        m.SetParameters(params)
    return m


@pytest.mark.parametrize("name, k", SOURCES)
@pytest.mark.parametrize("i, j, stamp", [(3, 5, [1, -1, 1, -1]), (3, 0, [1, 0, 1, 0]),
                                         (0, 5, [0, -1, 0, -1])])
def test_grounded_side_is_left_out(host, name, k, i, j, stamp):
    """B follows from the couplings through the derivative test, and from the
    prescribed value below."""
    host.collect(source(name, i, j, (1.25,)))
    # -0.0 everywhere: an entry that is added to, even with 0.0, loses its sign
    a = [np.full(4, -0.0) for _ in range(3)]
    sc.BuildStaticMatrix(a[0])
    sc.BuildMatrix(a[1], a[2], np.zeros(8))
    assert a[k].tolist() == stamp
    assert all(np.signbit(m).all() and not m.any() for n, m in enumerate(a) if n != k)


@pytest.mark.parametrize("name", ["PhaseSourceModel", "VoltageSourceModel"])
@pytest.mark.parametrize("i, j, sign", [(3, 0, 1), (0, 3, -1), (3, 5, 1)])
def test_values_and_quanta_count(host, name, i, j, sign):
    host.arrays(8, 4)
    # views one past a sentinel: a read of "node 0" at position -1 would pick it up
    G.NodePhase, G.NodeVoltage = (np.r_[7.0, np.zeros(8)][1:] for _ in range(2))
    G.NodePhase[[2, 6]] = 2 * np.pi * 1.2, 0.9  # node 3, and the branch current at row 7
    G.NodeVoltage[2] = 0.3
    G.ElementCurrent[2] = 5.0
    host.collect(source(name, i, j))
    sc.UpdateValues()
    assert G.ElementPhase[2] == sign * G.NodePhase[2]
    assert G.ElementVoltage[2] == sign * 0.3
    assert G.ElementCurrent[2] == 0.9
    assert (G.ElementN[2], G.ElementInc[2], G.ElementDec[2]) == (sign, sign > 0, sign < 0)
    sc.UpdateValues()
    assert (G.ElementN[2], G.ElementInc[2], G.ElementDec[2]) == (sign, 0, 0)


@pytest.mark.parametrize("name, k", SOURCES)
@pytest.mark.parametrize("params, smooth, value", [
    (None, 1.0, 0.0),          # never set: the source prescribes 0.0
    ((2.5,), 0.0, 0.0),        # the ramp at 0 prescribes 0.0 whatever the value
    ((2.5,), 1.0, 2.5),
    ([2.5, 9.0], 0.5, 1.25),
    ([2], 1.0, 2.0),
])
def test_prescribed_value(host, name, k, params, smooth, value):
    host.arrays(8, 4, seed=3)
    SP.InitialSmoothFactor = smooth
    host.collect(source(name, 1, 2, params))
    b = np.zeros(8)
    sc.UpdateRHS(b)
    y = SP.DX if k else SP.X[1]
    assert b[6] == -((y[0] - y[1]) - value) / (CDT if k else 1.0)


@pytest.mark.parametrize("coeff_dt", [8.0, -0.5, 1e-300])
def test_voltage_constraint_vanishes_when_met(host, coeff_dt):
    host.arrays(8, 4, seed=4)
    SP.InterpCoeffDt = [coeff_dt]
    SP.InitialSmoothFactor = 0.5
    SP.DX[:2] = 2.0, 0.5
    host.collect(source("VoltageSourceModel", 1, 2, (3.0,)))
    b = np.zeros(8)
    sc.UpdateRHS(b)
    assert b[6] == 0.0
