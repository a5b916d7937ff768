"""JunctionTJMModel: set-up from the coefficient table, and the kernel
recurrence as the drivers run it, against a NumPy transcription."""

import ctypes
import ctypes.util
import math
import pickle
import subprocess

import numpy as np
import pytest

from quenda import SimulationParameters as SP
from quenda import qdconfig
from quenda import qdglobals as G
from quenda import stampcore as sc

from conftest import ROOT, run_isolated

SLOTS = (2, 5, 7, 9)
DEFAULT_WVG = 4.126984126984127


def across(x, i, j):
    return (x[i - 1] if i else 0.0) - (x[j - 1] if j else 0.0)


class Reference:
    """The junction's set-up and five operations, transcribed with NumPy."""

    def __init__(self, i, j, A, B, P, sgw, ic, beta, eindex=0):
        self.i, self.j, self.eindex = i, j, eindex
        self.A, self.B, self.P = (np.array(v, dtype=complex) for v in (A, B, P))
        self.sgw, self.ic, self.beta = sgw, ic, beta
        self.sinphi2 = self.cosphi2 = 0.0

    @classmethod
    def from_table(cls, i, j, table, params, eindex=0):
        _, ic, beta, wvg, wvrat, wrrat = params
        A, B, P = (np.array(v, dtype=complex) for v in table)
        P = P * wvg * 0.5
        A = A / np.sum((A / P).real)
        B = (wvg * B.real * (wrrat - 1) + 1j * ((wrrat - 1) * (B.imag * wvg))) / (wvrat + wvrat)
        return cls(i, j, A, B, P, 1.0 / (wvg * wvrat), ic, beta, eindex)

    def stamp(self, m, g):
        ii, ij, ji, jj = SLOTS
        if self.i:
            m[ii] += g
            if self.j:
                m[[ij, ji]] -= g
                m[jj] += g
        else:
            m[jj] += g

    def half(self, x):
        return math.sin(x * 0.5), math.cos(x * 0.5)

    def current(self, s, c, dv, ddv):
        fc = np.sum(((self.B + self.A) * self.Fc).real)
        fs = np.sum(((self.A - self.B) * self.Fs).real)
        return ((self.beta * self.sgw * ddv + dv) * self.sgw - (s * fc + fs * c)) * self.ic

    def admitance0(self):
        self.Fcprev, self.Fsprev = -1.0 / self.P, np.zeros_like(self.P)

    def admitance1(self, m):
        self.stamp(m, (self.beta * self.sgw * SP.InterpCoeffDDt[0] + SP.InterpCoeffDt[0])
                   * self.sgw * self.ic)
        s, c = self.half(across(SP.X[SP.Xind - 1], self.i, self.j))
        dv = across(SP.DXprev, self.i, self.j)
        P = self.P
        pq = P * SP.TimeSteps[0]
        epq, pq2 = np.exp(pq), pq * pq
        alpha0 = (epq * (pq2 - 2) + 2 * pq + 2) / (pq2 * P)
        beta0 = (pq * epq - 2 * epq + pq + 2) / (P * (pq * P))
        self.alpha1 = (2 * epq - 2 - 2 * pq - pq2) / (pq2 * P)
        self.Fcdt = alpha0 * c + epq * self.Fcprev - (s * beta0 * dv) / 2
        self.Fsdt = alpha0 * s + epq * self.Fsprev + (c * beta0 * dv) / 2

    def admitance2(self, m):
        s, c = self.sinphi2, self.cosphi2 = self.half(across(SP.X[SP.Xind], self.i, self.j))
        self.Fc, self.Fs = self.alpha1 * c + self.Fcdt, self.alpha1 * s + self.Fsdt
        an_c, an_s = np.sum((self.A * self.Fc).real), np.sum((self.A * self.Fs).real)
        self.stamp(m, -self.ic * (c * an_c - an_s * s))

    def rhs(self, b):
        s, c = self.sinphi2, self.cosphi2 = self.half(across(SP.X[SP.Xind], self.i, self.j))
        curr = self.current(s, c, across(SP.DX, self.i, self.j), across(SP.DDX, self.i, self.j))
        if self.i:
            b[self.i - 1] -= curr
        if self.j:
            b[self.j - 1] += curr

    def values(self):
        phase, dv, ddv = (across(x, self.i, self.j)
                          for x in (G.NodePhase, G.NodeVoltage, G.NodeDVoltage))
        self.Fc = self.Fcprev = self.alpha1 * self.cosphi2 + self.Fcdt
        self.Fs = self.Fsprev = self.alpha1 * self.sinphi2 + self.Fsdt
        return self.current(*self.half(phase), dv, ddv), phase, dv


@pytest.fixture
def tables(monkeypatch):
    t = dict(qdconfig.tjm_models)
    monkeypatch.setattr(qdconfig, "tjm_models", t)
    return t


def junction(host, i, j, params=None, eindex=0):
    m = sc.JunctionTJMModel(i, j, eindex)
    m.InitModel(*SLOTS)
    if params:
        m.InitTJMModel(params)
    host.collect(m)
    return m


def follow(ref, seed, steps=3, nodes=8):
    """Runs steps of BuildMatrix, UpdateMatrix, UpdateRHS and UpdateValues at
    random states, each checked against the transcription."""
    rng = np.random.default_rng(seed)

    def same(run, ops, *sizes):
        got, want = [np.zeros(n) for n in sizes], [np.zeros(n) for n in sizes]
        run(*got)
        for op, w in zip(ops, want):
            op(w)
        for g, w in zip(got, want):
            np.testing.assert_allclose(g, w, rtol=1e-11, atol=1e-12)

    a0 = np.zeros(12)
    sc.BuildStaticMatrix(a0)
    ref.admitance0()
    assert not a0.any()
    for _ in range(steps):
        SP.X = 2 * rng.standard_normal((3, nodes))
        SP.DX, SP.DDX, SP.DXprev = rng.standard_normal((3, nodes))
        SP.TimeSteps = [rng.uniform(0.05, 0.4)]
        same(sc.BuildMatrix, (ref.admitance1, ref.admitance2, ref.rhs), 12, 12, nodes)
        SP.X[SP.Xind] += 0.1 * rng.standard_normal(nodes)
        same(sc.UpdateMatrix, (ref.admitance2, ref.rhs), 12, nodes)
        SP.X[SP.Xind] += 0.1 * rng.standard_normal(nodes)  # a kept matrix: old Fc, new angle
        same(sc.UpdateRHS, (ref.rhs,), nodes)
        # The accepted solution is not quite the last iterate.
        G.NodePhase[:] = SP.X[SP.Xind] + 0.01 * rng.standard_normal(nodes)
        G.NodeVoltage[:], G.NodeDVoltage[:] = SP.DX, SP.DDX
        sc.UpdateValues()
        e = ref.eindex
        np.testing.assert_allclose([G.ElementCurrent[e], G.ElementPhase[e], G.ElementVoltage[e]],
                                   ref.values(), rtol=1e-11, atol=1e-12)


@pytest.mark.parametrize("i, j", [(1, 3), (4, 0), (0, 2)])
def test_drivers_follow_the_recurrence(host, tables, i, j):
    rng = np.random.default_rng(i * 10 + j)
    n = 5
    tables["random"] = (rng.standard_normal(n) + 1j * rng.standard_normal(n),
                        rng.standard_normal(n) + 1j * rng.standard_normal(n),
                        -rng.uniform(0.2, 2, n) + 1j * rng.uniform(-3, 3, n))
    params = ("random", 1.3, 0.7, 4.2, 0.55, 0.15)
    junction(host, i, j, params, eindex=3)
    follow(Reference.from_table(i, j, tables["random"], params, eindex=3), seed=i + j)


@pytest.mark.parametrize("entry", [
    ([1 + 0j], [2 + 0j], [1 + 1j]),
    [np.array([1.0]), np.array([2.0]), np.array([1 + 1j])],
    (v for v in ([1], [2], [1 + 1j]))])
def test_worked_example_of_the_set_up(host, tables, entry):
    tables["m"] = entry
    junction(host, 1, 2, ("m", 2.0, 0.5, 4.0, 1.0, 3.0))
    # sgw = 0.25: the linear stamp (0.5 * 0.25 * 64 + 8) * 0.25 * 2.0 is exact.
    a1 = np.zeros(12)
    sc.BuildMatrix(a1, np.zeros(12), np.zeros(8))
    assert a1[list(SLOTS)].tolist() == [8.0, -8.0, -8.0, 8.0]
    follow(Reference(1, 2, A=[4], B=[8], P=[2 + 2j], sgw=0.25, ic=2.0, beta=0.5), seed=1)


@pytest.mark.parametrize("name", sorted(qdconfig.tjm_models))
def test_junction_at_rest_stays_at_rest(host, name):
    junction(host, 1, 2, (name, 1.7, 0.4, DEFAULT_WVG, 0.6, 0.1))
    sc.BuildStaticMatrix(np.zeros(12))
    for _ in range(20):
        a1, a2, b = np.zeros(12), np.zeros(12), np.zeros(8)
        sc.BuildMatrix(a1, a2, b)
        sc.UpdateValues()
        np.testing.assert_allclose(a2[list(SLOTS)], [1.7, -1.7, -1.7, 1.7], rtol=1e-12)
        assert np.abs(b).max() < 1e-13 and abs(G.ElementCurrent[0]) < 1e-13


def test_example_mean_current_follows_the_kernel_in_closed_form():
    # The recurrence against the continuous-time convolution it integrates.
    example = str(ROOT / "examples" / "tjm_iv.py")
    rc, out, err = run_isolated(f"import runpy; runpy.run_path({example!r}, run_name='__main__')")
    assert rc == 0, err
    rows = [line.split() for line in out.splitlines()[1:]]
    assert len(rows) == 7
    for _, simulated, closed_form in rows:
        assert float(simulated) == pytest.approx(float(closed_form), rel=1e-4, abs=1e-6)


def test_testing_tables_conduct_wrrat_below_the_gap():
    # (The BCS tables conduct their thermal current instead: test_tjm_bcs.py.)
    testing = [entry for name, entry in qdconfig.tjm_models.items() if name.startswith("test_")]
    assert len(testing) == 3
    for A, B, P in testing:
        assert len(A) <= 20 and all(p.real < 0 for p in P)
        assert sum((b / (p * p)).real for b, p in zip(B, P)) == pytest.approx(-1.0)


@pytest.mark.parametrize("i, j, slot, row", [(0, 3, 9, 2), (3, 0, 2, 2)])
def test_grounded_terminal_touches_one_entry(host, i, j, slot, row):
    host.arrays(8, 8, seed=4)
    junction(host, i, j, ("test_gap_8", 1.0, 1.0, DEFAULT_WVG, 0.6, 0.1))
    _, a1, a2, b = host.build(12, 8)
    assert np.flatnonzero(a1).tolist() == np.flatnonzero(a2).tolist() == [slot]
    assert np.flatnonzero(b).tolist() == [row]
    sc.UpdateValues()
    assert G.ElementPhase[0] == (G.NodePhase[2] if i else -G.NodePhase[2])


def test_no_terms_leave_the_linear_current(host, tables):
    tables["none"] = ([], [], [])
    host.arrays(8, 8, seed=6)
    junction(host, 2, 5, ("none", 1.5, 0.3, 4.0, 0.5, 0.1))  # sgw = 0.5
    _, _, a2, b = host.build(12, 8)
    assert not a2.any()

    def linear(v, d):
        return ((0.3 * 0.5 * (d[1] - d[4]) + (v[1] - v[4])) * 0.5) * 1.5

    np.testing.assert_allclose(b[[1, 4]], np.array([-1, 1]) * linear(SP.DX, SP.DDX), rtol=1e-15)
    sc.UpdateValues()
    assert G.ElementCurrent[0] == pytest.approx(linear(G.NodeVoltage, G.NodeDVoltage), rel=1e-15)


def linear_stamp(beta, sgw, ic):
    return (beta * sgw * SP.InterpCoeffDDt[0] + SP.InterpCoeffDt[0]) * sgw * ic


@pytest.mark.parametrize("name", ["nope", "Λ-junction"])
def test_unknown_name_raises_bytes_and_keeps_the_terms(host, tables, name):
    m = junction(host, 1, 2, ("test_gap_1", 1.0, 1.0, 4.0, 0.5, 0.1))  # sgw = 0.5
    with pytest.raises(Exception) as err:
        m.InitTJMModel((name, 3.0, 2.0, 9.0, 9.0, 9.0))
    assert type(err.value) is Exception
    assert err.value.args == (b"Unknown TJM model: " + name.encode("utf-8"),)
    _, a1, _, _ = host.build(12, 8)
    assert a1[SLOTS[0]] == linear_stamp(2.0, 0.5, 3.0)  # new crit_current, beta; old sgw
    with pytest.raises(AttributeError):
        m.InitTJMModel((b"nope", 1, 1, 1, 1, 1))


def test_set_parameters_changes_only_crit_current_and_beta(host):
    m = junction(host, 1, 2, ("test_gap_8", 1.0, 1.0, DEFAULT_WVG, 0.6, 0.1))
    m.SetParameters(("test_gap_1", 3.0, 0.2))
    params = ("test_gap_8", 3.0, 0.2, DEFAULT_WVG, 0.6, 0.1)
    follow(Reference.from_table(1, 2, qdconfig.tjm_models["test_gap_8"], params), seed=2)


@pytest.mark.parametrize("entry, error, text", [
    (([1] * 21, [1] * 21, [-1] * 21), ValueError,
     "TJM model 'bad': A has 21 terms, more than the 20 a junction holds"),
    (([1, 1], [1], [-1, -1]), ValueError, "TJM model 'bad': B has 1 entries, fewer than the 2"),
    (([1, 1], [1, 1], [-1]), ValueError, "TJM model 'bad': P has 1 entries, fewer than the 2"),
    (([1], [1]), ValueError, "need more than 2 values to unpack"),
    ([[1]], ValueError, "need more than 1 value to unpack"),
    (iter([[1], [1], [-1], [1]]), ValueError, "too many values to unpack (expected 3)"),
    (([1], [object()], [-1]), AttributeError, "'object' object has no attribute 'real'"),
])
def test_bad_tables_are_refused_before_any_term_changes(host, tables, entry, error, text):
    tables["bad"] = entry
    m = junction(host, 1, 2, ("test_gap_8", 1.0, 1.0, DEFAULT_WVG, 0.6, 0.1))
    with pytest.raises(error) as err:
        m.InitTJMModel(("bad", 2.5, 0.5, 1.0, 1.0, 1.0))
    assert str(err.value).startswith(text)
    # Step 1's parameters are taken; terms, narray and sgw stay as they were,
    # also when a coefficient fails to convert part-way through the table.
    params = ("test_gap_8", 2.5, 0.5, DEFAULT_WVG, 0.6, 0.1)
    follow(Reference.from_table(1, 2, qdconfig.tjm_models["test_gap_8"], params), seed=3)


@pytest.mark.parametrize("case", ["never set up", "zero time step", "zero exponent"])
def test_unusable_set_ups_give_silent_nans(host, tables, case):
    tables["flat"] = ([1], [1], [0])
    params = None if case == "never set up" else (
        "flat" if case == "zero exponent" else "test_gap_1", 1.0, 1.0, DEFAULT_WVG, 0.6, 0.1)
    junction(host, 1, 2, params)
    SP.TimeSteps = [0.0 if case == "zero time step" else 0.25]
    _, _, a2, _ = host.build(12, 8)
    assert np.isnan(a2[list(SLOTS)]).all()


def test_phase_quanta_hold_band(host):
    junction(host, 1, 0, ("test_gap_1", 1.0, 1.0, DEFAULT_WVG, 0.6, 0.1))
    host.build(12, 8)
    for quanta, n, inc, dec in [(1.55, 2, 1, 0), (1.65, 2, 0, 0), (-1.2, -1, 0, 1)]:
        G.NodePhase[0] = 2 * np.pi * quanta
        sc.UpdateValues()
        assert (G.ElementN[0], G.ElementInc[0], G.ElementDec[0]) == (n, inc, dec)


def test_host_facing_texts():
    m = sc.JunctionTJMModel(1, 2, 0)
    with pytest.raises(TypeError, match=r"^InitTJMModel\(\) takes exactly one argument \(0 "):
        m.InitTJMModel()
    with pytest.raises(TypeError, match="^self.elem_currents,self.elem_n,self.elem_phases,"
                       "self.elem_voltages,self.node_dvoltages,self.node_phases,"
                       "self.node_voltages cannot be converted to a Python object for pickling$"):
        pickle.dumps(m)


class Pair(ctypes.Structure):
    _fields_ = [("re", ctypes.c_double), ("im", ctypes.c_double)]


def test_complex_arithmetic_keeps_annex_g():
    # The module calls the runtime's C99 routines (a -ffast-math or
    # -fcx-limited-range build would inline the naive formulas instead) ...
    nm = subprocess.run(["nm", "-D", "--undefined-only", sc.__file__],
                        capture_output=True, text=True, check=True).stdout
    imported = {line.split()[-1].split("@")[0] for line in nm.splitlines() if line.strip()}
    assert {"__muldc3", "__divdc3", "cexp"} <= imported
    # ... which keep infinities where the naive formulas give NaN.
    gcc, libm = (ctypes.CDLL(ctypes.util.find_library(n)) for n in ("gcc_s", "m"))
    for f in (gcc.__muldc3, gcc.__divdc3):
        f.restype, f.argtypes = Pair, [ctypes.c_double] * 4
    libm.cexp.restype, libm.cexp.argtypes = Pair, [Pair]
    inf = math.inf
    product = gcc.__muldc3(inf, inf, 1.0, 0.0)
    assert (product.re, product.im) == (inf, inf)
    assert math.isinf(gcc.__divdc3(1.0, 0.0, 0.0, 0.0).re)  # nonzero / zero is infinite
    e = libm.cexp(Pair(inf, 0.0))
    assert (e.re, e.im) == (inf, 0.0)
