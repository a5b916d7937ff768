"""Kernel, solver and host together against circuit physics, in SI units."""

import math

import numpy as np
import pytest

from quenda.circuit import Circuit
from quenda.analysis import Transient
from quenda.circuit.units import PHI0
from quenda.circuit.waveforms import PWL

PS = 1e-12


def zero_crossings(t, v):
    """Times of the rising zero crossings, linearly interpolated."""
    k = np.flatnonzero((v[:-1] < 0) & (v[1:] >= 0))
    return t[k] - v[k] * (t[k + 1] - t[k]) / (v[k + 1] - v[k])


@pytest.mark.parametrize("method", ["trap", "gear"])
def test_lc_period(method):
    l, c = 5e-12, 0.4e-12
    circuit = Circuit("LC tank")
    circuit.current_source("I1", "0", "n1", PWL([(0, 0), (0.2 * PS, 1e-4), (0.4 * PS, 0)]))
    circuit.inductor("L1", "n1", "0", l)
    circuit.capacitor("C1", "n1", "0", c)
    step = 0.02 * PS if method == "trap" else 0.005 * PS
    res = Transient(circuit).run(tstop=60 * PS, step=step, method=method)
    crossings = zero_crossings(res.time, res.node_voltage("n1"))
    period = np.mean(np.diff(crossings))
    assert period == pytest.approx(2 * math.pi * math.sqrt(l * c), rel=2e-3)


@pytest.mark.parametrize("branch", [False, True])
def test_rl_step(branch):
    r, l, v = 2.0, 10e-12, 1e-3
    circuit = Circuit("RL step")
    circuit.voltage_source("V1", "in", "0", v)
    circuit.resistor("R1", "in", "n1", r)
    circuit.inductor("L1", "n1", "0", l, branch=branch)
    res = Transient(circuit).run(tstop=30 * PS, step=0.01 * PS)
    expected = v / r * (1 - np.exp(-res.time * r / l))
    np.testing.assert_allclose(res.current("L1"), expected, atol=2e-3 * v / r)
    np.testing.assert_allclose(res.current("V1"), -expected, atol=2e-3 * v / r)


@pytest.mark.parametrize("step_ps", [0.01, 0.25])
def test_rc_step(step_ps):
    # A source that is on at t = 0: the run starts from consistent
    # derivatives, so even a coarse step stays within 0.2 % (a trapezoidal
    # start from zero derivatives carried a 2.4 % error along).
    r, c, i = 5.0, 0.5e-12, 1e-4
    circuit = Circuit("RC step")
    circuit.current_source("I1", "0", "n1", i)
    circuit.resistor("R1", "n1", "0", r)
    circuit.capacitor("C1", "n1", "0", c)
    res = Transient(circuit).run(tstop=20 * PS, step=step_ps * PS)
    expected = i * r * (1 - np.exp(-res.time / (r * c)))
    np.testing.assert_allclose(res.node_voltage("n1"), expected, atol=2e-3 * i * r)
    # The element currents add up to the source at every point after it switched on.
    np.testing.assert_allclose((res.current("R1") + res.current("C1"))[1:], i, atol=1e-3 * i)


def test_phase_source_counts_quanta():
    circuit = Circuit("phase ramp")
    circuit.phase_source("P1", "n1", "0", PWL([(0, 0), (30 * PS, 6 * math.pi)]))
    circuit.resistor("R1", "n1", "0", 1.0)
    res = Transient(circuit).run(tstop=40 * PS, step=0.1 * PS)
    counts = res.quanta("P1")
    steps = np.flatnonzero(np.diff(counts))
    assert counts[0] == 0 and counts[-1] == 3
    assert list(counts[steps + 1]) == [1, 2, 3]
    assert res.phase("P1")[-1] == pytest.approx(6 * math.pi)
    # The flux a phase source of 6 pi holds: three flux quanta across the resistor's ends.
    assert res.phase("R1")[-1] * PHI0 / (2 * math.pi) == pytest.approx(3 * PHI0)


def test_switching_of_a_junction_with_a_phase_offset():
    # Its supercurrent follows sin(phase - phi), and so does its count: it
    # slips where phase - phi passes pi and 3 pi.
    circuit = Circuit("turned pi junction")
    circuit.phase_source("P1", "n1", "0", PWL([(0, 0), (40 * PS, 4 * math.pi)]))
    circuit.junction("B1", "n1", "0", ic=1e-4, model="pwl", r0=10, rn=10, phi=math.pi / 2)
    res = Transient(circuit).run(tstop=50 * PS, step=0.1 * PS)
    times, steps = res.switching("B1")
    assert steps.tolist() == [1, 1]
    np.testing.assert_allclose(times, [15 * PS, 35 * PS], rtol=1e-9)


def crossing_times(t, phase, levels):
    """Times the phase first rises through each level, linearly interpolated."""
    out = []
    for level in levels:
        k = np.flatnonzero((phase[:-1] < level) & (phase[1:] >= level))[0]
        out.append(t[k] + (level - phase[k]) * (t[k + 1] - t[k]) / (phase[k + 1] - phase[k]))
    return np.array(out)


# The piecewise-linear junction runs at one piece when all its voltages lie
# within it: below the gap (r0) for a gap far above them, above it (rn) for
# a gap far below; rn or r0 then play no part.
PIECES = {"rcsj": dict(r=2.0),
          "pwl subgap": dict(model="pwl", r0=2.0, rn=0.3, vg=5e-3, delv=1e-4),
          "pwl normal": dict(model="pwl", r0=50.0, rn=2.0, vg=1e-5, delv=2e-6, icfct=0.5)}


@pytest.mark.parametrize("shunt", PIECES)
@pytest.mark.parametrize("bias", [1.2, 2.0])
def test_overdamped_junction_voltage(bias, shunt):
    ic, r = 100e-6, 2.0
    circuit = Circuit("biased junction")
    circuit.current_source("I1", "0", "n1", bias * ic)
    circuit.junction("B1", "n1", "0", ic=ic, c=0.0, **PIECES[shunt])
    res = Transient(circuit).run(tstop=400 * PS, step=0.02 * PS, record=["B1"])
    # Average over whole periods of the phase after the start-up transient.
    t = res.time
    phase = res.phase("B1")
    first, last = 2 * math.pi * 3 + math.pi, 2 * math.pi * math.floor(phase[-1] / (2 * math.pi) - 1) + math.pi
    t1, t2 = crossing_times(t, phase, [first, last])
    average = (last - first) / (t2 - t1) * PHI0 / (2 * math.pi)
    assert (last - first) / (2 * math.pi) >= 10
    assert average == pytest.approx(r * ic * math.sqrt(bias**2 - 1), rel=5e-3)


def test_jtl_pulse():
    from quenda.demos.jtl import jtl, switching_table

    stages = 20
    res = Transient(jtl(stages)).run(tstop=100 * PS, step=0.25 * PS, ramp=10 * PS)
    table = switching_table(res, stages)
    times = np.array([when for _, when, _ in table])
    # Every junction switches exactly once, in order along the line.
    assert all(count == 1 for _, _, count in table)
    assert np.all(np.diff(times) > 0)
    for k in range(1, stages + 1):
        counts = res.quanta(f"B{k}")
        assert counts[0] == 0 and list(np.unique(counts)) == [0, 1]
        assert np.count_nonzero(np.diff(counts)) == 1
    # Away from the ends the pulse moves at a constant speed.
    delays = np.diff(times[4:16])
    assert np.ptp(delays) < 0.02 * np.mean(delays)
    # A switching junction passes one flux quantum: its voltage integrates to PHI0.
    t, v = res.time, res.voltage("B10")
    window = (t > times[9] - 5 * PS) & (t < times[9] + 5 * PS)
    tw, vw = t[window], v[window]
    flux = np.sum((vw[1:] + vw[:-1]) * np.diff(tw)) / 2
    assert flux == pytest.approx(PHI0, rel=1e-2)


@pytest.mark.parametrize("method", ["trap", "gear"])
def test_adaptive_steps_follow_the_error(method):
    """Adaptive steps match a fine fixed step on the JTL with fewer points,
    and shrink where the junctions switch."""
    from quenda.demos.jtl import jtl, switching_table

    junctions = [f"B{k}" for k in range(1, 11)]
    fine = Transient(jtl(10)).run(tstop=60 * PS, step=0.02 * PS, ramp=10 * PS, record=junctions)
    res = Transient(jtl(10)).run(tstop=60 * PS, step=0.25 * PS, ramp=10 * PS, adaptive=True,
                                 method=method, record=junctions)
    assert res.time[0] == 0 and res.time[-1] == pytest.approx(60 * PS)
    assert len(res.time) < len(fine.time) / 5
    (_, t_fine, _), (_, t_adaptive, _) = (switching_table(r, 10)[4] for r in (fine, res))
    assert t_adaptive == pytest.approx(t_fine, abs=0.02 * PS)
    steps = np.diff(res.time)
    switching = np.abs(res.time[1:] - t_adaptive) < 1 * PS
    assert steps[switching].max() < 0.5 * steps[~switching].max()


@pytest.mark.parametrize("n_plus, n_minus", [("0", "b"), ("a", "0"), ("a", "b")])
def test_current_source_direction(n_plus, n_minus):
    """A source drives its current from its first node through itself into
    its second; it reports that current as positive."""
    i, r = 1e-4, 3.0
    c = Circuit("current source into resistors")
    c.current_source("I1", n_plus, n_minus, i)
    for node in {n_plus, n_minus} - {"0"}:
        c.resistor(f"R{node}", node, "0", r)
    res = Transient(c).run(tstop=1 * PS, step=0.1 * PS)
    if n_minus != "0":
        assert res.node_voltage(n_minus)[-1] == pytest.approx(i * r)
    if n_plus != "0":
        assert res.node_voltage(n_plus)[-1] == pytest.approx(-i * r)
    assert res.current("I1")[-1] == pytest.approx(i)
