"""What users see of results: names, measurements, files, plots and the
command line."""

import csv
import math
import subprocess
import sys

import numpy as np
import pytest

from conftest import isolated_env
from quenda import PWL, Circuit, CircuitError, Transient
from quenda.demos.jtl import jtl

PS = 1e-12


def test_suffixes_integer_nodes_and_close_names():
    c = Circuit("written as a netlist would")
    c.current_source("IB", 0, 1, "175u")
    c.current_source("IIN", 0, 1, PWL([0, 0, "20p", 0, "22p", "500u", "24p", 0]))
    c.junction("B1", 1, 0, ic="250uA", r="2.8ohm", c="0.175pF")
    c.inductor("L1", 1, 2, "3pH")
    c.resistor("R1", 2, 0, "2")
    res = Transient(c).run(tstop="60p", step="0.25p", ramp="10p")
    assert res.node_voltage(2)[-1] == pytest.approx(0.0, abs=1e-9)
    assert res.quanta("B1")[-1] == 1
    with pytest.raises(KeyError, match="did you mean 'B1'"):
        res.phase("b1")
    with pytest.raises(CircuitError, match="did you mean .L1."):
        c.coupling("K1", "l1", "L1", k=0.1)


def test_every_crossing_and_switching_event():
    c = Circuit("a phase source turned three times")
    c.phase_source("P1", "n1", "0", PWL([(0, 0), (30 * PS, 6 * math.pi)]))
    c.resistor("R1", "n1", "0", 1.0)
    res = Transient(c).run(tstop=40 * PS, step=0.1 * PS)
    np.testing.assert_allclose(res.crossing_times("P1", math.pi) / PS, [5.0], atol=1e-6)
    odd = [res.crossing_times("P1", k * math.pi)[0] / PS for k in (1, 3, 5)]
    times, steps = res.switching("P1")
    np.testing.assert_allclose(times / PS, odd, atol=0.02)
    assert list(steps) == [1, 1, 1]


def test_csv_holds_what_was_recorded(tmp_path):
    res = Transient(jtl(2)).run(tstop=10 * PS, step=1 * PS, record=["n2", "B1"])
    res.to_csv(tmp_path / "out.csv")
    rows = list(csv.reader(open(tmp_path / "out.csv")))
    assert rows[0] == ["time [s]", "P(n2) [rad]", "V(n2) [V]", "I(B1) [A]", "V(B1) [V]",
                       "P(B1) [rad]", "N(B1)"]
    assert len(rows) == 12 and float(rows[-1][0]) == pytest.approx(10 * PS)


def test_plot_labels_units_and_leaves_pyplot_alone(tmp_path):
    matplotlib = pytest.importorskip("matplotlib")
    backend = matplotlib.get_backend()
    res = Transient(jtl(16)).run(tstop=40 * PS, step=0.5 * PS, ramp=10 * PS)
    fig = res.plot(tmp_path / "out.png", what=["current", "voltage", "phase"])
    labels = [ax.get_ylabel() for ax in fig.axes]
    assert labels == ["current [uA]", "voltage [mV]", "phase [rad]"]
    assert fig.axes[-1].get_xlabel() == "time [ps]"
    styles = {(line.get_color(), line.get_linestyle()) for line in fig.axes[0].get_lines()}
    assert len(styles) == 16 and len(fig.axes[0].get_legend().get_texts()) == 16
    assert (tmp_path / "out.png").stat().st_size > 0
    assert matplotlib.get_backend() == backend


def test_command_line_demo(tmp_path):
    proc = subprocess.run([sys.executable, "-m", "quenda", "--stages", "3", "--tstop", "40",
                           "--out", str(tmp_path)], capture_output=True, text=True,
                          env=isolated_env(), timeout=300)
    assert proc.returncode == 0, proc.stderr
    assert "B3" in proc.stdout and (tmp_path / "jtl.csv").exists()
