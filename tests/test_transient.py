"""The transient analysis tells the truth: converged steps, second-order
formulas, breakpoints, bounded phase steps, no silent NaN, one run at a time,
arguments checked, results kept when a run stops."""

import math
import re
import threading

import numpy as np
import pytest

from quenda import PULSE, PWL, Circuit, CircuitError, SimulationError, Transient, Waveform
from quenda.analysis.newton import converged
from quenda.demos.jtl import jtl, switching_table

PS = 1e-12


def kicked_junction(model):
    c = Circuit(f"{model} junction, biased and kicked")
    c.current_source("IB", "0", "n1", 70e-6)
    c.current_source("IK", "0", "n1", PWL([(0, 0), (20 * PS, 0), (22 * PS, 150e-6), (24 * PS, 0)]))
    law = {"rcsj": dict(r=16.0), "rsjn": dict(rn=16.0, vg=2.8e-3),
           "tjm": dict(rn=16.0, vg=2.8e-3, tjm="test_gap_20")}[model]
    c.junction("B1", "n1", "0", ic=100e-6, c=0.1e-12, model=model, **law)
    c.resistor("RL", "n1", "0", 4.0)
    return c


@pytest.mark.parametrize("method", ["trap", "gear"])
@pytest.mark.parametrize("model", ["rcsj", "rsjn", "tjm"])
def test_accepted_steps_are_converged_to_tol(model, method):
    # The tunnel junction's A2 is not its exact Jacobian: a stop test that
    # assumes quadratic convergence accepted it 4e-3 rad from the solution.
    tol = 1e-6
    loose, tight = (Transient(kicked_junction(model)).run(tstop=60 * PS, step=0.25 * PS,
                                                          ramp=10 * PS, tol=t, method=method)
                    for t in (tol, 1e-12))
    assert loose.quanta("B1")[-1] == 1
    assert np.abs(loose.phase("B1") - tight.phase("B1")).max() < 2 * tol


@pytest.mark.parametrize("it, largest, previous, exact, ok", [
    (0, 1e-7, math.inf, True, True),
    (1, 1e200, 1e201, True, False),      # the cubed estimate overflows to inf <= inf
    (1, 4e-6, 1e-2, True, True),         # quadratic: about 6e-13 remains
    (0, 1e-7, math.inf, False, False),   # no rate yet
    (1, 9e-7, 1e-6, False, False),       # rate 0.9: about 8e-6 remains
    (1, 1e-7, 1e-6, False, True),
])
def test_stop_test(it, largest, previous, exact, ok):
    assert converged(it, largest, previous, 1e-6, exact) is ok


def rc_ramp_error(method, step):
    r, cap, slope = 5.0, 0.5e-12, 1e-4 / (10 * PS)
    c = Circuit("RC driven by a ramp")
    c.current_source("I1", "0", "n1", PWL([(0, 0), (100 * PS, slope * 100 * PS)]))
    c.resistor("R1", "n1", "0", r)
    c.capacitor("C1", "n1", "0", cap)
    res = Transient(c).run(tstop=20 * PS, step=step, method=method)
    t, tau = res.time, r * cap
    exact = slope * r * (t - tau * (1 - np.exp(-t / tau)))
    return np.abs(res.node_voltage("n1") - exact).max()


def lc_phase_error(method, step):
    l, cap = 5e-12, 0.4e-12
    c = Circuit("LC tank started by a current step")
    c.current_source("I1", "0", "n1", 1e-4)
    c.inductor("L1", "n1", "0", l)
    c.capacitor("C1", "n1", "0", cap)
    res = Transient(c).run(tstop=40 * PS, step=step, method=method)
    w = 1 / math.sqrt(l * cap)
    exact = 1e-4 * l * w * np.sin(w * res.time)  # the node voltage of the driven tank
    return np.abs(res.node_voltage("n1") - exact).max()


@pytest.mark.parametrize("error", [rc_ramp_error, lc_phase_error])
@pytest.mark.parametrize("method", ["trap", "gear"])
def test_second_order_against_closed_forms(error, method):
    # BDF2 kept the backward-Euler coefficient of its first step, and the
    # trapezoidal rule carried an inconsistent start: neither was second order.
    coarse, fine = error(method, 0.2 * PS), error(method, 0.1 * PS)
    assert coarse / fine > 3.6


@pytest.mark.parametrize("build, text", [
    (lambda c: c.capacitor("C9", "n1", "0", 1e300), "C9: capacitance 1e+300 is outside the range"),
    (lambda c: c.resistor("R9", "n1", "0", 5e-324), "R9: resistance 4.94066e-324 is outside the range"),
    (lambda c: c.current_source("I9", "0", "n1", 1e308), "I9: value 1e+308 is outside the range"),
])
def test_values_that_overflow_in_kernel_units_are_refused(build, text):
    c = Circuit()
    c.resistor("R1", "n1", "0", 1.0)
    build(c)
    with pytest.raises(CircuitError, match=re.escape(text)):
        Transient(c)


@pytest.mark.parametrize("make", [
    lambda: PWL([(0, 0), (1e-12, math.nan)]), lambda: PWL([(0, 0), (math.inf, 1)]),
    lambda: PULSE(0, math.nan), lambda: PULSE(0, 1, td=-1e-12),
])
def test_non_finite_waveforms_are_refused(make):
    with pytest.raises(ValueError, match="must be"):
        make()


class Broken(Waveform):
    def __call__(self, t):
        return math.nan if t > 3 * PS else 1e-4


def test_non_finite_values_stop_the_run_naming_where():
    c = Circuit()
    c.current_source("I1", "0", "n1", Broken())
    c.resistor("R1", "n1", "0", 1.0)
    with pytest.raises(SimulationError, match=r"current source I1: its waveform gives nan at t = 3\.1e-12"):
        Transient(c).run(tstop=10 * PS, step=0.1 * PS)
    # A law that gives NaN (a fractional shunt exponent at a negative voltage).
    c = Circuit()
    c.current_source("I1", "n1", "0", 300e-6)
    c.junction("B1", "n1", "0", ic=100e-6, c=0.1e-12, model="rsjn", rn=4.0, n=2.5)
    with pytest.raises(SimulationError, match=r"infinite or NaN .* at node 'n1' \(I1, B1\)"):
        Transient(c).run(tstop=10 * PS, step=0.1 * PS)


@pytest.mark.parametrize("couplings, text", [
    ([("K1", "L1", "L2", 0.9), ("K2", "L2", "L3", 0.9), ("K3", "L1", "L3", -0.9)],
     "couplings K1, K2, K3 make the inductance matrix of L1, L2, L3 not positive definite"),
    ([("K1", "L1", "L2", 0.8), ("K2", "L2", "L1", 0.8)], "L1-L2 k = 1.6; K1, K2 couple the same pair"),
])
def test_inductance_matrices_must_be_positive_definite(couplings, text):
    c = Circuit()
    c.current_source("I1", "0", "n1", 1e-4)
    for k in (1, 2, 3):
        c.inductor(f"L{k}", "n1" if k == 1 else f"m{k}", "0", 4e-12)
    for name, a, b, k in couplings:
        c.coupling(name, a, b, k=k)
    with pytest.raises(CircuitError, match=text):
        Transient(c)


def one_stage(pulse):
    c = Circuit("one JTL stage")
    c.current_source("IB", "0", "n1", 175e-6)
    c.current_source("IIN", "0", "n1", pulse)
    c.junction("B1", "n1", "0", ic=250e-6, r=2.8, c=0.175e-12)
    c.resistor("RL", "n1", "0", 8.0)
    return c


@pytest.mark.parametrize("step, adaptive", [(0.25, True), (5.0, False)])
def test_short_pulses_are_not_stepped_over(step, adaptive):
    pulse = PWL([(0, 0), (50 * PS, 0), (51 * PS, 500e-6), (52 * PS, 0)])
    res = Transient(one_stage(pulse)).run(tstop=100 * PS, step=step * PS, ramp=10 * PS,
                                          adaptive=adaptive)
    assert res.quanta("B1")[-1] == 1


@pytest.mark.parametrize("step", [1.0, 2.0, 5.0])
def test_large_steps_keep_the_physics(step):
    # Unbounded phase steps changed the count of a JTL stage at large steps
    # (none at 5 ps where finer steps count two).
    fine = Transient(jtl(1)).run(tstop=200 * PS, step=0.05 * PS, ramp=10 * PS)
    res = Transient(jtl(1)).run(tstop=200 * PS, step=step * PS, ramp=10 * PS)
    assert res.quanta("B1")[-1] == fine.quanta("B1")[-1] == 2
    assert res.time[-1] == pytest.approx(200 * PS)


def test_a_step_beyond_tstop_reaches_tstop():
    res = Transient(one_stage(0.0)).run(tstop=3 * PS, step=50 * PS, ramp=1 * PS)
    assert list(res.time) == [0.0, 3 * PS]


def test_one_run_at_a_time():
    class Nested(Waveform):
        def __call__(self, t):
            Transient(one_stage(0.0)).run(tstop=1 * PS, step=0.1 * PS)
            return 0.0

    with pytest.raises(SimulationError, match="already running in this thread"):
        Transient(one_stage(Nested())).run(tstop=1 * PS, step=0.1 * PS)
    # Runs from several threads wait for each other and all come out right.
    expected = Transient(jtl(6)).run(tstop=60 * PS, step=0.25 * PS, ramp=10 * PS).phase("B6")
    found = {}

    def run(k):
        found[k] = Transient(jtl(6)).run(tstop=60 * PS, step=0.25 * PS, ramp=10 * PS).phase("B6")

    threads = [threading.Thread(target=run, args=(k,)) for k in range(4)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert all(np.array_equal(found[k], expected) for k in range(4))


@pytest.mark.parametrize("kwargs, text", [
    (dict(min_step=-1.0), "min_step must be positive"),
    (dict(min_step=math.nan), "min_step must be positive"),
    (dict(adaptive=True, max_step=1e-30), "would take more than"),
    (dict(ramp=-1.0), "ramp must be not negative"),
    (dict(tstop=math.inf), "tstop must be positive and finite"),
    (dict(max_iter=0), "max_iter must be a whole number of at least 1"),
    (dict(min_step=1e-30), "below what the time"),
])
def test_run_arguments_are_checked(kwargs, text):
    args = dict(tstop=100 * PS, step=0.25 * PS) | kwargs
    with pytest.raises(ValueError, match=text):
        Transient(one_stage(0.0)).run(**args)
    with pytest.raises(TypeError):
        Transient(one_stage(0.0)).run(0.25 * PS, 100 * PS)


def test_a_circuit_changed_after_preparation_is_prepared_again():
    c = one_stage(0.0)
    sim = Transient(c)
    c.resistor("R2", "n2", "0", 1.0)
    c.current_source("I2", "0", "n2", 1e-4)
    res = sim.run(tstop=5 * PS, step=0.25 * PS)
    assert res.node_voltage("n2")[-1] == pytest.approx(1e-4)


def test_results_survive_failure():
    class Interrupting(Waveform):
        def __call__(self, t):
            if t > 40 * PS:
                raise KeyboardInterrupt
            return 0.0

    with pytest.raises(KeyboardInterrupt) as info:
        Transient(one_stage(Interrupting())).run(tstop=100 * PS, step=1 * PS)
    partial = info.value.results
    assert partial.time[-1] == pytest.approx(40 * PS) and len(partial.quanta("B1")) == 41
    with pytest.raises(SimulationError) as info:
        Transient(jtl(4)).run(tstop=40 * PS, step=0.5 * PS, ramp=10 * PS, max_iter=1,
                              min_step=0.5 * PS, tol=1e-14)
    assert info.value.results.time[-1] < info.value.time


def test_adaptive_runs_grow_their_results():
    # Rows for tstop / step points up front asked for 44.7 GiB here.
    res = Transient(one_stage(0.0)).run(tstop=1e-9, step=1e-17, ramp=10 * PS, adaptive=True)
    assert res.time[-1] == pytest.approx(1e-9) and len(res.time) < 5000
