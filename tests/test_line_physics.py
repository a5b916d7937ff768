"""Transmission lines in circuits against the physics of the ideal line:
delay, reflection, energy, the step bound, and an SFQ pulse carried between
two Josephson transmission lines."""

import math

import numpy as np
import pytest

from quenda.analysis import Transient
from quenda.circuit import Circuit, CircuitError
from quenda.circuit.waveforms import PWL, Waveform

PS = 1e-12
Z0 = 5.0


class Gauss(Waveform):
    def __init__(self, amplitude, at, width):
        self.amplitude, self.at, self.width = amplitude, at, width

    def __call__(self, t):
        return self.amplitude * math.exp(-0.5 * ((t - self.at) / self.width) ** 2)


def line_between(drive, td, load=None, cap=None, source_r=Z0):
    """drive into node a (with a resistor of source_r to ground, matched by
    default), a line from a to b, b loaded by `load` ohms or, with cap,
    capacitors at both ends."""
    c = Circuit()
    c.current_source("I1", "0", "a", drive)
    if source_r:
        c.resistor("RS", "a", "0", source_r)
    c.transmission_line("T1", "a", "0", "b", "gnd", td=td, z0=Z0)
    if load:
        c.resistor("RL", "b", "0", load)
    if cap:
        c.capacitor("CA", "a", "0", cap)
        c.capacitor("CB", "b", "0", cap)
    return c


@pytest.mark.parametrize("load", [Z0, 20.0, 1.25])
def test_a_pulse_arrives_td_later_and_reflects(load):
    """With TD a whole number of steps the line is exact: the pulse leaving a
    arrives at b TD later as (1 + G) of itself, and G of it is back at a 2 TD
    later, G = (R - Z0) / (R + Z0); the matched source then absorbs it."""
    pulse = PWL([(0, 0), (2 * PS, 0), (4 * PS, 1e-4), (7 * PS, 1e-4), (9 * PS, 0)])
    res = Transient(line_between(pulse, td="10p", load=load)).run(tstop=45 * PS, step=0.25 * PS)
    va, vb = res.node_voltage("a"), res.node_voltage("b")
    m = 40  # steps in TD
    launched = np.where(res.time < 20 * PS, va, 0.0)
    assert launched.max() == pytest.approx(1e-4 * Z0 / 2, rel=1e-12)
    gamma = (load - Z0) / (load + Z0)
    scale = 1e-12 * launched.max()
    np.testing.assert_allclose(vb[m:], (1 + gamma) * launched[:-m], rtol=0, atol=scale)
    np.testing.assert_allclose(va[2 * m:], gamma * launched[:-2 * m], rtol=0, atol=scale)
    assert np.abs(vb[:m]).max() <= scale
    # Port 1 as Results report it: the current into the line at a.
    np.testing.assert_allclose(res.current("T1"), (va - (va - launched) * 2) / Z0, atol=scale / Z0)


def test_a_delay_off_the_grid_is_exact_to_second_order():
    """TD = 33 2/3 steps of 0.3 ps and 67 1/3 of 0.15 ps: the delayed wave is
    interpolated at the same share of a step, and its error falls 4 times."""
    drive = Gauss(1e-4, 12 * PS, 1.5 * PS)
    errors = []
    for step in (0.3 * PS, 0.15 * PS):
        res = Transient(line_between(drive, td=10.1 * PS, load=Z0)).run(tstop=30 * PS, step=step)
        exact = np.array([drive(t - 10.1 * PS) for t in res.time]) * Z0 / 2
        errors.append(np.abs(res.node_voltage("b") - exact).max() / (1e-4 * Z0 / 2))
    assert errors[1] < 1.2e-3
    assert errors[0] / errors[1] == pytest.approx(4.0, rel=0.1)


@pytest.mark.parametrize("method, bound", [("trap", 3e-4), ("gear", 3e-3)])
def test_an_open_line_keeps_its_energy(method, bound):
    """A pulse bouncing in a line with capacitors at both open ends, 10 round
    trips: the energy of the capacitors and of the waves on the line, the
    integral of (W1^2 + W2^2) / (4 Z0) over the last TD (W = V + Z0 I, the
    wave leaving a port), stays that of the first trip. The trapezoidal
    rule conserves it (to the quadrature), BDF2 damps it."""
    td, step, cap = 20 * PS, 0.1 * PS, 0.3e-12
    res = Transient(line_between(Gauss(1e-4, 10 * PS, 1 * PS), td, cap=cap, source_r=None)).run(
        tstop=20 * PS + 20 * td, step=step, method=method)
    va, vb = res.node_voltage("a"), res.node_voltage("b")
    waves = (res.voltage("T1") + Z0 * res.current("T1")) ** 2 + (vb - Z0 * res.current("CB")) ** 2
    m = 200  # steps in TD
    energy = []
    for k in range(np.searchsorted(res.time, 20 * PS + td), len(res.time), 50):
        on_line = step * (waves[k - m:k + 1].sum() - (waves[k - m] + waves[k]) / 2) / (4 * Z0)
        energy.append(on_line + cap * (va[k] ** 2 + vb[k] ** 2) / 2)
    energy = np.array(energy)
    assert np.ptp(energy) < bound * energy[0]


@pytest.mark.parametrize("adaptive", [False, True])
def test_no_step_exceeds_the_shortest_delay(adaptive):
    ramp = PWL([(0, 0), (2 * PS, 0), (6 * PS, 1e-4)])
    c = line_between(ramp, td=0.37 * PS, load=Z0)
    c.transmission_line("T2", "b", "0", "c", "0", td=5 * PS, z0=Z0)
    c.resistor("RC", "c", "0", Z0)
    res = Transient(c).run(tstop=20 * PS, step=1 * PS, adaptive=adaptive)
    if adaptive:
        assert np.diff(res.time).max() <= 0.37 * PS * (1 + 1e-9)
    else:
        np.testing.assert_allclose(res.time, np.arange(21) * PS, rtol=1e-12)
        assert res.timing["steps"] >= 20 / 0.37
    # The ramp's middle (at 4 ps) reaches b 0.37 ps later and c 5 ps after b.
    for node, at in (("b", 4.37 * PS), ("c", 9.37 * PS)):
        v = res.node_voltage(node)
        assert np.interp(v[-1] / 2, v, res.time) == pytest.approx(at, abs=1e-6 * PS)


def test_a_line_shorter_than_the_smallest_step_is_refused():
    c = line_between(1e-4, td="0.2f", load=Z0)
    with pytest.raises(CircuitError) as info:
        Transient(c).run(tstop=1 * PS, step=0.25 * PS)
    assert str(info.value) == (
        "T1: its delay TD = 2e-16 s is shorter than the smallest step this run may take "
        "(min_step, by default step / 1024 = 2.44141e-16 s), and no step may exceed TD: give a "
        "min_step below TD (or a smaller step), or a longer delay")
    res = Transient(c).run(tstop=1 * PS, step=0.25 * PS, min_step=0.1e-15)
    assert res.node_voltage("b")[-1] == pytest.approx(1e-4 * Z0 / 2, rel=1e-9)


def jtl_line_jtl(td, stages=4, launch=60 * PS):
    """Two Josephson transmission lines joined by a line of 2 ohm through
    1 ohm at the sender and 1 pH at the receiver; one SFQ pulse at `launch`,
    after the start-up ramp's waves on the line have died out."""
    c = Circuit()
    c.current_source("IIN", "0", "a1", PWL([(0, 0), (launch, 0), (launch + 2 * PS, 5e-4),
                                           (launch + 4 * PS, 0)]))
    for side in "ab":
        for k in range(1, stages + 1):
            c.junction(f"B{side}{k}", f"{side}{k}", "0", ic=250e-6, r=2.8, c=0.175e-12)
            c.current_source(f"I{side}{k}", "0", f"{side}{k}", 175e-6)
            if k < stages:
                c.inductor(f"L{side}{k}", f"{side}{k}", f"{side}{k + 1}", 3e-12)
    c.resistor("RT", f"a{stages}", "ta", 1.0)
    c.transmission_line("T1", "ta", "0", "tb", "0", td=td, z0=2.0)
    c.inductor("LR", "tb", "b1", 1e-12)
    c.resistor("RE", f"b{stages}", "0", 3.0)
    return c


@pytest.mark.parametrize("method", ["trap", "gear"])
def test_an_sfq_pulse_crosses_the_line_in_td(method):
    """Every junction switches once; the pulse reaches the far JTL TD after
    it leaves the near one plus a hop that does not depend on TD (a delay of
    5 ps and one of 15.13 ps, not a whole number of steps)."""
    hops = []
    for td in (5 * PS, 15.13 * PS):
        res = Transient(jtl_line_jtl(td)).run(tstop=100 * PS + td, step=0.25 * PS, ramp=10 * PS,
                                              method=method)
        for name in ("Ba1", "Ba4", "Bb1", "Bb4"):
            assert list(np.unique(res.quanta(name))) == [0, 1], name
        hops.append(res.crossing_time("Bb1") - res.crossing_time("Ba4") - td)
    assert 1 * PS < hops[0] < 2 * PS
    assert hops[1] == pytest.approx(hops[0], abs=0.02 * PS)
