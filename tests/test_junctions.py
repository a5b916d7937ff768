"""Shunted Josephson junctions: stamps and branch rules at ground, the shunt
and piecewise-linear laws, the linearisation, phase-quanta counting, binding
and parameters."""

import pickle

import numpy as np
import pytest
from numpy.testing import assert_allclose

from quenda import SimulationParameters as SP
from quenda import qdglobals as G
from quenda import stampcore as sc

JJ, RSJN, PWL = sc.JunctionModel, sc.JunctionRSJNModel, sc.JunctionPWLModel
# Ic, R, C | Ic, R, Vg, n, C | Ic, R0, RN, Vg, dV, G, C, phase offset
PARAMS = {JJ: (0.7, 2.0, 0.5), RSJN: (0.7, 2.0, 1.5, 4.0, 0.5),
          PWL: (0.7, 5.0, 0.5, 1.5, 0.2, 3.0, 0.5, 0.3)}
DEFAULTS = {JJ: (0.0, 1.0, 1.0), RSJN: (0.0, 1.0, 4.3, 10.0, 1.0),
            PWL: (0.0, 1.0, 1.0, 4.3, 0.3, 1.0, 1.0, 0.0)}


def junction(host, cls, i, j, params=(), eindex=0, slots=(3, 5, 6, 7)):
    m = cls(i, j, eindex)
    m.InitModel(*slots)
    if params:
        m.SetParameters(params)
    host.collect(m)
    return m


def across(i, j, x):
    """The junction's branch quantity: with i grounded, node j's own value."""
    return (x[i - 1] - (x[j - 1] if j else 0.0)) if i else x[j - 1]


def pwl_piece(p, accepted):
    """Conductance and offset of the piece of the law at the accepted voltage."""
    _, r0, rn, vg, width, g, _, _ = p
    low, high = vg - width / 2, vg + width / 2
    if not abs(accepted) >= low:
        return 1 / r0, 0.0
    if abs(accepted) < high:
        return g, np.sign(accepted) * low * (1 / r0 - g)
    return 1 / rn, 0.0


def reference(cls, p, dphase, dv, ddv, cdt=8.0, cddt=64.0, accepted=0.0, grounded_i=False):
    """A1 value, A2 value and current of the three laws, on the branch quantities
    (the piecewise-linear one on the piece of the accepted voltage; its phase
    offset follows the junction from i to j, against a branch from j)."""
    if cls is PWL:
        ic, c, offset = p[0], p[6], -p[7] if grounded_i else p[7]
        g, i0 = pwl_piece(p, accepted)
        return (cddt * c, ic * np.cos(dphase - offset) + cdt * g,
                ic * np.sin(dphase - offset) + (g * dv + i0) + ddv * c)
    if cls is JJ:
        ic, r, c = p
        return cdt / r + cddt * c, ic * np.cos(dphase), ic * np.sin(dphase) + dv / r + ddv * c
    ic, r, vg, n, c = p
    rel = np.power(dv / vg, n)
    return (cddt * c, ic * np.cos(dphase) + cdt * rel * (1 + n + rel) / (r * (rel + 1) ** 2),
            ic * np.sin(dphase) + dv * rel / ((rel + 1) * r) + ddv * c)


@pytest.mark.parametrize("given", [True, False])
@pytest.mark.parametrize("cls", [JJ, RSJN, PWL])
@pytest.mark.parametrize("i, j", [(2, 5), (3, 0), (0, 4)])
def test_stamps_currents_and_values(host, given, cls, i, j):
    host.arrays(8, 8, seed=i + 3 * j)
    p = PARAMS[cls] if given else DEFAULTS[cls]
    junction(host, cls, i, j, p if given else ())
    a0 = np.full(8, -0.0)
    sc.BuildStaticMatrix(a0)
    assert np.signbit(a0).all()  # Admitance0 adds nothing, not even 0.0
    _, a1, a2, b = host.build(8, 8)
    g1, g2, curr = reference(cls, p, *(across(i, j, x) for x in (SP.X[1], SP.DX, SP.DDX)),
                             grounded_i=not i)
    pattern = np.zeros(8)
    pattern[[3, 5, 6, 7]] = [bool(i), -bool(i and j), -bool(i and j), bool(j)]
    assert_allclose(a1, g1 * pattern, rtol=1e-14)
    assert_allclose(a2, g2 * pattern, rtol=1e-14)
    first, second = (i, j) if i else (j, 0)  # curr leaves `first`
    expected_b = np.zeros(8)
    expected_b[first - 1] = -curr
    if second:
        expected_b[second - 1] = curr
    assert_allclose(b, expected_b, rtol=1e-14)

    sc.UpdateValues()
    quantities = [across(i, j, x) for x in (G.NodePhase, G.NodeVoltage, G.NodeDVoltage)]
    expected = [reference(cls, p, *quantities, grounded_i=not i)[2], *quantities[:2]]
    sign = 1 if i else -1  # always reported from i to j
    assert_allclose([G.ElementCurrent[0], G.ElementPhase[0], G.ElementVoltage[0]],
                    sign * np.array(expected), rtol=1e-14)


@pytest.mark.parametrize("n, ratio, current, conductance", [
    (10.0, 0.0, 0.0, 0.0),         # no shunt below the gap
    (10.0, 1.0, 0.5, 3.0),         # Vg / 2R and coeff_dt (2 + n) / 4R at the gap
    (1000.0, 3.0, 3.0, 1.0),       # far above: ohmic, though rel overflows
    (2.5, -1.0, np.nan, np.nan),   # non-integral n, negative voltage
    (3.0, -1.0, np.inf, -np.inf),  # odd n at -Vg divides by zero
])
def test_shunt_law(host, n, ratio, current, conductance):
    r, vg = 2.0, 1.5
    SP.DX[0] = G.NodeVoltage[0] = ratio * vg
    junction(host, RSJN, 1, 0, (0.0, r, vg, n, 0.0))
    _, _, a2, b = host.build(8, 8)
    sc.UpdateValues()
    assert_allclose([-b[0], G.ElementCurrent[0]], current * vg / r, rtol=1e-14)
    assert_allclose(a2[3], conductance * 8.0 / r, rtol=1e-14)


@pytest.mark.parametrize("seed", range(4))
def test_stamps_are_the_derivative_of_the_current(host, seed):
    """Within the pieces that the accepted voltages chose."""
    n, h, rng = 5, 1e-6, np.random.default_rng(seed)
    host.arrays(n, 6, seed=seed)
    SP.DX *= 2.0  # around the gap voltages
    pos = lambda r, c: (r - 1) * n + c - 1 if r and c else -1  # noqa: E731 (-1: never read)
    models = []
    for e, (i, j) in enumerate([(1, 2), (2, 3), (3, 0), (0, 4), (4, 5), (5, 1)]):
        models.append((JJ, RSJN, PWL)[e % 3](i, j, e))
        models[-1].InitModel(pos(i, i), pos(i, j), pos(j, i), pos(j, j))
        ic, r, c = rng.uniform(0.5, 2.0, 3)
        models[-1].SetParameters([(ic, r, c), (ic, r, rng.uniform(1, 2), 2 * e, c),
                                  (ic, r, 0.3 * r, 1.0, 0.8, 2.0, c, rng.uniform(-3, 3))][e % 3])
    host.collect(*models)
    sc.UpdateValues()  # the piecewise-linear junctions take the pieces of G.NodeVoltage
    _, a1, a2, _ = host.build(n * n, n)
    matrix = (a1 + a2).reshape(n, n)

    base = SP.X[1].copy(), SP.DX.copy(), SP.DDX.copy()
    jacobian = np.empty((n, n))
    for k in range(n):
        b = np.zeros((2, n))
        for row, step in enumerate((h, -h)):  # the voltages move with the phase
            SP.X[1], SP.DX, SP.DDX = (x + s * step * np.eye(n)[k] for x, s in zip(base, (1, 8, 64)))
            sc.UpdateRHS(b[row])
        jacobian[:, k] = -(b[0] - b[1]) / (2 * h)  # B holds minus the currents
    assert_allclose(matrix, jacobian, rtol=1e-6, atol=1e-6 * abs(matrix).max())


@pytest.mark.parametrize("turns, before, histeresis, after", [
    (1.55, 0, 0.1, 2), (1.65, 7, 0.1, 7), (-1.2, 0, 0.1, -1), (0.5, 0, 0.1, 1),
    (0.0, 3, 0.1, 0), (-0.0, 3, 0.1, 0), (1.65, 7, 0.5, 2), (1.95, -7, 0.7, 2),
])
def test_phase_quanta(host, turns, before, histeresis, after):
    junction(host, JJ, 1, 0, eindex=3)
    G.NodePhase[0] = 2 * np.pi * turns
    G.ElementN[:], G.ElementInc[:], G.ElementDec[:] = before, 1, 1
    SP.PHASE_HISTERESIS = histeresis
    sc.UpdateValues()
    flags = (after > before, after < before)
    assert (G.ElementN[3], G.ElementInc[3], G.ElementDec[3]) == (after, *flags)
    assert (G.ElementN[2], G.ElementInc[2], G.ElementDec[2]) == (before, 1, 1)


def test_quanta_flags_last_one_call(host):
    G.ElementInc, G.ElementDec = np.zeros(8, bool), np.zeros(8, bool)  # bool binds as uint8
    junction(host, RSJN, 0, 2)  # counts the element phase, -P(2)
    seen = []
    for turns in (-1.0, -2.0, -2.0, -1.2):
        G.NodePhase[1] = 2 * np.pi * turns
        sc.UpdateValues()
        seen.append((G.ElementN[0], G.ElementInc[0], G.ElementDec[0]))
    assert seen == [(1, 1, 0), (2, 1, 0), (2, 0, 0), (1, 0, 1)]


@pytest.mark.parametrize("attr, value, exc, text", [
    ("ElementN", np.zeros(8, np.int64), ValueError,
     "Buffer dtype mismatch, expected 'INT_t' but got 'long'"),
    ("ElementInc", np.zeros(8, np.int8), ValueError,
     "Buffer dtype mismatch, expected 'UINT8_t' but got 'signed char'"),
    ("NodeDVoltage", None, TypeError, "Cannot convert NoneType to numpy.ndarray"),
])
def test_binding_errors(host, attr, value, exc, text):
    setattr(G, attr, value)
    with pytest.raises(exc) as err:
        RSJN(1, 0, 5).InitModel(3, 0, 0, 0)
    assert str(err.value) == text


@pytest.mark.parametrize("cls, short", [(JJ, [1.0, 2.0]), (RSJN, (1.0, 2.0, 3.0, 4.0)),
                                        (PWL, [1.0] * 7)])
def test_short_parameters_and_pickling(host, cls, short):
    m = cls(1, 0, 0)
    with pytest.raises(IndexError, match="index out of range"):
        m.SetParameters(short)
    for refuse in (lambda: pickle.dumps(m), lambda: m.__setstate__(())):
        with pytest.raises(TypeError) as err:
            refuse()
        assert str(err.value) == (
            "self.elem_currents,self.elem_n,self.elem_phases,self.elem_voltages,"
            "self.node_dvoltages,self.node_phases,self.node_voltages cannot be converted "
            "to a Python object for pickling")


@pytest.mark.parametrize("cls", [JJ, RSJN, PWL])
def test_drivers_refuse_short_arrays(host, cls):
    junction(host, cls, 2, 5)
    with pytest.raises(ValueError, match="^A2 has 7 values"):
        sc.UpdateMatrix(np.zeros(7), np.zeros(8))


@pytest.mark.parametrize("cls", [JJ, RSJN, PWL])
def test_right_hand_side_after_the_point_moved(host, cls):
    """RHSCurrent reuses what Admitance2 computed only at the very same point
    (bit for bit, so -0.0 is not +0.0) and with the same parameters."""
    host.arrays(8, 8, seed=11)
    m = junction(host, cls, 2, 0, PARAMS[cls])

    def rhs_alone():
        b = np.zeros(8)
        sc.UpdateRHS(b)
        return b

    def rhs_after_matrix():
        b = np.zeros(8)
        sc.UpdateMatrix(np.zeros(8), b)
        return b

    fresh = rhs_alone()
    assert np.array_equal(rhs_after_matrix(), fresh)
    saved = SP.X[1].copy(), SP.DX.copy()
    rhs_after_matrix()
    SP.X[1][1] += 0.25
    SP.DX[1] += 0.5
    moved = rhs_alone()
    assert_allclose(moved[1], -reference(cls, PARAMS[cls], SP.X[1][1], SP.DX[1], SP.DDX[1])[2],
                    rtol=1e-14)
    # Admitance2 at phase +0.0, then RHSCurrent at -0.0: sin(-0.0) is -0.0, and
    # the entry, starting from -0.0, ends +0.0 only if that sign survived.
    SP.X[1][1] = SP.DX[1] = SP.DDX[1] = 0.0
    rhs_after_matrix()
    SP.X[1][1] = SP.DX[1] = SP.DDX[1] = -0.0
    b = np.full(8, -0.0)
    sc.UpdateRHS(b)
    assert not np.signbit(b[1])
    SP.X[1][:], SP.DX[:] = saved
    if cls is RSJN:  # a new gap voltage at the same voltage is a new point
        rhs_after_matrix()
        m.SetParameters((0.7, 2.0, 0.75, 4.0, 0.5))
        assert_allclose(rhs_alone()[1], -reference(cls, (0.7, 2.0, 0.75, 4.0, 0.5), SP.X[1][1],
                                                   SP.DX[1], SP.DDX[1])[2], rtol=1e-14)


# The piecewise-linear law: Ic, R0, RN, Vg, dV, G (the gap step), C, phase offset.
STEP = (0.0, 5.0, 0.5, 1.5, 0.2, 3.0, 0.0, 0.0)  # V_lo = 1.4, V_hi = 1.6


@pytest.mark.parametrize("accepted, piece", [
    (0.0, "subgap"), (-1.3999, "subgap"), (np.nan, "subgap"),
    (1.4, "step"), (1.5, "step"), (-1.45, "step"), (1.6 - 1e-12, "step"),
    (1.6, "normal"), (-7.0, "normal"),
])
@pytest.mark.parametrize("present", [0.3, 1.5, -1.5, 2.5])
def test_piece_of_the_accepted_voltage_holds_for_the_step(host, accepted, piece, present):
    """The piece comes from the voltage of the last accepted step, whatever the
    iterations try; on that piece the law is the affine one of its region."""
    junction(host, PWL, 1, 0, STEP)
    G.NodeVoltage[0] = accepted
    sc.UpdateValues()
    SP.DX[0] = present
    _, _, a2, b = host.build(8, 8)
    g, i0 = {"subgap": (1 / 5.0, 0.0), "normal": (1 / 0.5, 0.0),
             "step": (3.0, np.sign(accepted) * 1.4 * (1 / 5.0 - 3.0))}[piece]
    assert_allclose(-b[0], g * present + i0, rtol=1e-14, atol=1e-15)
    assert_allclose(a2[3], 8.0 * g, rtol=1e-14)


def test_dc_law_where_every_step_is_accepted(host):
    """Accepting each point before evaluating it gives the law of the regions,
    continuous at V_lo and jumping at V_hi."""
    junction(host, PWL, 1, 0, STEP)
    volts = np.array([0.0, 0.7, 1.3999, 1.4, 1.45, 1.5999, 1.6, 2.0, -1.45, -2.0])
    seen = []
    for v in volts:
        G.NodeVoltage[0] = SP.DX[0] = v
        sc.UpdateValues()  # accept v
        b = np.zeros(8)
        sc.UpdateRHS(b)
        seen.append(-b[0])
    expected = np.where(np.abs(volts) < 1.4, volts / 5.0,
                        np.where(np.abs(volts) < 1.6, 3.0 * volts + np.sign(volts) * 1.4 * (0.2 - 3.0),
                                 volts / 0.5))
    assert_allclose(seen, expected, rtol=1e-14, atol=1e-15)
    assert_allclose(seen[3], 1.4 / 5.0, rtol=1e-14)  # the step starts where the subgap ends


@pytest.mark.parametrize("i, j", [(1, 0), (0, 1)])
def test_phase_offset_shifts_the_supercurrent_and_the_count(host, i, j):
    """A pi junction at rest sits at a phase of pi: no current, no quanta; a 2 pi
    slip from there counts one."""
    junction(host, PWL, i, j, (1.0, 5.0, 0.5, 1.5, 0.2, 3.0, 0.0, np.pi))
    sign = 1 if i else -1
    for turns, count in ((0.5, 0), (0.75, 0), (1.5, 1)):
        G.NodePhase[0] = sign * 2 * np.pi * turns
        G.NodeVoltage[0] = SP.DX[0] = 0.0
        SP.X[1][0] = G.NodePhase[0]
        sc.UpdateValues()
        b = np.zeros(8)
        sc.UpdateRHS(b)
        assert_allclose(-b[0], sign * np.sin(2 * np.pi * turns - np.pi), atol=1e-15)
        assert (G.ElementN[0], G.ElementPhase[0]) == (count, 2 * np.pi * turns)
