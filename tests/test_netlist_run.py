"""Netlists simulated end to end: the example circuits as written and with
the constant-resistance junction, single-flux-quantum pulses through them,
the .iv curve against the junction law, and the command line."""

import csv
import math
import re
import warnings
from pathlib import Path

import numpy as np
import pytest

from quenda import Transient
from quenda.cli import main
from quenda.netlist import read_netlist
from quenda.netlist.run import simulate

# The shared netlists beside the repository (as a clone sits beside them), or the workplace's.
EXAMPLES = next((p for p in (Path(__file__).resolve().parents[2] / "shared",
                             Path("/work/shared")) if p.is_dir()),
                Path("/work/shared")) / "netlists" / "josim-examples"
needs_examples = pytest.mark.skipif(not EXAMPLES.is_dir(), reason="example netlists not present")
PS = 1e-12

# Example netlists without transmission lines, and the window simulated
# here (None: all of .tran). Whole, ex_jtl_string (9026 unknowns) takes
# about 40 s and ex_gen_pp_ipht (16588, written with rtype=0) about 70 s.
RUNNABLE = [("ex_jtl_basic.cir", None), ("ex_jtl_param_times.cir", None),
            ("ex_dcsfq_jtl_sink.cir", None), ("ex_pi_DQFP_buffer_chan.cir", 400 * PS),
            ("ex_pi_DQFP_inverter_chain.cir", 400 * PS), ("ex_jtl_string.cir", 20 * PS),
            ("ex_gen_pp_ipht.cir", 10 * PS)]


def _rtype0(match):
    card = re.sub(r"(?i)rtype\s*=\s*1", "rtype=0", match.group())
    return card if re.search(r"(?i)rtype", card) else re.sub(r"\(", "(rtype=0, ", card, 1)


def example(name, rtype=None):
    """The example read as written, or with every junction model at rtype=0."""
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        if rtype is None:
            return read_netlist(EXAMPLES / name)
        text = re.sub(r"(?im)^\s*\.model\s.*$", _rtype0, (EXAMPLES / name).read_text())
        return read_netlist(text)


@needs_examples
@pytest.mark.parametrize("rtype", [None, 0])
@pytest.mark.parametrize("name, window", RUNNABLE)
def test_examples_run(name, window, rtype):
    net = example(name, rtype)
    junctions = [e for e in net.circuit.elements.values() if e.kind == "B"]
    text = (EXAMPLES / name).read_text().lower().replace(" ", "")
    written = {"B:pwl"} if "rtype=1" in text else {"B:rcsj"}
    # With rtype=0 a junction is rcsj, or, with a phase offset (the pi
    # junctions), pwl on one conductance.
    assert {e.key for e in junctions} == (written if rtype is None else
                                          {"B:pwl" if "phi=pi" in text else "B:rcsj"})
    assert all(e.params["r0"] == e.params["rn"] for e in junctions
               if e.key == "B:pwl" and rtype == 0)
    stop = window or net.tran.stop
    res = Transient(net.circuit).run(tstop=stop, step=net.tran.step,
                                     record=[e.name for e in junctions])
    assert res.time[-1] == pytest.approx(stop)
    assert all(np.isfinite(res.voltage(e.name)).all() for e in junctions)


def first_slips(res, junction, windows):
    """Per window (start, end): the net quanta change and the first slip time."""
    times, steps = res.switching(junction)
    out = []
    for start, end in windows:
        inside = (times >= start) & (times < end)
        out.append((int(steps[inside].sum()), times[inside][0] if inside.any() else None))
    return out


@needs_examples
@pytest.mark.parametrize("rtype", [None, 0])
@pytest.mark.parametrize("name, pulses, path", [
    ("ex_jtl_basic.cir", [300, 600], ["B01", "B02"]),
    ("ex_jtl_param_times.cir", [300, 600], ["B01", "B02"]),
    # The converter's output, then the lines and the sink; its escape
    # junction B01|X01 slips once per pulse after the pulse has left.
    ("ex_dcsfq_jtl_sink.cir", [170, 370, 600, 700],
     ["B02|X01", "B03|X01", "B04|X01", "B05|X01", "B01|X02", "B02|X02", "B01|X03", "B02|X03",
      "B01|X04", "B02|X04", "B01|X05"]),
])
def test_one_net_slip_per_junction_per_pulse_in_order(name, pulses, path, rtype):
    net = example(name, rtype)
    res = simulate(net, main=False, summary=True)
    windows = list(zip([p * PS for p in pulses], [p * PS for p in pulses[1:]] + [math.inf]))
    junctions = [e for e in net.circuit.elements if e.startswith("B")]
    slips = {j: first_slips(res, j, windows) for j in junctions}
    assert all(n == 1 for j in junctions for n, _ in slips[j]), slips
    for k in range(len(pulses)):
        times = [slips[j][k][1] for j in path]
        assert times == sorted(times), (k, dict(zip(path, times)))
    # A slip's time is where the phase crossed the half quantum, even when
    # the count's hold band moved it a sample later.
    for j in path:
        assert slips[j][0][1] == pytest.approx(res.crossing_time(j, math.pi), abs=1e-15)


def law(v, ic, r0, rn, vg, delv, icfct):
    """The rtype=1 quasiparticle current of the dialect page."""
    low, high, g = vg - delv / 2, vg + delv / 2, ic / (icfct * delv)
    a = abs(v)
    if a < low:
        return v / r0
    if a < high:
        return g * v + math.copysign(1.0, v) * low * (1 / r0 - g)
    return v / rn


@pytest.mark.parametrize("model, imax, params", [
    ("rtype=1, vg=2.8mV, cap=0.07pF, r0=160, rn=16, icrit=0.1mA", 300e-6,
     dict(ic=1e-4, r0=160, rn=16, vg=2.8e-3, delv=1e-4, icfct=math.pi / 4)),
    ("rtype=1, vg=2.6mV, r0=100, rn=12, icrit=0.25mA, delv=0.2mV, icfct=0.6", 1e-3,
     dict(ic=2.5e-4, r0=100, rn=12, vg=2.6e-3, delv=2e-4, icfct=0.6)),
    ("rtype=0, rn=16, icrit=0.1mA", 300e-6,
     dict(ic=1e-4, r0=16, rn=16, vg=2.8e-3, delv=1e-4, icfct=1e-4 / (1e-4 / 16))),
])
def test_iv_matches_the_junction_law(tmp_path, monkeypatch, model, imax, params):
    monkeypatch.chdir(tmp_path)
    (tmp_path / "m.cir").write_text(f".model jx jj({model})\n.iv jx {imax} iv.csv\n")
    assert main(["m.cir", "-q"]) == 0
    with open(tmp_path / "iv.csv") as f:
        rows = list(csv.reader(f))
    assert rows[0] == ["V", "I"]
    v, i = np.array(rows[1:], dtype=float).T
    zero = v == 0
    assert i[zero].tolist() == pytest.approx([-params["ic"], params["ic"]], rel=1e-12)
    expected = [law(x, **params) for x in v[~zero]]
    np.testing.assert_allclose(i[~zero], expected, rtol=1e-9, atol=1e-12 * imax)
    # The curve spans -imax to imax, both sides alike, and rtype=1's pieces all show.
    assert np.abs(i).max() <= imax * (1 + 1e-12) and np.abs(i).max() > 0.98 * imax
    np.testing.assert_allclose(v[::-1], -v, atol=0)
    if model.startswith("rtype=1"):
        gap = np.abs(v - params["vg"]) < params["delv"] / 2
        assert np.count_nonzero(gap) >= 3 and np.count_nonzero(v < 0.5 * params["vg"]) > 50


TINY = """* two junctions
VIN 3 0 pwl(0 0 10p 0 12.5p 827.13u 15p 0)
L0 3 1 2p
IB1 0 1 pwl(0 0 5p 140u)
B1 1 0 jx area=2.16
RB1 1 0 5.23
L1 1 2 2.4p
IB2 0 2 pwl(0 0 5p 140u)
B2 2 0 jx area=2.16
RB2 2 0 5.23
ROUT 2 0 2
.model jx jj(rtype=1, vg=2.8mV, cap=0.07pF, r0=160, rn=16, icrit=0.1mA)
.tran 0.25p 40p 5p 1p
.print DEVV VIN
.print PHASE B2
.print NODEV 1 2
"""


def read_output(path, fmt):
    text = path.read_text()
    if fmt == "csv":
        rows = list(csv.reader(text.splitlines()))
        return rows[0], np.array(rows[1:], dtype=float)
    if fmt == "dat":
        rows = [line.split(" ") for line in text.splitlines()]
        return rows[0], np.array(rows[1:], dtype=float)
    header, values = text.split("Values:\n")
    names = [line.split("\t")[2] for line in header.splitlines() if line.startswith("\t")]
    points = int(re.search(r"No. Points: (\d+)", header).group(1))
    numbers = [float(line.split("\t")[-1]) for line in values.splitlines()]
    return names, np.array(numbers).reshape(points, len(names))


@pytest.mark.parametrize("out, fmt", [("out.csv", "csv"), ("out.dat", "dat"), ("out.raw", "raw"),
                                      ("out", "raw")])
def test_command_line_writes_the_requests(tmp_path, monkeypatch, capsys, out, fmt):
    monkeypatch.chdir(tmp_path)
    (tmp_path / "tiny.cir").write_text(TINY)
    assert main(["tiny.cir", "-o", out, "-q"]) == 0
    names, table = read_output(tmp_path / out, fmt)
    assert names == ["time", "V(VIN)", "P(B2)", "V(1,2)"]
    # From the print start every print step, to the stop time.
    np.testing.assert_allclose(table[:, 0], np.arange(5, 41) * PS, rtol=1e-12)
    net = read_netlist(tmp_path / "tiny.cir")
    res = Transient(net.circuit).run(tstop=40 * PS, step=0.25 * PS)
    on_grid = np.arange(20, 161, 4)
    np.testing.assert_allclose(table[:, 2], res.phase("B2")[on_grid], rtol=1e-12, atol=1e-15)
    np.testing.assert_allclose(table[:, 3], (res.node_voltage("1") - res.node_voltage("2"))
                               [on_grid], rtol=1e-12, atol=1e-18)
    assert table[:, 2][-1] > 2 * math.pi - 1  # the pulse went through
    assert capsys.readouterr().out == ""


def test_command_line_summary_and_errors(tmp_path, monkeypatch, capsys):
    monkeypatch.chdir(tmp_path)
    (tmp_path / "tiny.cir").write_text(TINY)
    assert main(["tiny.cir"]) == 0
    out = capsys.readouterr().out.splitlines()
    assert out[0].startswith("two junctions (tiny.cir): 40 ps in steps of 0.25 ps, 161 points")
    assert [line.split()[:3] for line in out[2:]] == [["B1", "+1", "1/0"], ["B2", "+1", "1/0"]]

    (tmp_path / "bad.cir").write_text(TINY.replace("r0=160", "r0=scale*2"))
    assert main(["bad.cir", "-o", "x.csv"]) == 1
    err = capsys.readouterr().err
    assert err.startswith("bad.cir:12:48: undefined parameter SCALE\n")
    assert "Traceback" not in err and not (tmp_path / "x.csv").exists()
    with pytest.raises(SystemExit):
        main(["tiny.cir", "--stages", "3"])
    assert "--stages is for the demo" in capsys.readouterr().err
