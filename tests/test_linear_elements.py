"""Stamps, currents and values of the resistor, capacitor, inductor and
current source, with either terminal at ground."""

from fractions import Fraction

import numpy as np
import pytest

from quenda import SimulationParameters as SP
from quenda import qdglobals as G
from quenda import stampcore as sc


def built(host, model, positions=(0, 1, 2, 3), nslots=10, nodes=8):
    model.InitModel(*positions)
    host.collect(model)
    return host.build(nslots, nodes)


def only(n, entries):
    v = np.zeros(n)
    for k, x in entries.items():
        v[k] = x
    return v


@pytest.mark.parametrize(
    "cls, matrix, coefficient",
    [(sc.ResistorModel, 1, "dt"), (sc.CapacitorModel, 1, "ddt"), (sc.InductorModel, 0, None)],
)
def test_new_models_hold_unit_values(host, cls, matrix, coefficient):
    a = built(host, cls(1, 2, 0))
    g = {"dt": 8.0, "ddt": 64.0, None: 1.0}[coefficient]
    np.testing.assert_array_equal(a[matrix], only(10, {0: g, 1: -g, 2: -g, 3: g}))


def test_new_current_source_drives_nothing(host):
    a0, a1, a2, b = built(host, sc.CurrentSourceModel(1, 2, 0))
    assert not b.any() and not (a0.any() or a1.any() or a2.any())


def test_resistor_to_ground(host):
    r = sc.ResistorModel(3, 0, 7)
    r.SetParameters((2.0,))
    SP.InterpCoeffDt = [4.0]
    SP.DX = np.arange(1.0, 9.0)
    a0, a1, a2, b = built(host, r, positions=(5, 6, 8, 9))
    np.testing.assert_array_equal(a1, only(10, {5: 2.0}))
    np.testing.assert_array_equal(b, only(8, {2: -3.0 / 2.0}))
    assert not a0.any() and not a2.any()


def test_inductor_from_ground(host):
    host.arrays(8, 8, seed=3)
    ind = sc.InductorModel(0, 4, 1)
    ind.SetParameters([0.5])
    a0, a1, a2, b = built(host, ind, positions=(5, 6, 8, 9))
    np.testing.assert_array_equal(a0, only(10, {9: 2.0}))
    np.testing.assert_array_equal(b, only(8, {3: -2.0 * SP.X[1][3]}))
    sc.UpdateValues()
    assert G.ElementPhase[1] == -G.NodePhase[3]
    assert G.ElementVoltage[1] == -G.NodeVoltage[3]
    assert G.ElementCurrent[1] == -2.0 * G.NodePhase[3]


def test_two_floating_terminals_stamp_a_block(host):
    host.arrays(8, 8, seed=4)
    r = sc.ResistorModel(2, 5, 0)
    r.SetParameters([4.0])
    a0, a1, a2, b = built(host, r)
    g = 8.0 / 4.0
    np.testing.assert_array_equal(a1, only(10, {0: g, 1: -g, 2: -g, 3: g}))
    c = (SP.DX[1] - SP.DX[4]) / 4.0
    np.testing.assert_array_equal(b, only(8, {1: -c, 4: c}))


@pytest.mark.parametrize(
    "params, admitance",
    [((0.25,), 4.0), ([0.25, 99.0], 4.0), ([4], 0.25), ([Fraction(1, 4)], 4.0),
     ([np.float32(0.5)], 2.0), ([0.0], np.inf)],
)
def test_inductor_stores_reciprocal(host, params, admitance):
    ind = sc.InductorModel(1, 0, 0)
    ind.SetParameters(params)
    a0 = built(host, ind)[0]
    assert a0[0] == admitance


@pytest.mark.parametrize(
    "i, j, expected",
    [(2, 5, {1: 0.75, 4: -0.75}), (0, 5, {4: 0.75}), (2, 0, {1: 0.75})],
)
def test_current_source_drives_its_node(host, i, j, expected):
    src = sc.CurrentSourceModel(i, j, 0)
    src.SetParameters([1.5])
    SP.InitialSmoothFactor = 0.5
    a0, a1, a2, b = built(host, src, positions=(-1, -1, -1, -1))
    np.testing.assert_array_equal(b, only(8, expected))
    sc.UpdateValues()
    assert G.ElementCurrent[0] == 0.75


def test_capacitor_current_comes_from_the_host_arrays(host):
    host.arrays(8, 8, seed=5)
    cap = sc.CapacitorModel(1, 3, 2)
    cap.SetParameters([0.5])
    built(host, cap)
    SP.DDX[:] = 1e9  # the context must not be read by Values
    sc.UpdateValues()
    assert G.ElementCurrent[2] == 0.5 * (G.NodeDVoltage[0] - G.NodeDVoltage[2])
    assert G.ElementPhase[2] == G.NodePhase[0] - G.NodePhase[2]


def test_failed_binding_keeps_positions_but_not_addresses(host):
    bound_current = G.ElementCurrent
    G.NodeVoltage[:] = [3.0, 1.0, 0, 0, 0, 0, 0, 0]
    r = sc.ResistorModel(1, 2, 0)
    r.InitModel(0, 1, 2, 3)
    host.collect(r)
    G.ElementCurrent = np.zeros(8, np.float32)
    with pytest.raises(ValueError) as info:
        r.InitModel(4, 5, 6, 7)
    assert str(info.value) == "Buffer dtype mismatch, expected 'FLOAT_t' but got 'float'"
    G.NodeVoltage = [0.0] * 8
    with pytest.raises(TypeError) as info:
        r.InitModel(4, 5, 6, 7)
    assert str(info.value) == "Cannot convert list to numpy.ndarray"
    # New positions, old arrays.
    a0, a1, a2, b = host.build(8, 8)
    np.testing.assert_array_equal(a1, only(8, {4: 8.0, 5: -8.0, 6: -8.0, 7: 8.0}))
    sc.UpdateValues()
    assert bound_current[0] == 2.0 and not G.ElementCurrent.any()


def test_base_model_touches_nothing(host):
    host.collect(sc.ElementModel(), sc.ElementModel())
    a0, a1, a2, b = host.build(4, 8)
    sc.UpdateMatrix(a2, b)
    sc.UpdateRHS(b)
    sc.UpdateValues()
    assert not any(x.any() for x in (a0, a1, a2, b))
