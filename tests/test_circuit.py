"""The circuit builder's errors: what users get wrong, named where it happened."""

import math

import pytest

from quenda.circuit import Circuit, CircuitError
from quenda.analysis import Transient
from quenda.circuit.waveforms import EXP, PULSE, PWL, PWS, SIN


def error(fn, *args, **kwargs):
    with pytest.raises(CircuitError) as info:
        fn(*args, **kwargs)
    return str(info.value)


@pytest.mark.parametrize(
    "call, text",
    [
        (lambda c: c.resistor("R1", "a", "0", 0), "R1: resistance must be positive and finite (got 0 ohm)"),
        (lambda c: c.resistor("R1", "a", "0", -3), "R1: resistance must be positive and finite (got -3 ohm)"),
        (lambda c: c.capacitor("C1", "a", "0", float("nan")), "C1: capacitance must be positive and finite (got nan F)"),
        (lambda c: c.inductor("L1", "a", "0", "three"), "L1: inductance must be a number (got 'three')"),
        (lambda c: c.junction("B1", "a", "0", ic=0, r=1), "B1: critical current must be positive and finite (got 0 A)"),
        (lambda c: c.junction("B1", "a", "0", ic=1e-4), "B1: an rcsj junction needs its shunt resistance r"),
        (lambda c: c.junction("B1", "a", "0", ic=1e-4, c=-1e-12, r=1), "B1: capacitance must not be negative and finite (got -1e-12 F)"),
        (lambda c: c.junction("B1", "a", "0", ic=1e-4, model="rsj"), "B1: unknown junction model 'rsj' (choose from rcsj, rsjn, pwl, tjm)"),
        (lambda c: c.junction("B1", "a", "0", ic=1e-4, model="pwl", rn=16), "B1: a pwl junction needs its subgap resistance r0"),
        (lambda c: c.junction("B1", "a", "0", ic=1e-4, model="pwl", r=3, rn=16, r0=160),
         "B1: a pwl junction has a subgap resistance r0 and a normal resistance rn, not a shunt r"),
        (lambda c: c.junction("B1", "a", "0", ic=1e-4, model="pwl", rn=16, r0=160, vg="1m", delv="2m"),
         "B1: the gap voltage vg (0.001 V) must exceed half the gap width delv (0.002 V)"),
        (lambda c: c.junction("B1", "a", "0", ic=1e-4, model="pwl", rn=16, r0=160, icfct=1, gstep=2),
         "B1: give icfct or gstep (the step's conductance), not both"),
        (lambda c: c.junction("B1", "a", "0", ic=1e-4, r=3, phi=3.14), "B1: phi is a parameter of the pwl junction model, not of rcsj"),
        (lambda c: c.junction("B1", "a", "0", ic=1e-4, r=1, temperature=4.2), "B1: tjm, temperature and tc are for a tjm junction, not an rcsj one"),
        (lambda c: c.junction("B1", "a", "0", model="tjm"), "B1: a tjm junction needs its critical current ic or its normal resistance rn (the other follows from its table)"),
        (lambda c: c.junction("B1", "a", "0", ic=1e-4, model="tjm", tjm="test_gap_8"), "B1: a tjm junction with table 'test_gap_8' needs its normal resistance rn"),
        (lambda c: c.junction("B1", "a", "0", model="tjm", rn=5, temperature=9.5, tc=9.25), "B1: the temperature 9.5 K is not below the critical temperature 9.25 K: there is no gap"),
        (lambda c: c.resistor("R2", "a", "A", 1), None),
        (lambda c: c.resistor("R3", "a", "a", 1), "R3: both terminals are node 'a'"),
        (lambda c: c.resistor("R4", "gnd", "0", 1), "R4: both terminals are node '0'"),
        (lambda c: c.resistor("R1", "x", "0", 1) and c.resistor("R1", "y", "0", 1),
         "duplicate element name 'R1': resistor R1 (x, 0) exists"),
        (lambda c: c.coupling("K1", "L9", "L8", k=0.1), "K1: unknown inductor 'L9'"),
        (lambda c: c.transmission_line("T1", "a", "0", "b", "0", td="0", z0=5),
         "T1: delay td must be positive and finite (got '0' s)"),
        (lambda c: c.transmission_line("T1", "a", "0", "b", "B", td=1e-12, z0=float("inf")),
         "T1: impedance z0 must be positive and finite (got inf ohm)"),
        (lambda c: c.transmission_line("T1", "a", "0", "gnd", "0", td=1e-12, z0=5),
         "T1: both terminals of port 2 are node '0'"),
    ],
)
def test_element_errors(call, text):
    c = Circuit()
    if text is None:
        call(c)
        assert c.nodes == ["a", "A"]
    else:
        assert error(call, c) == text


def test_coupling():
    c = Circuit()
    c.inductor("L1", "a", "0", 4e-12)
    c.inductor("L2", "b", "0", 9e-12)
    assert error(c.coupling, "K1", "L1", "L2", k=1.0) == "K1: coupling must be below 1 in magnitude (got k = 1)"
    assert error(c.coupling, "K1", "L1", "L2", m=7e-12) == "K1: coupling must be below 1 in magnitude (got k = 1.16667)"
    assert error(c.coupling, "K1", "L1", "L1", k=0.5) == "K1: couples inductor 'L1' with itself"
    assert "exactly one of k" in error(c.coupling, "K1", "L1", "L2")
    k = c.coupling("K1", "L1", "L2", k=-0.5)
    assert k.params["m"] == pytest.approx(-3e-12)
    assert c.elements["L1"].params["branch"] and c.elements["L2"].params["branch"]


@pytest.mark.parametrize(
    "build, text",
    [
        (lambda c: (c.resistor("R1", "a", "0", 1), c.resistor("R2", "b", "c", 1)),
         "node 'b' is floating: no resistor, capacitor, inductor, junction or phase/voltage source connects it to ground"),
        (lambda c: (c.resistor("R1", "a", "0", 1), c.current_source("I1", "a", "b", 1e-4)),
         "node 'b' is floating: no resistor, capacitor, inductor, junction or phase/voltage source connects it to ground"),
        (lambda c: (c.resistor("R1", "a", "0", 1), c.inductor("L1", "b", "c", 1e-12), c.inductor("L2", "c", "b", 1e-12)),
         "nodes 'b', 'c' form an inductor loop with no connection to ground"),
        (lambda c: (c.voltage_source("V1", "a", "0", 1e-3), c.phase_source("P1", "a", "0", 1.0)),
         "P1 closes a loop of phase and voltage sources"),
        (lambda c: None, "the circuit has no elements"),
        (lambda c: (c.resistor("R1", "a", "0", 1),
                    c.transmission_line("T1", "a", "0", "b", "c", td="1p", z0="5ohm"),
                    c.resistor("R2", "b", "c", 5)),
         "node 'b' is floating: no resistor, capacitor, inductor, junction or phase/voltage "
         "source connects it to ground (a transmission line ties the two terminals of each "
         "port, not one port to the other)"),
    ],
)
def test_circuit_errors(build, text):
    c = Circuit()
    build(c)
    assert error(Transient, c) == text


def test_waveforms():
    p = PWL([(0, 0), (1, 2), (3, 2)])
    assert [p(t) for t in (-1, 0.5, 2, 9)] == [0, 1, 2, 2] and p.constant_from() == 3
    with pytest.raises(ValueError, match="must not decrease"):
        PWL([(1, 0), (0, 1)])
    pulse = PULSE(0, 1, td=1, tr=1, tf=1, pw=1, per=5)
    assert [pulse(t) for t in (0, 1.5, 2.5, 3.5, 4.5, 6.5)] == [0, 0.5, 1, 0.5, 0, 0.5]
    assert pulse.constant_from() == math.inf
    assert PULSE(0, 1, td=1, tr=1, tf=1, pw=1).constant_from() == 4
    s = SIN(1, 2, 0.25, td=1)
    assert s(0) == 1 and s(2) == pytest.approx(3)
    # Half-cosine easing: through the points with no kink, inside their values.
    w = PWS([0, 0, "2p", 1, "4p", 1])
    assert [w(t * 1e-12) for t in (1, 0.5, 3)] == pytest.approx([0.5, 0.5 - 0.5**1.5, 1])
    assert w.breakpoints(3e-12).tolist() == [0, 2e-12] and w.levels() == (0, 1, 1)
    # A fall that starts before the rise has settled overshoots v1.
    e = EXP(0, 1, td1=1, tau1=2, td2=1.5, tau2=0.1)
    assert e(0) == 0 and e(2) == pytest.approx(math.exp(-5) - math.exp(-0.5))
    assert e(2) < 0 and min(e.levels()) <= e(2) and e.breakpoints(9).tolist() == [1, 1.5]
    with pytest.raises(ValueError, match="EXP time constant tau2 must be positive"):
        EXP(0, 1, 0, 1, 2, 0)


def test_unknown_names_in_results():
    c = Circuit()
    c.current_source("I1", "0", "a", 1e-4)
    c.resistor("R1", "a", "0", 1)
    with pytest.raises(KeyError, match="cannot record 'b'"):
        Transient(c).run(tstop=1e-12, step=1e-13, record=["b"])
    res = Transient(c).run(tstop=1e-12, step=1e-13, record=["a"])
    with pytest.raises(KeyError, match="no recorded element named 'R1'"):
        res.current("R1")
    with pytest.raises(KeyError, match="ground has no waveform"):
        res.node_voltage("gnd")
    with pytest.raises(KeyError, match="counts no phase quanta"):
        Transient(c).run(tstop=1e-12, step=1e-13).quanta("R1")
