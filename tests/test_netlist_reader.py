"""The netlist reader: values, lines, expressions, parameters, subcircuits,
sources, models, output requests, and errors that point at the fault."""

import math
import time
import warnings
from pathlib import Path

import pytest

from quenda.netlist import NetlistError, NetlistWarning, read_deck, read_netlist
from quenda.netlist.expand import expand
from quenda.circuit.units import parse_si

# The shared netlists beside the repository (as a clone sits beside them), or the workplace's.
EXAMPLES = next((p for p in (Path(__file__).resolve().parents[2] / "shared",
                             Path("/work/shared")) if p.is_dir()),
                Path("/work/shared")) / "netlists" / "josim-examples"
needs_examples = pytest.mark.skipif(not EXAMPLES.is_dir(), reason="example netlists not present")


def flat(text):
    """Expanded elements by hierarchical name."""
    return {f.name: f for f in expand(read_deck(text))}


def error_of(text):
    with pytest.raises(NetlistError) as err:
        read_netlist(text)
    return err.value


@pytest.mark.parametrize("text, value", [
    ("1e-12", 1e-12), ("2.425p", 2.425e-12), ("0.07pF", 0.07e-12), ("5GHz", 5e9),
    ("811mV", 0.811), ("1.000pohm", 1e-12), ("10M", 10e-3), ("1MEG", 1e6), ("1meghz", 1e6),
    ("5F", 5e-15), ("1X", 1e6), ("2T", 2e12), ("1000.00ohm", 1000.0), ("100ns", 100e-9),
    ("2pH", 2e-12), (".5u", 0.5e-6), ("-3k", -3e3), ("1.5e3K", 1.5e6), ("7", 7.0),
])
def test_values_with_suffixes(text, value):
    assert parse_si(text) == pytest.approx(value, rel=1e-15)


@pytest.mark.parametrize("expr, value", [
    ("2*pi", 2 * math.pi), ("-2^2", -4.0), ("2^3^2", 512.0), ("2**3", 8.0), ("(1+2)*3", 9.0),
    ("1/2/2", 0.25), ("100u*6.859904418", 6.859904418e-4), ("sqrt(4)+max(1, 5, 3)", 7.0),
    ("phi_zero/(2*pi)", 3.291059757e-16), ("{2.5p*4}", 1e-11), ("Sigma", 3.291059757e-16),
    ("atan2(1,1)*4", math.pi), ("2.8mV/2", 1.4e-3), ("10-2-3", 5.0), ("7-2*3", 1.0),
    ("-(5-2)+4", 1.0),
])
def test_expressions_as_values(expr, value):
    f = flat(f"R1 1 0 {expr}\n")["R1"]
    assert f.value == pytest.approx(value, rel=1e-12)


@pytest.mark.parametrize("expr, message, column", [
    ("1/0", "division by zero", 2),
    ("foo(1)", "unknown function foo()", 1),
    ("{1+}", "unexpected the end of the expression", 4),
    ("{(1+2}", "')'", 6),
    ("2$3", "unexpected '$'", 2),
    ("sin(1,2)", "sin() takes 1 argument, not 2", 1),
    ("sqrt(-1)", "math domain error", 1),
    ("nothere*2", "undefined parameter NOTHERE", 1),
    ("{5-nothere}", "undefined parameter NOTHERE", 4),
])
def test_expression_errors_point_at_the_fault(expr, message, column):
    err = error_of(f"R1 1 0 {expr}\n.tran 1p 10p\n")
    assert message in err.message or message in str(err)
    assert (err.position.line, err.position.column) == (1, 8 + column - 1)


def test_parameters_in_any_order_and_scopes():
    d = flat("""
.param total = half * 2
.param half = base / 2
.param base = 4
.param a = 1  b = a + 1
.subckt CELL 1
.param base = 10
R1 1 0 {base + b}
R2 1 0 total
.ends
X1 CELL 5
R3 5 0 base
""")
    assert [d["R1|X1"].value, d["R2|X1"].value, d["R3"].value] == [12.0, 4.0, 4.0]


@pytest.mark.parametrize("text, message", [
    (".param a = b + 1\n.param b = 2 * a\n", "parameter A depends on itself (A -> B -> A)"),
    (".param a = 1\n.param A = 2\n", "parameter A is defined twice in the top level"),
    (".param a = 1 +\n", "unexpected the end of the expression"),
    (".param = 3\n", ".param needs NAME=expression"),
])
def test_parameter_errors(text, message):
    assert message in str(error_of(text + "R1 1 0 1\n"))


def test_lines_case_continuations_and_comments():
    d = flat("""* title
  * an indented comment
# a hash comment
r1 In Gnd 2
I01 IN 0 pwl(0 0 10p 0 15p
     + 620u    17p 0)
+
.tran 0.25p 20p
""")
    assert d["R1"].nodes == ("IN", "0")
    assert d["I01"].proto.source.args == pytest.approx([0, 0, 10e-12, 0, 15e-12, 620e-6,
                                                          17e-12, 0])


@pytest.mark.parametrize("text, title", [
    ("* A cell\nR1 1 0 1\n", "A cell"),
    ("*=======*\n* Cell, 2 JJ *\n*=======*\nR1 1 0 1\n", "Cell, 2 JJ"),
    ("R1 1 0 1\n*.print v(1)\n", ""),  # a card commented out is no title
])
def test_the_title_is_the_first_comment_before_any_card(text, title):
    assert read_netlist(text).title == title


def test_control_block_and_end():
    deck = read_deck("R1 1 0 1\n.control\ntran 1p 5p\nprint nodev 1\n.endc\n.end\nbad card\n")
    assert (deck.tran.step, deck.tran.stop) == (1e-12, 5e-12)
    assert [r.names for r in deck.requests] == [("1",)]


def test_include_is_relative_to_the_including_file(tmp_path):
    (tmp_path / "lib").mkdir()
    (tmp_path / "lib" / "cells.inc").write_text(".subckt LOAD 1\nR1 1 0 5\n.ends\n"
                                                ".include more.inc\n")
    (tmp_path / "lib" / "more.inc").write_text(".param r = 7\n")
    (tmp_path / "top.cir").write_text(".include lib/cells.inc\nX1 LOAD 2\nR2 2 0 r\n")
    d = {f.name: f.value for f in expand(read_deck(tmp_path / "top.cir"))}
    assert d == {"R1|X1": 5.0, "R2": 7.0}
    (tmp_path / "lib" / "more.inc").write_text(".include ../top.cir\n")
    with pytest.raises(NetlistError, match=r"includes itself \(top.cir -> cells.inc -> "
                                           r"more.inc -> top.cir\)"):
        read_deck(tmp_path / "top.cir")


def test_subcircuits_nest_in_both_orders_with_hierarchical_names():
    d = flat("""
.subckt INNER a b
B01 a 3 jj area=2
L1 3 b 1p
.ends INNER
.subckt OUTER in out
X02 in mid INNER
XR mid out INNER
R9 mid 0 1
.ends
X1 OUTER 1 2
X2 2 3 OUTER
.model jj jj(rtype=0, rn=16, icrit=0.1mA)
""")
    assert d["B01|X02|X1"].nodes == ("1", "3|X02|X1")
    assert d["L1|X02|X1"].nodes == ("3|X02|X1", "MID|X1")
    assert d["L1|XR|X1"].nodes == ("3|XR|X1", "2")
    assert d["R9|X2"].nodes == ("MID|X2", "0")
    assert d["B01|XR|X2"].value == 2.0
    assert len(d) == 10


def test_instance_overrides_models_and_ground_ports():
    d = flat("""
.model jj jj(rtype=0, icrit=0.1mA)
.subckt CELL 0 a
.model jj jj(rtype=0, icrit=0.2mA)
R1 a 0 5
B1 a 0 jj area=1.5
.ends
X1 CELL 0 1 R1=7 B1=3
X2 CELL 0 2
B2 2 0 jj ic=0.25mA
""")
    assert [d["R1|X1"].value, d["R1|X2"].value, d["B1|X1"].value, d["B1|X2"].value] == \
        [7.0, 5.0, 3.0, 1.5]
    assert d["B1|X1"].proto.model.values["ICRIT"] == 0.2e-3  # the local model
    assert d["B2"].value == pytest.approx(2.5)  # ic= sets the area of the global one


@pytest.mark.parametrize("text, message", [
    (".subckt A 1\nX1 A 1\n.ends\nX0 A 2\n", "subcircuit A contains an instance of itself (A -> A)"),
    (".subckt A 1 2\nR1 1 2 1\n.ends\nX1 A 3\n", "subcircuit A has 2 ports (1 2), but 1 node is given"),
    (".subckt A 0 1\nR1 1 0 1\n.ends\nX1 A 5 6\n", "port 0 of subcircuit A is ground"),
    (".subckt A 1\nR1 1 0 1\n.ends\nX1 A 2 R7=3\n", "no element R7 in subcircuit A"),
    ("X1 NOPE 1 2\n", "neither 'NOPE' nor '2' is a subcircuit"),
    (".subckt A 1\nR1 1 0 1\n", "subcircuit A is never closed"),
    ("B1 1 0 nomodel\n", "no junction model NOMODEL"),
    (".model m jj(rtype=1, foo=2)\n", "unknown junction model key 'foo'"),
    (".model m jj(rtype=3)\n", "rtype=3 is not supported"),
    (".model m jj(rtype=2, table=Nb_4.2K_8, t=4.2)\n", "either a table or a temperature and gap"),
    (".model m jj(rtype=2, table=nope)\n", "no tunnel-junction table 'nope'"),
    (".model m jj(rtype=2, delv=0.1m)\n", "delv is a parameter of the piecewise-linear law"),
    (".model m jj(table=Nb_4.2K_8)\n", "a coefficient table is for the tunnel-junction model"),
    (".model m jj(cpr={1, 0.2})\n", "harmonics in the current-phase relation (cpr)"),
    (".model m jj(d=0.5)\n", "transparency d=0.5 is not supported yet"),
    (".model m bjt(is=1)\n", "unknown model type 'BJT'"),
    ("Q1 1 2 3 npn\n", "unknown element 'Q1'"),
    (".foo 1\n", "unknown control card .foo"),
    ("R1 1 0 5 tc=2\n", "unknown key 'tc' for a resistor"),
    ("R1 1 0 5 junk\n", "unexpected 'junk' after the value of R1"),
    ("R1 1 1 5\n", "R1 has both terminals on node 1"),
    ("R1 1 0 5\nr1 2 0 5\n", "R1 is defined twice in the top level (first at line 1)"),
    ("I1 0 1 pwl(0 0 5p)\n", "pwl() takes (time, value) pairs"),
    ("I1 0 1 pwl(0 0 5p 1 4p 0)\n", "time 4e-12 s comes before the previous point's 5e-12 s"),
    ("I1 0 1 noise(1 0 0)\n", "noise() needs a positive interval between values"),
    ("P1 1 0 noise(1 0 1p)\nR1 1 0 1\n", "a phase source cannot follow NOISE"),
    ("V1 1 0 pulse(0 1)\nR1 1 0 1\n", "pulse() takes some of its defaults from .tran"),
    ("R1 1 0 (5\n", "'(' is never closed"),
    ("+ R1 1 0 5\n", "a continuation line ('+') with no card before it"),
])
def test_what_is_wrong_is_named(text, message):
    assert message in str(error_of(text))


def test_an_error_shows_file_line_column_and_what_was_expected(tmp_path):
    path = tmp_path / "cell.cir"
    path.write_text("R1 1 0 5\nL1 1 2 2p\n.param x = 3 * scale\n")
    with pytest.raises(NetlistError) as err:
        read_netlist(path)
    assert str(err.value) == (
        f"{path}:3:16: undefined parameter SCALE\n"
        "    .param x = 3 * scale\n"
        "                   ^\n"
        "  expected: a .param of the top level, a constant (PI, PHI_ZERO, BOLTZMANN, EV, HBAR, "
        "C, MU0, EPS0, SIGMA), or a number")


def test_sources_and_their_defaults_from_tran():
    net = read_netlist("""
V1 1 0 pulse(0 1 10p)
R1 1 0 1
I2 0 1 sin(0 1m)
I3 0 1 exp(0 1 10p)
I4 0 1 pws(0 0 10p 1)
I5 0 1 dc 2u
I6 0 1 {3u}
.tran 0.5p 100p
""")
    e = net.circuit.elements
    pulse = e["V1"].params["wave"]
    assert (pulse.tr, pulse.tf, pulse.pw, pulse.per) == (0.5e-12, 0.5e-12, 100e-12, 100e-12)
    assert e["I2"].params["wave"].freq == pytest.approx(1e10)
    exp = e["I3"].params["wave"]
    assert (exp.tau1, exp.td2, exp.tau2) == (0.5e-12, 10.5e-12, 0.5e-12)
    pws = e["I4"].params["wave"]
    assert pws(5e-12) == pytest.approx(0.5) and pws(2.5e-12) == pytest.approx(0.5 - 0.5**1.5)
    assert [e[n].params["wave"](0.0) for n in ("I5", "I6")] == [2e-6, 3e-6]


def test_output_requests_and_their_columns():
    with pytest.warns(NetlistWarning, match=r":7:8: no device or node named NOPE; the request "
                                            r"'v\(nope\)' is left out"):
        net = read_netlist("""
.subckt S 1
R1 1 0 1
.ends
X1 S 2
R2 2 3 1
.print v(nope)
.print devv R2
.print devi R2
.plot v(3) v(2,3) v(R2,R1.X1) c(R2) @R2[p] p(R1|X1)
.file other.csv
.save nodep 2 0
.save i(R2) v(3)
""")
    assert [(r.column, r.file) for r in net.outputs] == [
        ("V(R2)", None), ("I(R2)", None), ("V(3)", None), ("V(2,3)", None),
        ("V(R2,R1|X1)", None), ("P(R2)", None), ("P(R1|X1)", None),  # c(R2) is I(R2) again
        ("P(2,0)", "other.csv"), ("I(R2)", "other.csv"), ("V(3)", "other.csv")]


def test_noise_settings_reach_the_circuit_and_spread_is_kept_with_a_notice():
    with warnings.catch_warnings(record=True) as seen:
        warnings.simplefilter("always")
        net = read_netlist(".temp 4.2\n.neb 20G\n.spread 0.1 L=0.2\n.option seed=7\n"
                           "R1 1 0 2 temp=3\nR2 1 0 2 neb=1T spread=0.1\n")
    o = net.options
    assert (o.temp, o.neb, o.spread, o.seed) == (4.2, 20e9, {"": 0.1, "L": 0.2}, 7)
    assert (net.circuit.temperature, net.circuit.neb) == (4.2, 20e9)
    assert net.circuit.element("R1").params["temp"] == 3.0
    assert net.circuit.element("R2").params["neb"] == 1e12
    texts = [str(w.message) for w in seen if w.category is NetlistWarning]
    assert len(texts) == 2 and all("spread" in t and "not applied" in t for t in texts)


@needs_examples
@pytest.mark.parametrize("name, message", [
    ("comp/vcvs.cir", "EA: controlled sources (E, F, G, H) are not supported yet"),
    ("comp/cccs.cir", "FA: controlled sources"), ("comp/vccs.cir", "GA: controlled sources"),
    ("comp/ccvs.cir", "HA: controlled sources"),
    ("param/test_param_undef.cir", "test_param_undef.cir:7:14: undefined parameter ONE"),
])
def test_example_netlists_refused_with_a_reason(name, message):
    with pytest.raises(NetlistError) as err:
        read_netlist(EXAMPLES / name)
    assert message in str(err.value)


@needs_examples
def test_example_parser_cases():
    nest = read_netlist(EXAMPLES / "param/test_param_nest.cir")
    assert [r.column for r in nest.outputs] == ["V(1,0)"]
    comment = read_netlist(EXAMPLES / "syntax/test_line_comment.cir")
    assert sorted(comment.circuit.elements) == ["ROUT", "VIN"]
    cont = read_netlist(EXAMPLES / "syntax/test_line_cont.cir")
    e = cont.circuit.elements
    assert e["I01"].params["wave"].values.tolist() == e["I02"].params["wave"].values.tolist() \
        == [0, 0, 620e-6, 0]


@needs_examples
def test_reading_the_four_bit_adder_is_quick():
    started = time.perf_counter()
    elements = expand(read_deck(EXAMPLES / "ex_ksa4bit.cir"))
    elapsed = time.perf_counter() - started
    junctions = sum(1 for f in elements if f.proto.kind == "B")
    assert (len(elements), junctions) == (14236, 2095)
    assert elapsed < 1.0
