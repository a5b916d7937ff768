"""Every element family through the host, checked against its own law in SI
units: the voltage-dependent shunt, the tunnel-junction model (with a
testing table, and built from the BCS theory by temperature), coupled
inductors; and the errors a run reports."""

import math

import numpy as np
import pytest

from quenda import qdconfig, tjm
from quenda.circuit import Circuit
from quenda.analysis import SimulationError, Transient
from quenda.circuit.units import PHI0
from quenda.circuit.waveforms import PWL

PS = 1e-12


def mean_current_over_periods(res, name, voltage, skip):
    """Mean current of an element over whole Josephson periods after `skip`."""
    period = PHI0 / voltage
    t, i = res.time, res.current(name)
    end = skip + period * math.floor((t[-1] - skip) / period)
    window = (t >= skip) & (t <= end)
    tw, iw = t[window], i[window]
    return np.sum((iw[1:] + iw[:-1]) * np.diff(tw)) / 2 / (tw[-1] - tw[0])


def voltage_biased(model, voltage, **params):
    c = Circuit(f"voltage-biased {model} junction")
    c.voltage_source("V1", "n1", "0", voltage)
    c.junction("B1", "n1", "0", ic=100e-6, c=0.1e-12, model=model, **params)
    return c


@pytest.mark.parametrize("ratio", [0.5, 0.95, 1.05, 2.0])
def test_rsjn_shunt_follows_the_gap(ratio):
    rn, vg, n = 4.0, 2.8e-3, 10.0
    v = ratio * vg
    res = Transient(voltage_biased("rsjn", v, rn=rn, vg=vg, n=n)).run(
        tstop=40 * PS, step=0.005 * PS, ramp=2 * PS)
    # The pair current averages out; the shunt current remains.
    rel = ratio**n
    expected = v * rel / ((rel + 1) * rn)
    assert mean_current_over_periods(res, "B1", v, 5 * PS) == pytest.approx(expected, rel=2e-3, abs=1e-8)


@pytest.mark.parametrize("ratio", [0.3, 0.8, 2.5])
def test_tjm_mean_current(ratio):
    rn, vg, rsg, table = 5.0, 2.8e-3, 50.0, "test_gap_20"
    v = ratio * vg
    res = Transient(voltage_biased("tjm", v, rn=rn, vg=vg, rsg=rsg, tjm=table)).run(
        tstop=60 * PS, step=0.005 * PS, ramp=2 * PS)
    # The table's closed form for the quasiparticle current at a constant
    # voltage, in SI: the gap at vg, the normal conductance 1/rn, the
    # subgap one 1/rsg (the test tables' resonances ride on top of both).
    A, B, P = (np.asarray(x, dtype=complex) for x in qdconfig.tjm_models[table])
    x = v / vg
    expected = vg / rn * (x - (rn / rsg - 1) * np.sum((B * x / (P * P + x * x)).real))
    assert mean_current_over_periods(res, "B1", v, 30 * PS) == pytest.approx(expected, rel=1e-2)


def test_tjm_junction_switches_under_a_pulse():
    c = Circuit("TJM junction, biased and kicked")
    c.current_source("IB", "0", "n1", 70e-6)
    c.current_source("IK", "0", "n1", PWL([(0, 0), (20 * PS, 0), (22 * PS, 150e-6), (24 * PS, 0)]))
    c.junction("B1", "n1", "0", ic=100e-6, c=0.1e-12, model="tjm", rn=16.0, vg=2.8e-3,
               tjm="test_gap_20")
    c.resistor("RL", "n1", "0", 4.0)
    res = Transient(c).run(tstop=60 * PS, step=0.01 * PS, ramp=10 * PS)
    counts = res.quanta("B1")
    assert counts[0] == 0 and counts[-1] >= 1
    assert np.all(np.isfinite(res.voltage("B1")))


# Niobium at 6 K: a table fitted when the first junction asks for it.
NB_6K = dict(model="tjm", rn=10.0, c=0.1e-12, temperature=6.0, tc=9.25)


@pytest.mark.parametrize("x", [0.6, 1.1, 2.0])
def test_bcs_junction_by_temperature_carries_the_bcs_tunnel_current(x):
    # At V = x V_g with V_g = 2 Delta(6 K) / e the mean current is the BCS
    # quasiparticle current: at 0.6 the thermal subgap current alone (any
    # leakage resistance would show), at 1.1 just above the rise at the gap.
    vg, rn = 2 * tjm.gap(6.0, 9.25), NB_6K["rn"]
    t = tjm.K_B * 6.0 / (vg / 2)
    c = Circuit("Nb tunnel junction at 6 K, voltage-biased")
    c.voltage_source("V1", "n1", "0", x * vg)
    c.junction("B1", "n1", "0", **NB_6K)
    res = Transient(c).run(tstop=100 * PS, step=0.02 * PS, ramp=2 * PS)
    bcs = (tjm.responses(np.array([x]), t)[0].imag[0] + x) * vg / rn
    assert mean_current_over_periods(res, "B1", x * vg, 60 * PS) == pytest.approx(bcs, rel=2e-3)


@pytest.mark.parametrize("fraction", [0.5, 0.99, 1.01])
def test_bcs_junction_by_temperature_has_the_ambegaokar_baratoff_critical_current(fraction):
    # Given rn alone, the junction's critical current is pi Delta / (2 e Rn)
    # tanh(Delta / 2kT): below it a DC bias I holds the phase at
    # asin(I / Ic), above it the phase runs. The shunt only damps.
    delta, rn = tjm.gap(6.0, 9.25), NB_6K["rn"]
    ab = math.pi * delta / (2 * rn) * math.tanh(delta / (2 * tjm.K_B * 6.0))
    c = Circuit("Nb tunnel junction at 6 K, current-biased")
    c.current_source("I1", "0", "n1", fraction * ab)
    c.junction("B1", "n1", "0", **NB_6K)
    c.resistor("R1", "n1", "0", 2.0)
    res = Transient(c).run(tstop=300 * PS, step=0.05 * PS, ramp=50 * PS)
    if fraction < 1:
        assert res.quanta("B1")[-1] == 0
        assert fraction * ab / math.sin(res.phase("B1")[-1]) == pytest.approx(ab, rel=1e-3)
    else:
        assert res.quanta("B1")[-1] >= 2


def test_coupled_loop_keeps_its_flux():
    l1, l2, k = 8e-12, 4e-12, 0.6
    c = Circuit("transformer into a superconducting loop")
    c.current_source("I1", "0", "p", 200e-6)
    c.inductor("L1", "p", "0", l1)
    c.inductor("L2", "s", "0", l2)
    c.resistor("RS", "s", "0", 1e6)  # the loop L2 is closed through ground; RS only damps
    c.inductor("LS", "s", "0", 1e-9)
    c.coupling("K1", "L1", "L2", k=k)
    res = Transient(c).run(tstop=40 * PS, step=0.02 * PS, ramp=10 * PS)
    i1, i2, ils = res.current("L1")[-1], res.current("L2")[-1], res.current("LS")[-1]
    m = k * math.sqrt(l1 * l2)
    # Flux of the loop L2-LS: L2 i2 + M i1 - LS ils = 0 with ils = -i2 (no current elsewhere).
    assert i1 == pytest.approx(200e-6, rel=1e-3)
    assert l2 * i2 + m * i1 + 1e-9 * i2 == pytest.approx(0.0, abs=1e-3 * m * i1)
    assert ils == pytest.approx(-i2, rel=1e-2)


def test_gear_agrees_with_trap_on_the_jtl():
    from quenda.demos.jtl import jtl, switching_table

    runs = [Transient(jtl(8)).run(tstop=60 * PS, step=step * PS, ramp=10 * PS, method=m)
            for m, step in (("trap", 0.1), ("gear", 0.05))]
    (t_trap, t_gear) = ([when for _, when, _ in switching_table(r, 8)] for r in runs)
    assert np.allclose(t_trap, t_gear, atol=0.05 * PS)


def test_failing_step_names_time_and_unknown():
    from quenda.demos.jtl import jtl

    with pytest.raises(SimulationError) as info:
        Transient(jtl(4)).run(tstop=40 * PS, step=0.5 * PS, ramp=10 * PS, max_iter=1,
                              min_step=0.5 * PS, tol=1e-14)
    text = str(info.value)
    assert text.startswith("Newton iterations did not converge at t = ")
    assert "the largest update was at node 'n" in text


@pytest.mark.parametrize("fraction", [0.99, 1.01])
def test_netlist_asks_for_the_bcs_junction_by_temperature_and_gap(fraction):
    # The same junction from a model card: rtype=2 at t=6 with the gap of
    # tc=9.25, rn given, so Ic is the Ambegaokar-Baratoff value again.
    from quenda import read_netlist

    delta, rn = tjm.gap(6.0, 9.25), NB_6K["rn"]
    ab = math.pi * delta / (2 * rn) * math.tanh(delta / (2 * tjm.K_B * 6.0))
    net = read_netlist(f"""* Nb tunnel junction at 6 K
.model nb jj(rtype=2, t=6, tc=9.25, rn={2 * rn}, cap=0.05p)
I1 0 1 {fraction * ab}
B1 1 0 nb area=2
R1 1 0 2
.tran 0.05p 300p
""")
    res = Transient(net.circuit).run(tstop=300 * PS, step=0.05 * PS, ramp=50 * PS)
    assert (res.quanta("B1")[-1] >= 2) == (fraction > 1)
