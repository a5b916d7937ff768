"""TransmissionLineModel: its stamps against a dense reference, and its
history, driven through the drivers as a time loop drives them (accepted and
rejected steps of any size), against a NumPy transcription of the port
equations."""

import pickle

import numpy as np
import pytest

from quenda import SimulationParameters as SP
from quenda import qdglobals as G
from quenda import stampcore as sc

from conftest import allocated_bytes

TD, Z0, MIN_STEP = 1.7, 2.5, 0.1


def line(p1, n1, p2, n2, params=(TD, Z0, MIN_STEP), e=0):
    """A bound line whose port blocks take slot positions 0-3 and 4-7."""
    m = sc.TransmissionLineModel(p1, n1, p2, n2, e)
    m.InitModel(*range(8))
    m.SetParameters(params)
    return m


def across(x, p, n):
    return (x[p - 1] if p else 0.0) - (x[n - 1] if n else 0.0)


class Reference:
    """The port equations with the whole history kept: the waves W = 2 V - E
    at each accepted time, E1(t) = W2(t - TD) and E2(t) = W1(t - TD), linear
    in between and held beyond the ends."""

    def __init__(self, terminals, td=TD, z0=Z0):
        self.terminals, self.td, self.z0 = terminals, td, z0
        self.restart()

    def restart(self):
        self.times, self.waves = [], []

    def sources(self, t):
        if not self.times:
            return 0.0, 0.0
        w = np.array(self.waves)
        at = t - self.td
        return np.interp(at, self.times, w[:, 1]), np.interp(at, self.times, w[:, 0])

    def port_voltages(self, x):
        p1, n1, p2, n2 = self.terminals
        return across(x, p1, n1), across(x, p2, n2)

    def rhs(self, t, voltages, nodes):
        (e1, e2), (v1, v2) = self.sources(t), self.port_voltages(voltages)
        b = np.zeros(nodes)
        p1, n1, p2, n2 = self.terminals
        for p, n, current in ((p1, n1, (v1 - e1) / self.z0), (p2, n2, (v2 - e2) / self.z0)):
            if p:
                b[p - 1] -= current
            if n:
                b[n - 1] += current
        return b

    def accept(self, t, voltages):
        """Records the point; returns port 1's current."""
        (e1, e2), (v1, v2) = self.sources(t), self.port_voltages(voltages)
        self.times.append(t)
        self.waves.append((2 * v1 - e1, 2 * v2 - e2))
        return (v1 - e1) / self.z0


@pytest.mark.parametrize("terminals", [(1, 2, 3, 4), (1, 0, 0, 2), (0, 3, 2, 3)])
def test_stamps_match_dense_reference(host, terminals):
    host.arrays(4, 1, seed=3)
    SP.InterpCoeffDt = [6.0]
    m = line(*terminals)
    host.collect(m)
    G.CurrentTime = 0.0
    a0, a1, a2, b = host.build(8, 4)
    assert not a0.any() and not a2.any()
    p1, n1, p2, n2 = terminals
    sparse, dense = np.zeros((4, 4)), np.zeros((4, 4))
    pairs = [(p1, p1), (p1, n1), (n1, p1), (n1, n1), (p2, p2), (p2, n2), (n2, p2), (n2, n2)]
    for k, (r, c) in enumerate(pairs):
        if r and c:
            sparse[r - 1, c - 1] += a1[k]
            dense[r - 1, c - 1] += (1.0 if r == c else -1.0) * 6.0 / Z0
    np.testing.assert_allclose(sparse, dense, rtol=1e-15)
    # A line at rest: each port is Z0 alone.
    np.testing.assert_allclose(b, Reference(terminals).rhs(0.0, SP.DX, 4), rtol=1e-14)


def test_history_follows_accepted_points_only(host):
    """Uneven steps whose sum never lands on a multiple of TD, steps of
    exactly TD, attempts that are rejected and retried smaller, a restart:
    the sources at every attempt and the current at every accepted point are
    those of the whole history, though the line keeps only ~TD / MIN_STEP
    points (the ring turns over many times)."""
    rng = np.random.default_rng(7)
    terminals = (1, 2, 3, 0)
    host.arrays(3, 1)
    m = line(*terminals)
    host.collect(m)
    ref = Reference(terminals)
    sc.BuildStaticMatrix(np.zeros(8))
    t = G.CurrentTime = 0.0
    sc.UpdateValues()
    ref.accept(0.0, G.NodeVoltage)
    b = np.zeros(3)
    for k in range(400):
        h = rng.choice([MIN_STEP, 0.13, 0.37, TD, rng.uniform(MIN_STEP, TD)])
        attempts = [h, h / 2] if rng.random() < 0.3 and h >= 2 * MIN_STEP else [h]
        if k == 250:  # BuildStaticMatrix between an attempt and its retry: at rest again
            attempts = [h, h]
        for tries, step in enumerate(attempts, 1):
            if k == 250 and tries == 2:
                sc.BuildStaticMatrix(np.zeros(8))
                ref.restart()
            G.CurrentTime = t + step
            for _ in range(2):  # Newton iterations at one point
                SP.DX = rng.standard_normal(3)
                b.fill(0.0)
                sc.UpdateRHS(b)
                np.testing.assert_allclose(b, ref.rhs(t + step, SP.DX, 3), rtol=1e-12, atol=1e-12)
        t += step
        G.NodeVoltage[:] = SP.DX
        sc.UpdateValues()
        assert G.ElementCurrent[0] == pytest.approx(ref.accept(t, G.NodeVoltage), rel=1e-12, abs=1e-12)
        assert G.ElementVoltage[0] == across(G.NodeVoltage, 1, 2)


def test_steps_below_the_declared_smallest_keep_the_delay(host):
    """A host that steps finer than it declared fills the history: the line
    thins it where it is densest instead of forgetting its oldest points, so
    t - TD stays within reach. Waves linear in time are interpolated exactly
    from any subset of their points."""
    host.arrays(2, 1)
    host.collect(line(1, 0, 2, 0, params=(1.0, Z0, 0.1)))
    SP.DX = np.zeros(2)
    b = np.zeros(2)
    t = 0.0
    for step in [0.1] * 10 + [0.004] * 300 + [0.1] * 5:
        t += step
        G.CurrentTime = t
        b.fill(0.0)
        sc.UpdateRHS(b)  # zero port voltages: B = E / Z0
        e1, e2 = b * Z0
        if t > 1.2:
            assert e2 == pytest.approx(3.0 * (t - 1.0), rel=1e-9)
            assert e1 == pytest.approx(-(t - 1.0), rel=1e-9)
        # Port voltages that make the waves leaving the ports 3 t and -t.
        G.NodeVoltage[:] = [(3.0 * t + e1) / 2, (-t + e2) / 2]
        sc.UpdateValues()


def test_the_history_holds_what_the_steps_need(host):
    """A line declared for steps down to TD / 10^6 (a bound of 24 MB) and
    stepped at TD / 100 keeps about a hundred points however long it runs."""
    host.arrays(2, 1)
    G.NodeVoltage[:] = [1.0, -1.0]
    before = allocated_bytes()
    host.collect(line(1, 0, 2, 0, params=(100.0, Z0, 1e-4)))
    for k in range(200_000):
        G.CurrentTime = float(k)
        sc.UpdateValues()
    assert allocated_bytes() - before < 1 << 20


def test_the_time_is_read_only_for_circuits_with_lines(host):
    r = sc.ResistorModel(1, 2, 0)
    r.InitModel(0, 1, 2, 3)
    host.collect(r)
    del G.CurrentTime
    b = np.zeros(8)
    sc.BuildMatrix(np.zeros(4), np.zeros(4), b)
    sc.UpdateMatrix(np.zeros(4), b)
    sc.UpdateRHS(b)
    sc.UpdateValues()
    host.collect(r, line(3, 0, 4, 0, e=1))
    before = b.copy()
    for call in (lambda: sc.UpdateRHS(b), lambda: sc.UpdateMatrix(np.zeros(8), b), sc.UpdateValues):
        with pytest.raises(AttributeError, match="CurrentTime"):
            call()
    np.testing.assert_array_equal(b, before)


@pytest.mark.parametrize(
    "call, exc, text",
    [
        (lambda: sc.TransmissionLineModel(0, 0, 1, 2, 0), ValueError,
         "TransmissionLineModel: both terminals of port 1 are ground (p1 = n1 = 0)"),
        (lambda: sc.TransmissionLineModel(1, 2, 0, 0, 0), ValueError,
         "TransmissionLineModel: both terminals of port 2 are ground (p2 = n2 = 0)"),
        (lambda: sc.TransmissionLineModel(1, 0, 0, 2, 0).InitModel(0, -1, -1, -1, -1, -1, -1, -7),
         IndexError, "TransmissionLineModel: slot position ind_n2n2 is negative (-7)"),
        (lambda: sc.TransmissionLineModel(1, 0, 2, 0, 0).InitModel(0, -1, -1, -1, 4, -1, -1, -1), None, None),
        (lambda: pickle.dumps(sc.TransmissionLineModel(1, 0, 2, 0, 0)), TypeError,
         "self.elem_currents,self.elem_phases,self.elem_voltages,self.history,self.node_phases,"
         "self.node_voltages cannot be converted to a Python object for pickling"),
    ],
)
def test_ports_and_slots_are_checked(host, call, exc, text):
    if exc is None:
        call()
        return
    with pytest.raises(exc) as info:
        call()
    assert str(info.value) == text


@pytest.mark.parametrize(
    "params, text",
    [
        ((0.0, Z0, 0.1), "the delay TD must be positive and finite (got 0)"),
        ((TD, float("nan"), 0.1), "the impedance Z0 must be positive and finite (got nan)"),
        ((TD, Z0, float("inf")), "the smallest step must be positive and finite (got inf)"),
        ((0.1, Z0, 0.25), "the delay TD = 0.1 is shorter than the smallest step 0.25: steps "
                          "must not exceed TD"),
        ((1e6, Z0, 1e-6), "TD / smallest step = 1e+12: the history would keep more than "
                          "4194304 points"),
        ((TD, Z0), "tuple index out of range"),
    ],
)
def test_refused_parameters_leave_the_line_as_it_was(host, params, text):
    host.arrays(2, 1, seed=4)
    m = line(1, 0, 2, 0)
    host.collect(m)
    for t in (0.0, 0.5, 1.0):
        G.CurrentTime = t
        sc.UpdateValues()
    G.CurrentTime = 1.9
    before, after = np.zeros(2), np.zeros(2)
    sc.UpdateRHS(before)
    with pytest.raises((ValueError, IndexError)) as info:
        m.SetParameters(params)
    assert str(info.value).removeprefix("TransmissionLineModel: ") == text
    sc.UpdateRHS(after)
    np.testing.assert_array_equal(after, before)
