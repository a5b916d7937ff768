"""Netlists with transmission lines (T cards), read and simulated as written."""

from collections import Counter

import numpy as np
import pytest

from quenda.analysis import Transient
from quenda.netlist import read_netlist, run

from test_netlist_reader import EXAMPLES, needs_examples


@needs_examples
def test_a_sine_through_a_mismatched_line():
    """comp/tx.cir: a voltage source across port 1, TD = 200 ps (800 steps),
    Z0 = 2, 1 ohm at port 2. Port 2 holds a third of the wave arriving
    there, and that wave is twice the source TD ago plus what port 2 sent
    back 2 TD ago, which the source reflects inverted: V2(t) = (2 Vs(t - TD)
    + V2(t - 2 TD)) / 3."""
    net = read_netlist(EXAMPLES / "comp/tx.cir")
    res = Transient(net.circuit).run(tstop=net.tran.stop, step=net.tran.step)
    vs, v2 = res.node_voltage("1"), res.node_voltage("2")
    m = 800
    assert np.abs(v2[:m]).max() < 1e-12
    np.testing.assert_allclose(v2[m:2 * m], 2 * vs[:m] / 3, rtol=0, atol=1e-12)
    np.testing.assert_allclose(v2[2 * m:], (2 * vs[m:-m] + v2[:-2 * m]) / 3, rtol=0, atol=1e-12)
    assert np.abs(v2).max() > 3.0


@needs_examples
@pytest.mark.parametrize("name, output, slips", [
    # 29 clock pulses reach the cell before 580 ps, and 2 data pulses: the
    # flip-flop sends 2 out; the clock's escape junction takes the 26 clocks
    # without data.
    ("ex_mitll_dff_wr", "X3", {0: 1, 2: 14, 26: 1, 28: 3, 29: 5}),
    # A at 30, 166, 185 ps, B at 30, 125, 190 ps: they differ in two clock
    # periods only, so the XOR sends 2 pulses.
    ("ex_mitll_xor_wr", "X5", {1: 2, 2: 6, 3: 18, 26: 1, 28: 2, 29: 7}),
])
def test_cells_joined_by_lines_run_as_written(name, output, slips):
    """The netlists run with their own .tran; every junction slips one way
    only, as many times as the pulses that reach it before 580 ps (junctions
    by number of slips; the last clock pulse lands near the end), and the
    receiver of the output line passes the cell's answer."""
    net = read_netlist(EXAMPLES / f"{name}.cir")
    res = run.simulate(net, main=False, summary=True)
    counts = Counter()
    for junction in run.junctions(net):
        times, steps = res.switching(junction)
        assert np.all(steps > 0) or np.all(steps < 0), junction
        counts[int(np.abs(steps[times < 580e-12]).sum())] += 1
        if junction.endswith(f"|{output}"):
            assert steps.sum() == 2, junction
    assert dict(sorted(counts.items())) == slips
