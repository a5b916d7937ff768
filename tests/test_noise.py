"""Thermal noise: the right amplitude from the present resistance, the
fluctuation-dissipation results it must reproduce (kT/C, phase diffusion,
jitter), reproducible streams, and noise-free runs left alone."""

import math
import warnings

import numpy as np
import pytest
from scipy.special import logsumexp

from quenda import NOISE, Circuit, CircuitError, SwitchTimes, Transient, noise_statistics, tjm
from quenda.analysis.streams import gaussians, philox, stream_key
from quenda.circuit.units import PHI0
from quenda.demos.jtl import jtl
from quenda.netlist import read_netlist
from quenda.netlist.run import simulate

PS = 1e-12
K_B = 1.380649e-23


@pytest.mark.parametrize("counter, key, block", [
    ((0, 0, 0, 0), (0, 0), (0x6627E8D5, 0xE169C58D, 0xBC57AC4C, 0x9B00DBD8)),
    ((0xFFFFFFFF,) * 4, (0xFFFFFFFF,) * 2, (0x408F276D, 0x41C83B0E, 0xA20BC7C6, 0x6D5451FD)),
    ((0x243F6A88, 0x85A308D3, 0x13198A2E, 0x03707344), (0xA4093822, 0x299F31D0),
     (0xD16CFE09, 0x94FDCCEB, 0x5001E420, 0x24126EA1)),
])
def test_philox_gives_the_published_answers(counter, key, block):
    assert tuple(int(w) for w in philox(counter, key)) == block


def test_streams_are_gaussian_and_each_value_stands_alone():
    n = 200_000
    g = gaussians(stream_key(5, "R1"), np.arange(n, dtype=np.uint64))
    assert abs(g.mean()) < 5 / math.sqrt(n)
    assert abs(g.var() - 1) < 5 * math.sqrt(2 / n)
    assert abs((g ** 4).mean() - 3) < 5 * math.sqrt(96 / n)
    # Value k alone is value k of the stream; another element's stream is another.
    assert gaussians(stream_key(5, "R1"), 123_456) == g[123_456]
    other = gaussians(stream_key(5, "R2"), np.arange(1000, dtype=np.uint64))
    assert abs(np.corrcoef(g[:1000], other)[0, 1]) < 0.15


# -- the amplitude follows the present resistance --------------------------------

TEMPERATURE, NEB = 20.0, 5e12
DT = 1 / NEB


def _pwl(v, r0=30.0, rn=5.0, vg=2.8e-3, delv=1e-4, gstep=1e-3 / (math.pi / 4 * 1e-4)):
    v = abs(v)
    return 1 / r0 if v < vg - delv / 2 else gstep if v < vg + delv / 2 else 1 / rn


def _rsjn(v, rn=8.0, vg=2.8e-3, n=10.0):
    rel = (abs(v) / vg) ** n
    return rel * (1 + n + rel) / (rn * (1 + rel) ** 2)


def _tjm(v, rn=16.0, vg=2.8e-3, rsg=math.inf):
    # A finite rsg makes the current (1 - rn/rsg) times the table's plus V / rsg.
    x = v / vg
    return (1 - rn / rsg) * float(tjm.table("Nb_4.2K_8").dc_current(x)) / x / rn + 1 / rsg


# (element, how it is added, pinned voltage, its conductance there)
PINNED = [
    ("R1", lambda c, n: c.resistor("R1", n, "0", 3.0), 1e-3, 1 / 3.0),
    ("B1", lambda c, n: c.junction("B1", n, "0", ic=100e-6, r=4.0), 1e-3, 1 / 4.0),
    ("B2", lambda c, n: c.junction("B2", n, "0", model="rsjn", ic=100e-6, rn=8.0),
     2.7e-3, _rsjn(2.7e-3)),
    ("B3", lambda c, n: c.junction("B3", n, "0", model="rsjn", ic=100e-6, rn=8.0),
     -3.5e-3, _rsjn(3.5e-3)),
    ("B4", lambda c, n: c.junction("B4", n, "0", model="pwl", ic=1e-3, rn=5.0, r0=30.0),
     1e-3, _pwl(1e-3)),
    ("B5", lambda c, n: c.junction("B5", n, "0", model="pwl", ic=1e-3, rn=5.0, r0=30.0),
     2.8e-3, _pwl(2.8e-3)),
    ("B6", lambda c, n: c.junction("B6", "0", n, model="pwl", ic=1e-3, rn=5.0, r0=30.0),
     4e-3, _pwl(4e-3)),
    ("B7", lambda c, n: c.junction("B7", n, "0", model="tjm", rn=16.0, tjm="Nb_4.2K_8"),
     2e-3, _tjm(2e-3)),
    ("B8", lambda c, n: c.junction("B8", n, "0", model="tjm", rn=16.0, tjm="Nb_4.2K_8"),
     3.5e-3, _tjm(3.5e-3)),
    ("B9", lambda c, n: c.junction("B9", n, "0", model="tjm", rn=16.0, tjm="Nb_4.2K_8",
                                   rsg=100.0), 1e-3, _tjm(1e-3, rsg=100.0)),
]


def pinned(temperature):
    """Each element alone at a constant voltage from its own source."""
    c = Circuit("pinned elements", temperature=temperature, neb=NEB)
    for k, (name, add, volts, _) in enumerate(PINNED):
        node = f"n{k}"
        c.voltage_source(f"V{name}", node, "0", volts)
        add(c, node)
    return c


def test_each_noise_current_is_its_streams_gaussian_at_the_present_resistance():
    # With every voltage pinned, runs of one seed at T and 4 T (the same
    # steps, so the tunnel junctions' histories too) differ in the pinning
    # sources' currents by the noise currents at T alone; the first interval
    # is left out (its amplitude is that of the start, at 0 V).
    steps = 60
    run = dict(tstop=steps * DT, step=DT, max_phase_step=math.inf, seed=42)
    quiet = Transient(pinned(TEMPERATURE)).run(**run)
    noisy = Transient(pinned(4 * TEMPERATURE)).run(**run)
    k = np.arange(1, steps)  # the interval that ends at grid point k + 1
    for name, _, volts, conductance in PINNED:
        # The pinning source carries the element's current, from its first
        # node through it to its second (B6 lies the other way round).
        through = (noisy.current(f"V{name}") - quiet.current(f"V{name}"))[2:]
        noise = through if name == "B6" else -through
        sigma = math.sqrt(2 * K_B * TEMPERATURE * conductance / DT)
        drawn = sigma * gaussians(stream_key(42, name), k.astype(np.uint64))
        np.testing.assert_allclose(noise, drawn, rtol=1e-6, atol=1e-9 * sigma, err_msg=name)


def test_a_noise_waveform_holds_its_streams_values_from_its_delay_on():
    c = Circuit("noise source")
    c.current_source("IN", "0", "n1", NOISE(2e-9, 3 * PS, 0.5 * PS))
    c.resistor("R1", "n1", "0", 2.0)
    res = Transient(c).run(tstop=20 * PS, step=0.25 * PS, seed=9)
    t, i = res.time, res.current("IN")
    assert not i[t <= 3 * PS + 1e-16].any()
    k = np.ceil((t[t > 3 * PS] - 3 * PS) / (0.5 * PS) - 1e-9) - 1
    sigma = 2e-9 / math.sqrt(2 * 0.5 * PS)
    expected = sigma * gaussians(stream_key(9, "IN"), k.astype(np.uint64))
    np.testing.assert_allclose(i[t > 3 * PS], expected, rtol=1e-12)


# -- fluctuation and dissipation ----------------------------------------------------


def batch_error(samples):
    """The mean of per-batch statistics and its standard error."""
    values = np.array(samples)
    return values.mean(), values.std(ddof=1) / math.sqrt(len(values))


@pytest.mark.parametrize("adaptive", [False, True])
def test_rc_capacitor_voltage_variance_tends_to_kt_over_c(adaptive):
    # Eight RC pairs in one run, RC = 2 ps, noise bandwidth 5 THz >> 1 / RC.
    r, cap, temperature, pairs = 2.0, 1e-12, 4.2, 8
    c = Circuit("RC pairs", temperature=temperature, neb=5e12)
    for k in range(pairs):
        c.resistor(f"R{k}", f"n{k}", "0", r)
        c.capacitor(f"C{k}", f"n{k}", "0", cap)
    res = Transient(c).run(tstop=1000 * PS, step=0.2 * PS, seed=3, adaptive=adaptive)
    keep = res.time > 20 * PS  # ten RC from the quiet start
    per_batch = [np.mean(chunk ** 2) for k in range(pairs)
                 for chunk in np.array_split(res.voltage(f"C{k}")[keep], 10)]
    ratio, err = batch_error(per_batch)
    ratio /= K_B * temperature / cap
    err /= K_B * temperature / cap
    # The trapezoidal rule takes a held value's RC response exactly (without
    # the restart at each boundary it would give kT / (C (1 + dt / 2RC)), 5 %
    # low); the backward-Euler restart step costs a fraction of a percent.
    assert abs(ratio - 1) < 4 * err + 0.01, (ratio, err)


def ambegaokar_halperin(i, gamma, n=256, m=200):
    """<V> / (Ic R) of an overdamped junction at bias I / Ic = i and
    gamma = kT / E_J: the stationary current of the Fokker-Planck equation
    of d phi / d tau = i - sin(phi) + noise (Stratonovich's integral)."""
    x = 2 * np.pi * np.arange(n) / n
    g, w = np.polynomial.legendre.leggauss(m)
    y = x[:, None] + np.pi * (g + 1)[None, :]
    u = lambda p: -np.cos(p) - i * p  # noqa: E731
    log_outer = logsumexp((u(y) - u(x)[:, None]) / gamma,
                          b=np.broadcast_to(np.pi * w, y.shape)) + np.log(2 * np.pi / n)
    return 2 * np.pi * gamma * -np.expm1(-2 * np.pi * i / gamma) * np.exp(-log_outer)


def test_an_overdamped_junction_below_ic_diffuses_at_the_ambegaokar_halperin_rate():
    # Ten junctions at I = 0.8 Ic and kT = 0.2 E_J, each 1000 tau_0 with
    # steps and noise intervals of 0.1 tau_0: about 320 slips in all.
    ic, r, i, gamma, junctions = 10e-6, 10.0, 0.8, 0.2, 10
    tau0 = PHI0 / (2 * math.pi * ic * r)
    temperature = gamma * PHI0 / (2 * math.pi) * ic / K_B
    c = Circuit("overdamped junctions", temperature=temperature, neb=10 / tau0)
    for k in range(junctions):
        c.current_source(f"I{k}", "0", f"n{k}", i * ic)
        c.junction(f"B{k}", f"n{k}", "0", ic=ic, r=r)
    res = Transient(c).run(tstop=1000 * tau0, step=0.1 * tau0, seed=17,
                           record=[f"B{k}" for k in range(junctions)])
    rates = []
    for k in range(junctions):
        phase = res.phase(f"B{k}")
        ends = np.linspace(20 * 10, len(phase) - 1, 5).astype(int)  # after 20 tau_0
        rates += list(np.diff(phase[ends]) / (np.diff(ends) * 0.1))  # d phase / d tau
    v, err = batch_error(rates)
    expected = ambegaokar_halperin(i, gamma)  # 0.2134
    # Stated tolerance: four standard errors and 5 % for steps of 0.1 tau_0.
    assert abs(v - expected) < 4 * err + 0.05 * expected, (v, err, expected)
    assert 4 * err < 0.3 * expected  # and the run says something


def test_the_jitter_of_an_sfq_pulse_grows_as_the_root_of_the_stages():
    stages, runs = 12, 40
    c = jtl(stages)
    c.temperature, c.neb = 4.2, 4e12
    names = [f"B{k}" for k in range(1, stages + 1)]
    stats = noise_statistics(c, runs, SwitchTimes(names), seed=11, tstop=(30 + 4 * stages) * PS,
                             step=0.25 * PS, ramp=10 * PS, record=names, workers=1, progress=False)
    t = np.array([stats.values[n] for n in names]).T
    # The delay from stage 2 over k stages, away from the driven start and the open end.
    spread = (t[:, 2:stages - 2] - t[:, [1]]).std(axis=0, ddof=1)
    k = np.arange(1, stages - 3)
    exponent = np.polyfit(np.log(k), np.log(spread), 1)[0]
    assert abs(exponent - 0.5) < 0.2, exponent  # about three standard errors (bootstrap)


# -- streams, seeds and noise-free runs ---------------------------------------------


def small(temperature=4.2, neb=2e12, junction=None, **resistor):
    c = Circuit("biased junction and a resistor", temperature=temperature, neb=neb)
    c.current_source("IB", "0", "n1", 150e-6)
    c.junction("B1", "n1", "0", ic=250e-6, r=2.8, c=0.175e-12, **(junction or {}))
    c.inductor("L1", "n1", "n2", 3e-12)
    c.resistor("R1", "n2", "0", 2.0, **resistor)
    return c


RUN = dict(tstop=40 * PS, step=0.25 * PS, ramp=5 * PS)


def test_one_seed_one_run_and_another_seed_another():
    a, b = (Transient(small()).run(seed=5, **RUN) for _ in range(2))
    other = Transient(small()).run(seed=6, **RUN)
    assert np.array_equal(a.phase("B1"), b.phase("B1"))
    assert np.array_equal(a.current("R1"), b.current("R1"))
    assert not np.array_equal(a.phase("B1"), other.phase("B1"))
    assert a.seed == 5
    fresh = Transient(small()).run(**RUN)
    again = Transient(small()).run(seed=fresh.seed, **RUN)
    assert np.array_equal(fresh.phase("B1"), again.phase("B1"))


def test_zero_temperature_is_the_noise_free_run_bit_for_bit():
    c = Circuit("before thermal noise")
    c.current_source("IB", "0", "n1", 150e-6)
    c.junction("B1", "n1", "0", ic=250e-6, r=2.8, c=0.175e-12)
    c.inductor("L1", "n1", "n2", 3e-12)
    c.resistor("R1", "n2", "0", 2.0)
    reference = Transient(c).run(**RUN)
    for circuit in (small(temperature=0.0), small(temp=0.0, junction=dict(temp=0.0))):
        res = Transient(circuit).run(seed=1, **RUN)
        for name in ("B1", "R1", "L1"):
            assert np.array_equal(res.current(name), reference.current(name))
            assert np.array_equal(res.phase(name), reference.phase(name))
        assert res.timing["steps"] == reference.timing["steps"]


def test_an_elements_own_temperature_and_another_elements_noise():
    # R1 alone at 50 K: the junction's branch is quiet, and adding a far
    # element (with noise of its own) changes nothing of R1's noise.
    c = small(temperature=0.0, temp=50.0)
    base = Transient(c).run(seed=8, **RUN)
    assert not np.array_equal(base.phase("B1"), Transient(small(0.0)).run(**RUN).phase("B1"))
    c.resistor("R9", "n9", "0", 1.0, temp=50.0)
    c.capacitor("C9", "n9", "0", 1e-12)
    more = Transient(c).run(seed=8, **RUN)
    np.testing.assert_allclose(more.phase("B1"), base.phase("B1"), rtol=1e-12, atol=1e-12)


def test_noisy_netlists_run_as_their_circuits():
    text = (".temp 4.2\n.neb 2T\n.option seed=31\n.tran 0.25p 40p\n"
            ".model jj1 jj(rtype=0, icrit=250u, rn=2.8, cap=0.175p)\n"
            "IB 0 1 pwl(0 0 5p 150u)\nB1 1 0 jj1\nL1 1 2 3p\nR1 2 0 2 temp=10\n"
            "IN 0 2 noise(1n 5p 1p)\n")
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        net = read_netlist(text)
    first, second = simulate(net, summary=True), simulate(read_netlist(text), summary=True)
    assert first.seed == 31 and np.array_equal(first.phase("B1"), second.phase("B1"))
    c = Circuit("by hand", temperature=4.2, neb=2e12)
    c.current_source("IB", "0", "1", net.circuit.element("IB").params["wave"])
    c.junction("B1", "1", "0", ic=250e-6, r=2.8, c=0.175e-12)
    c.inductor("L1", "1", "2", 3e-12)
    c.resistor("R1", "2", "0", 2.0, temp=10.0)
    c.current_source("IN", "0", "2", NOISE(1e-9, 5 * PS, 1 * PS))
    by_hand = Transient(c).run(tstop=40 * PS, step=0.25 * PS, seed=31)
    np.testing.assert_allclose(first.phase("B1"), by_hand.phase("B1"), rtol=1e-12, atol=1e-12)


def test_noise_statistics_runs_repeat_alone_and_failures_are_kept():
    c = small()
    stats = noise_statistics(c, 3, lambda res: {"end": res.phase("B1")[-1]}, seed=2,
                             workers=1, progress=False, **RUN)
    alone = Transient(c).run(seed=int(stats.seeds[1]), **RUN)
    assert stats.values["end"][1] == alone.phase("B1")[-1]
    assert len(set(stats.values["end"])) == 3
    with pytest.warns(RuntimeWarning, match="3 of 3 noisy runs failed"):
        failed = noise_statistics(c, 3, lambda res: res.current("nothing"), seed=2,
                                  workers=1, progress=False, **RUN)
    assert "no recorded element named 'nothing'" in failed.errors[0]


@pytest.mark.parametrize("make, message", [
    (lambda: Circuit(temperature=-1), "temperature must not be negative"),
    (lambda: Circuit(neb=0), "noise bandwidth neb must be positive"),
    (lambda: small(temp="hot"), "R1: "),
    (lambda: Circuit().phase_source("P1", "1", "0", NOISE(1, 0, 1e-12)),
     "P1: a phase source cannot follow NOISE"),
    (lambda: NOISE(1.0, 0.0), "NOISE needs its interval tstep"),
    (lambda: Transient(small()).run(seed=-1, **RUN), "seed must be a whole number"),
    (lambda: Transient(small(neb=1e14)).run(seed=1, min_step=0.02e-12, **RUN),
     "more often than the smallest step"),
    (lambda: noise_statistics(small(0.0), 2, SwitchTimes("B1"), workers=1, **RUN),
     "the circuit has no noise"),
])
def test_noise_settings_are_checked(make, message):
    with pytest.raises((CircuitError, ValueError, TypeError), match=message):
        make()


def test_yield_samples_draw_noise_of_their_own_and_margins_one_noise_for_all():
    import quenda
    from quenda.analysis.noise_runs import run_seed

    seen = []

    def check(res):
        seen.append(res.seed)
        return True

    quenda.yield_analysis(small(), 4, elements={"IB": 0.01}, seed=3, check=check, workers=1,
                          progress=False, **RUN)
    assert seen[1:] == [run_seed(3, i) for i in range(4)]  # after the nominal run
    seen.clear()
    quenda.margins(small(), ["IB"], check=check, resolution=0.25, limits=(0.5, 1.5), workers=1,
                   progress=False, seed=7, **RUN)
    assert len(seen) > 2 and set(seen) == {7}
