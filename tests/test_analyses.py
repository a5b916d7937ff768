"""Sweeps, margins and yield: their answers against brute force and closed
forms, on one process and on a local Dask cluster."""

import copy
import math
import subprocess
import sys
import time
import warnings
from statistics import NormalDist

import numpy as np
import pytest

import quenda
from quenda import Circuit
from quenda.analysis.check import SwitchingCheck
from quenda.demos.jtl import jtl

from conftest import isolated_env

PS = 1e-12
JTL_RUN = dict(tstop=50 * PS, step=0.25 * PS, ramp=10 * PS)


@pytest.fixture(scope="module")
def line():
    c = jtl(4)
    c.resistor("RX", "n4", "0", 1e4)  # far above the shunts: no effect on the line
    return c


@pytest.fixture(scope="module")
def biased_junction():
    """One junction under a DC bias of 0.8 Ic: it stays superconducting while
    the bias is below Ic, i.e. scaled by less than 1.25."""
    c = Circuit("biased junction")
    c.current_source("IB", "0", "n1", 200e-6)
    c.junction("B1", "n1", "0", ic=250e-6, r=2.8, c=0.175e-12)
    return c


JUNCTION_RUN = dict(tstop=70 * PS, step=0.5 * PS, ramp=30 * PS)


@pytest.fixture(scope="module")
def cluster():
    distributed = pytest.importorskip("distributed")
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                                  dashboard_address=None) as c:
        yield c


def test_margins_equal_a_scan_of_every_grid_point(line):
    res = 0.01
    m = quenda.margins(line, ["global:bias", "RX"], resolution=res, limits=(0.4, 1.6),
                       workers=1, **JTL_RUN)
    # Brute force: from nominal outwards, every grid point until the first failure.
    down = [1 - k * res for k in range(1, 61)]
    up = [1 + k * res for k in range(1, 61)]
    scan = quenda.sweep(line, {"global:bias": down + up}, check="nominal", workers=1, **JTL_RUN)
    passed = dict(zip(scan.table["global:bias"], scan.table["passed"]))
    low = next(s + res for s in down if not passed[s])
    high = next(s - res for s in up if not passed[s])
    bias = m["global:bias"]
    assert 0.4 < low < 0.9 and 1.1 < high < 1.6
    assert (bias.low, bias.high) == pytest.approx((low, high), abs=1e-12)
    assert not (bias.low_at_limit or bias.high_at_limit)
    assert bias.low_failure and bias.high_failure  # what failed just beyond each margin
    # A parameter that changes nothing passes at both search limits.
    rx = m["RX"]
    assert (rx.low, rx.high, rx.low_at_limit, rx.high_at_limit) == (0.4, 1.6, True, True)
    assert m.critical[0] == "global:bias"
    assert m.runs < len(down + up) / 4


@pytest.mark.parametrize("nominal, seen, passes", [
    # A junction whose phase overshoots by a quantum and comes back within
    # the pulse makes one +1 transition, overshooting or not.
    ([(10.0, 1), (10.8, 1), (11.5, -1)], [(10.3, 1)], True),
    ([(10.0, 1)], [(10.1, 1), (10.9, 1), (11.4, -1)], True),
    ([(10.0, 1)], [(16.0, 1)], False),                  # outside the window
    ([(10.0, 1)], [(10.0, -1)], False),                 # the other way
    ([(10.0, 1), (40.0, 1)], [(10.0, 1)], False),        # a pulse missing
    ([(10.0, 1)], [(10.0, 1), (30.0, 1)], False),        # one too many
    ([(10.0, 1)], [(10.0, 1), (20.0, 1), (20.5, -1)], True),  # a slip and its return
])
def test_switching_check_judges_transitions(nominal, seen, passes):
    class Run:
        element_names = ["B1"]

        def __init__(self, events):
            self.events = events

        def quanta(self, name):
            return np.zeros(1)

        def switching(self, name):
            return (np.array([t * PS for t, _ in self.events]),
                    np.array([n for _, n in self.events]))

    check = SwitchingCheck.record(Run(nominal), window=5 * PS, merge=2 * PS)
    assert check(Run(seen)) is passes
    assert (check.explain(Run(seen)) is None) is passes


def test_yield_matches_the_normal_probability_of_the_pass_window(biased_junction):
    y = quenda.yield_analysis(biased_junction, 200, elements={"IB": 0.2},
                              distribution="gaussian", seed=5, workers=1, **JUNCTION_RUN)
    expected = NormalDist().cdf(0.25 / 0.2)  # P(1 + 0.2 u < 1.25)
    lo, hi = y.interval
    assert lo <= expected <= hi and hi - lo < 0.12
    assert not y.errors and y.failures > 0
    factors = y.factors[:, 0]
    # The factors reported are the ones run: the window's edge splits them.
    assert factors[y.passed].max() < 1.25 + 0.005 < factors[~y.passed].min() + 0.01
    assert y.sensitivity()["element"][0] == "IB" and y.sensitivity()["correlation"][0] > 0.4
    # A sample is the same whatever the number of samples.
    fewer = quenda.yield_analysis(biased_junction, 20, elements={"IB": 0.2},
                                  distribution="gaussian", seed=5, workers=1, **JUNCTION_RUN)
    assert np.array_equal(fewer.factors, y.factors[:20])
    assert np.array_equal(fewer.passed, y.passed[:20])


def test_failed_points_are_reported_with_their_values(line):
    def arrival(res):
        return res.crossing_time("B4")

    with pytest.warns(RuntimeWarning, match="1 of 3 sweep points failed"):
        s = quenda.sweep(line, {"RX": [1e4, 0.0, 2e4]}, measure=arrival, check="nominal",
                         workers=1, **JTL_RUN)
    t = s.table
    assert list(t["passed"]) == [True, False, True]
    assert "RX" in t["error"][1] and t["RX"][1] == 0.0 and math.isnan(t["value"][1])
    assert t["error"][0] == t["error"][2] == "" and t["value"][0] == pytest.approx(t["value"][2])


def test_cluster_runs_give_what_one_process_gives(line, biased_junction, cluster):
    address = cluster.scheduler_address
    here = quenda.margins(line, ["global:bias", "IB2", "L1"], resolution=0.02, workers=1,
                          **JTL_RUN)
    there = quenda.margins(line, ["global:bias", "IB2", "L1"], resolution=0.02,
                           scheduler=address, **JTL_RUN)
    assert np.array_equal(here.table, there.table) and here.runs == there.runs
    kwargs = dict(elements={"IB": 0.2}, distribution="uniform", seed=9, **JUNCTION_RUN)
    a = quenda.yield_analysis(biased_junction, 24, workers=1, **kwargs)
    b = quenda.yield_analysis(biased_junction, 24, scheduler=address, **kwargs)
    assert np.array_equal(a.factors, b.factors) and np.array_equal(a.passed, b.passed)


NETLIST = """* four-stage JTL, its biases from one .param
.model jj1 jj(rtype=0, rn=2.8, cap=0.175pF, icrit=0.25mA)
.param bias=175u
IIN 0 1 pwl(0 0 20p 0 22p 500u 24p 0)
IB1 0 1 pwl(0 0 10p bias)
IB2 0 2 pwl(0 0 10p bias)
IB3 0 3 pwl(0 0 10p bias)
IB4 0 4 pwl(0 0 10p bias)
B1 1 0 jj1
B2 2 0 jj1
B3 3 0 jj1
B4 4 0 jj1
L1 1 2 3p
L2 2 3 3p
L3 3 4 3p
.tran 0.25p 50p
.end
"""


def test_command_line_margins_on_a_cluster_of_its_own(tmp_path):
    path = tmp_path / "jtl.cir"
    path.write_text(NETLIST)
    proc = subprocess.run(
        [sys.executable, "-m", "quenda", "margins", str(path), "--param", "{bias}",
         "--param", "global:bias", "--resolution", "2", "--workers", "2",
         "--csv", str(tmp_path / "m.csv")],
        capture_output=True, text=True, timeout=300, env=isolated_env())
    assert proc.returncode == 0, proc.stderr
    assert "critical margin" in proc.stdout
    rows = [line.split(",") for line in (tmp_path / "m.csv").read_text().splitlines()]
    assert rows[0][:4] == ["parameter", "nominal", "low", "high"]
    # The .param feeds every bias source and nothing else: the same margins.
    assert rows[1][0] == "{BIAS}" and rows[2][0] == "global:bias"
    assert rows[1][2:] == rows[2][2:] and float(rows[1][2]) < 0.9


def test_unknown_parameters_are_named(line):
    with pytest.raises(ValueError, match=r"no element named 'IB9' to vary \(did you mean"):
        quenda.margins(line, ["IB9"], workers=1, **JTL_RUN)
    with pytest.raises(ValueError, match=r"\.param values can only be varied in a netlist"):
        quenda.margins(line, ["{BIAS}"], workers=1, **JTL_RUN)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        with pytest.raises(ValueError, match="has no top-level .param NOPE"):
            quenda.margins(NETLIST, ["{nope}"], workers=1)


def test_values_apply_as_the_netlist_dialect_states_them():
    from quenda import PWL
    from quenda.analysis.parameters import apply, parse

    c = Circuit("values")
    c.current_source("IIN", "0", "n1", PWL([(0, 0), (10 * PS, 0), (12 * PS, 5e-4), (14 * PS, 0)]))
    c.current_source("IB", "0", "n1", PWL([(0, 0), (5 * PS, 1e-4)]))
    c.junction("B1", "n1", "0", ic=250e-6, r=2.8, c=0.2e-12)
    c.inductor("L1", "n1", "n2", 2 * PS)
    c.inductor("L2", "n2", "0", 8 * PS)
    c.coupling("K1", "L1", "L2", k=0.5)

    def scaled(name, s):
        return apply(c, [(parse(name, c), s)]).elements

    area = scaled("b1", 2.0)["B1"].params  # any case names one element
    assert (area["ic"], area["c"], area["r"]) == pytest.approx((500e-6, 0.4e-12, 1.4))
    assert scaled("B1:ic", 2.0)["B1"].params["r"] == 2.8
    biased = scaled("global:bias", 1.5)
    assert biased["IB"].params["wave"](1e-9) == pytest.approx(1.5e-4)
    assert biased["IIN"].params["wave"](12 * PS) == pytest.approx(5e-4)  # an input, not a bias
    e = scaled("L1", 4.0)  # a coupling keeps its coupling factor
    assert e["K1"].params["m"] / math.sqrt(e["L1"].params["l"] * e["L2"].params["l"]) == \
        pytest.approx(0.5)
    assert c.elements["B1"].params["ic"] == 250e-6 and c.elements["L1"].params["l"] == 2 * PS


def test_yield_draws_the_spreads_a_netlist_states(tmp_path):
    text = NETLIST.replace("L1 1 2 3p", "L1 1 2 3p spread=0.2").replace(
        ".tran", ".spread 0.05 B=0.1\n.option seed=11\n.tran")
    with warnings.catch_warnings():
        warnings.simplefilter("error")  # the spread and the seed are this analysis's own
        y = quenda.yield_analysis(text, 12, correlated={"B": 0.1}, workers=1)
    assert y.seed == 11 and y.names == ["B1", "B2", "B3", "B4", "L1", "L2", "L3"]
    assert y.spread.distribution == "uniform"
    local = y.factors / np.where(np.arange(7) < 4, y.shared[:, :1], 1.0)
    bound = np.array([0.1] * 4 + [0.2, 0.05, 0.05])  # own over kind over global
    assert np.all(np.abs(local - 1) <= bound) and np.all(np.abs(local - 1).max(0) > bound / 3)
    # The correlated factor moves every junction of a sample together.
    assert np.all(np.abs(y.shared[:, 0] - 1) <= 0.1) and y.shared.std() > 0


def test_command_line_sweep_and_yield(tmp_path, capsys):
    from quenda.cli import main

    path = tmp_path / "jtl.cir"
    path.write_text(NETLIST)
    assert main(["sweep", str(path), "--workers", "1", "--param", "{bias}=100u:175u:4",
                 "--time-of", "b4", "--csv", str(tmp_path / "s.csv")]) == 0
    table = np.genfromtxt(tmp_path / "s.csv", delimiter=",", names=True, dtype=None,
                          encoding="utf-8")
    assert table.dtype.names == ("BIAS", "passed", "tB4", "error")
    assert list(table["BIAS"]) == pytest.approx([100e-6, 125e-6, 150e-6, 175e-6])
    assert table["passed"][-1] and np.all(np.diff(table["tB4"]) < 0)  # more bias, earlier
    assert main(["yield", str(path), "--workers", "1", "--samples", "8", "--seed", "3",
                 "--kind", "B=0.02"]) == 0
    assert "yield 100.0% (8 of 8 samples pass" in capsys.readouterr().out
    assert main(["margins", str(path), "--workers", "1", "--param", "IB9"]) == 1
    assert "no element named 'IB9' to vary (did you mean 'IB" in capsys.readouterr().err


def test_interrupt_cancels_the_runs_on_the_cluster(line, cluster):
    from distributed import Client

    from quenda.analysis.backend import Backend
    from quenda.analysis.design import design_of
    from quenda.analysis.evaluate import job_for

    design = design_of(line, JTL_RUN)
    (bias,) = design.parameters(["global:bias"])
    job = job_for(design, [bias], check=lambda res: True)
    points = ((k, ((bias, 1.0 + k * 1e-3),)) for k in range(200))

    def interrupt(key, outcome):
        raise KeyboardInterrupt

    def tasks(dask_scheduler):
        return len(dask_scheduler.tasks)

    with Client(cluster.scheduler_address) as client:
        # The traceback keeps the runs' futures: only cancelling them ends the runs.
        with pytest.raises(KeyboardInterrupt) as interrupted:
            with Backend(scheduler=client) as backend:
                backend.run(job, points, follow=interrupt)
        for _ in range(100):  # the scheduler forgets cancelled runs soon after
            if not client.run_on_scheduler(tasks):
                break
            time.sleep(0.1)
        assert client.run_on_scheduler(tasks) == 0 and interrupted.traceback


def test_a_table_fitted_here_travels_with_the_circuit(tmp_path):
    # Workers are other processes: a junction on a table registered only in
    # this one must still find its terms there.
    import pickle

    from quenda import qdconfig

    qdconfig.tjm_models["only-here"] = qdconfig.gap_resonance_terms(8)
    try:
        c = Circuit("one tunnel junction on a table of this process")
        c.current_source("IB", "0", "n1", 50e-6)
        c.junction("B1", "n1", "0", model="tjm", ic=100e-6, rn=16.0, c=0.1e-12, tjm="only-here")
        (tmp_path / "c.pickle").write_bytes(pickle.dumps(c))
    finally:
        del qdconfig.tjm_models["only-here"]
    proc = subprocess.run([sys.executable, "-c", f"""
import pickle
from quenda import Transient
c = pickle.loads(open({str(tmp_path / "c.pickle")!r}, "rb").read())
print(Transient(c).run(tstop=5e-12, step=0.1e-12).phase("B1")[-1] > 0)
"""], capture_output=True, text=True, env=isolated_env(), timeout=120)
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout.split() == ["True"]


def test_noisy_runs_on_a_cluster_are_the_runs_of_one_process(line, cluster):
    noisy = copy.copy(line)
    noisy.temperature, noisy.neb = 4.2, 4e12
    kwargs = dict(seed=4, **JTL_RUN)
    measure = quenda.SwitchTimes(["B2", "B4"])
    here = quenda.noise_statistics(noisy, 6, measure, workers=1, **kwargs)
    there = quenda.noise_statistics(noisy, 6, measure, scheduler=cluster.scheduler_address,
                                    **kwargs)
    assert np.array_equal(here.values["B4"], there.values["B4"])
    assert len(set(here.values["B4"])) == 6
