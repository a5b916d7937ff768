"""BCS tunnel-junction tables: the gap equation and the response functions
against closed forms and independent integrals, the fits, and the shipped
tables run through the kernel under voltage bias against the BCS tunnel
current (currents in V_g / R_N, voltages x = V / V_g)."""

import math

import numpy as np
import pytest
from scipy import integrate, optimize, special

from quenda import qdconfig, tjm
from quenda.tjm import bias, registry
from quenda.tjm.table import Table

# Odintsov, Semenov and Zorin's four-term table (IEEE Trans. Magn. 23, 763, 1987).
OSZ = Table(A=[1.4204 + 1.2477j, 0.0245 + 0.1272j, 0.1746 + 0.1096j, 0.0610 + 0.0033j],
            B=[-0.4590 - 0.1150j, -0.0336 + 0.1839j, 0.0921 + 0.2762j, 0.0573 + 0.0109j],
            P=[-1.3656 + 0.1926j, -0.5254 + 0.4264j, -0.3139 + 0.8865j, -0.0534 + 0.9970j])
T_NB = tjm.reduced_temperature(4.2, tc=9.25)


def ambegaokar_baratoff(t):
    return math.pi / 4 * (math.tanh(1 / (2 * t)) if t > 0 else 1.0)


def tunnel_integrals(x, t):
    """The DC quasiparticle current and Im Jp at x, straight from the BCS
    densities: 1/2 Int N(E) N(E + 2x) (f(E) - f(E + 2x)) dE, and the same
    with -M M (M(E) = sign(E) / sqrt(E^2 - 1)), by adaptive quadrature."""
    e = 2 * x

    def f(E):
        return 0.5 * (1 - np.tanh(E / (2 * t))) if t > 0 else float(E < 0)

    def thermal(theta, pair):
        E = np.cosh(theta)  # E >= 1 and E + e >= 1: thermally excited on both sides
        root = np.sqrt((E + e) ** 2 - 1)
        return (1 / root if pair else np.cosh(theta) * (E + e) / root) * (f(E) - f(E + e))

    def across(phi, pair):
        h = e / 2 - 1  # E from 1 - e to -1: E = -e/2 - h cos(phi)
        E = -e / 2 - h * np.cos(phi)
        core = -1.0 if pair else abs(E) * (E + e)
        return core / np.sqrt((1 - E) * (E + e + 1)) * (f(E) - f(E + e))

    out = []
    for pair in (False, True):
        b = integrate.quad(thermal, 0, math.acosh(1 + 60 * t), args=(pair,), limit=400,
                           points=[math.sqrt(e)])[0] if t > 0 else 0.0
        c = integrate.quad(across, 0, math.pi, args=(pair,), limit=200)[0] if e > 2 else 0.0
        out.append(0.5 * (2 * b + c))
    return out[0], -out[1]


# -- the gap ------------------------------------------------------------------


def test_gap_equation_against_the_textbook_integral_and_its_limits():
    def textbook(delta, tau):  # ln(D0/D) = Int 2 f(E) / E dxi, kT in units of D0
        kt = tau / tjm.BCS_RATIO
        energy = lambda xi: math.hypot(xi, delta)  # noqa: E731
        return math.log(1 / delta) - integrate.quad(
            lambda xi: 2 / (math.exp(min(energy(xi) / kt, 700)) + 1) / energy(xi), 0, np.inf)[0]

    for tau in (0.3, 0.7, 0.95):
        root = optimize.brentq(textbook, 1e-6, 1.0, args=(tau,), xtol=1e-14)
        assert tjm.gap_ratio(tau) == pytest.approx(root, rel=1e-9)
    # Ginzburg-Landau near Tc: Delta / Delta0 = 1.7367 sqrt(1 - T/Tc).
    assert tjm.gap_ratio(0.9999) == pytest.approx(1.7367 * math.sqrt(1e-4), rel=1e-4)
    assert tjm.gap_ratio(0.0) == 1.0 and tjm.gap_ratio(1.0) == tjm.gap_ratio(2.0) == 0.0
    # Nb, Tc = 9.25 K: 2 Delta(0) / e = 2.812 mV; at 4.2 K, 2.8 % less.
    assert 2 * tjm.gap(0.0, 9.25) == pytest.approx(2.8120e-3, rel=1e-4)
    assert tjm.gap(4.2, 9.25) / tjm.gap(0.0, 9.25) == pytest.approx(0.9722, abs=1e-4)
    assert T_NB == pytest.approx(tjm.K_B * 4.2 / tjm.gap(4.2, 9.25), rel=1e-12)
    assert tjm.reduced_temperature(4.2, vg=2.8e-3) == pytest.approx(tjm.K_B * 4.2 / 1.4e-3)


@pytest.mark.parametrize("kwargs, text", [
    ({"temperature": 4.2}, "exactly one of tc"),
    ({"temperature": 4.2, "tc": 9.2, "vg": 2.8e-3}, "exactly one of tc"),
    ({"temperature": 9.5, "tc": 9.2}, "not below the critical temperature"),
    ({"temperature": -1.0, "tc": 9.2}, "must be a number >= 0 K"),
    ({"temperature": 4.2, "vg": 0.0}, "gap voltage must be positive"),
])
def test_temperature_and_gap_are_checked(kwargs, text):
    with pytest.raises(ValueError, match=text):
        tjm.reduced_temperature(**kwargs)


# -- the response functions -----------------------------------------------------


@pytest.mark.parametrize("x", [0.01, 0.5, 0.9, 0.999, 1.001, 1.2, 2.0, 7.0])
def test_zero_temperature_responses_in_closed_form(x):
    jq, jp = (complex(v) for v in tjm.responses(np.array(x), 0.0))
    if x < 1:  # Riedel: Re Jp = K(x) / 2; no current below the gap
        assert jp.real == pytest.approx(special.ellipk(x * x) / 2, rel=1e-10)
        assert jq.imag + x == pytest.approx(0, abs=1e-14)
        assert jp.imag == pytest.approx(0, abs=1e-14)
    else:  # k = (x - 1) / (x + 1)
        m = ((x - 1) / (x + 1)) ** 2
        iqp = (x + 1) * special.ellipe(m) - (2 * x + 1) / (x + 1) * special.ellipk(m)
        assert jq.imag + x == pytest.approx(iqp, rel=1e-12, abs=1e-14)
        assert jp.imag == pytest.approx(special.ellipk(m) / (x + 1), rel=1e-12)


@pytest.mark.parametrize("t", [0.1, T_NB, 0.6])
def test_finite_temperature_responses_against_the_tunnel_integrals(t):
    x = np.array([0.003, 0.3, 0.95, 1.05, 2.5])
    jq, jp = tjm.responses(x, t)
    for k, xk in enumerate(x):
        iqp, imp = tunnel_integrals(xk, t)
        assert jq[k].imag + xk == pytest.approx(iqp, rel=1e-7, abs=1e-12)
        assert jp[k].imag == pytest.approx(imp, rel=1e-7, abs=1e-12)
    # The real part: the static pair response is the critical current.
    assert tjm.responses(np.array([1e-7]), t)[1].real == pytest.approx(
        ambegaokar_baratoff(t), abs=1e-7)


def test_pair_response_is_the_kramers_kronig_transform_of_its_imaginary_part():
    # Re Jp(x) = 2/pi PV Int_0^inf y Im Jp(y) / (y^2 - x^2) dy at a finite
    # temperature, with Gauss-Legendre panels graded towards 0 and the gap
    # (below it less the pole's part, integrated in closed form), and beyond
    # `far`, where y Im Jp ~ log(y), the T = 0 closed form scaled to meet it.
    t, x, far = 0.3, 0.5, 10000.0

    def im(y):
        return tjm.responses(np.atleast_1d(y), t)[1].imag

    def panels(edges):
        nodes, weights = np.polynomial.legendre.leggauss(16)
        mid, half = (edges[1:] + edges[:-1]) / 2, (edges[1:] - edges[:-1]) / 2
        return (mid[:, None] + half[:, None] * nodes).ravel(), (half[:, None] * weights).ravel()

    graded = np.geomspace(1e-10, 0.5, 40)
    y, w = panels(np.concatenate([[0.0], graded, 1 - graded[::-1][1:], [1.0]]))
    xs = x * im(x)[0]
    total = np.sum(w * (y * im(y) - xs) / (y * y - x * x))
    total += xs * math.log((1 - x) / (1 + x)) / (2 * x)  # PV Int_0^1 xs / (y^2 - x^2)
    y, w = panels(1 + np.concatenate([[0.0], np.geomspace(1e-10, far - 1, 60)]))
    total += np.sum(w * y * im(y) / (y * y - x * x))

    def tail(y):
        return special.ellipk(((y - 1) / (y + 1)) ** 2) * y / (y + 1)

    scale = far * im(far)[0] / tail(far)
    total += integrate.quad(lambda y: scale * tail(y) / (y * y - x * x), far, np.inf)[0]
    assert 2 / math.pi * total == pytest.approx(tjm.responses(np.array(x), t)[1].real,
                                                abs=1e-6)


# -- the fits -------------------------------------------------------------------


def test_our_fit_of_the_published_table_reproduces_its_quoted_values():
    x = np.linspace(0.005, 4.0, 400)
    table = Table.from_responses(x, OSZ.quasiparticle_response(x), OSZ.pair_response(x), 4)
    assert table.terms == 4
    assert table.critical_current() == pytest.approx(0.75523, abs=5e-6)
    quoted = {0.3: 0.0114, 0.6: 0.0249, 0.9: 0.0273, 1.05: 0.7984, 1.2: 1.0023, 1.5: 1.3582,
              2.0: 1.8860}
    for v, current in quoted.items():
        assert table.dc_current(v) == pytest.approx(current, abs=5e-5)


@pytest.mark.parametrize("name, terms", [("Nb_4.2K_8", 8), ("Nb_4.2K_20", 20)])
def test_shipped_tables(name, terms):
    table = tjm.table(name)
    assert table.terms == terms and np.all(table.P.real < 0)
    assert table.kt_over_delta == pytest.approx(T_NB, abs=5e-5)
    assert abs(table.critical_current() - ambegaokar_baratoff(T_NB)) < 1e-3
    assert qdconfig.tjm_models[name] == table.entry()
    # The errors it records are the ones it has.
    for key, value in registry._errors(table, table.kt_over_delta).items():
        assert table.errors[key] == pytest.approx(value, rel=1e-6, abs=1e-12)
    assert table.errors["dc_current_max"] < (3e-3 if terms == 8 else 1e-3)
    assert tjm.DEFAULT in qdconfig.tjm_models


def test_fit_registers_its_table_and_fits_each_temperature_once(monkeypatch):
    monkeypatch.setattr(qdconfig, "tjm_models", dict(qdconfig.tjm_models))
    monkeypatch.setattr(registry, "_fitted", {})
    table = tjm.fit(8, temperature=7.0, tc=9.25, name="nb-7K")
    t = round(tjm.reduced_temperature(7.0, tc=9.25), 4)
    assert table.terms == 8 and table.kt_over_delta == t
    assert abs(table.critical_current() - ambegaokar_baratoff(t)) < 1e-3
    key = f"bcs-t{t:.4f}-8"
    assert qdconfig.tjm_models["nb-7K"] == qdconfig.tjm_models[key] == table.entry()
    assert tjm.table("nb-7K") is table
    # The same kT / Delta from the gap voltage: no second fit.
    monkeypatch.setattr(registry, "fit_bcs", None)
    vg = 2 * tjm.K_B * 7.0 / t
    assert tjm.fit(8, temperature=7.0, vg=vg) is table
    # What a junction asks for: a name, a temperature and gap, or nothing.
    assert tjm.model_name(temperature=7.0, vg=vg, terms=8) == key
    assert tjm.model_name("nb-7K") == "nb-7K" and tjm.model_name() == tjm.DEFAULT
    with pytest.raises(KeyError, match="no tunnel-junction table 'nb-8K'"):
        tjm.model_name("nb-8K")
    with pytest.raises(ValueError, match="either a table or a temperature"):
        tjm.model_name("nb-7K", temperature=7.0, tc=9.25)
    with pytest.raises(ValueError, match="4 to 20 terms, not 21"):
        tjm.fit(21)
    with pytest.raises(KeyError, match="shipped ones are Nb_4.2K_20, Nb_4.2K_8"):
        tjm.table("nope")


# -- the kernel under voltage bias ------------------------------------------------


@pytest.mark.parametrize("name, tolerance", [("Nb_4.2K_20", 1e-3), ("Nb_4.2K_8", 4e-3)])
def test_dc_current_through_the_kernel_is_the_bcs_tunnel_current(name, tolerance):
    x = np.array([0.1, 0.3, 0.5, 0.7, 0.9, 1.05, 1.1, 1.3, 1.6, 2.0, 4.0, 6.0])
    bcs = tjm.responses(x, T_NB)[0].imag + x
    simulated = np.array([bias.dc_current(name, v, per_period=32) for v in x])
    np.testing.assert_allclose(simulated, bcs, atol=tolerance, rtol=0)
    below = x < 1
    if name == "Nb_4.2K_20":  # the thermal subgap current itself, within 3 %
        np.testing.assert_allclose(simulated[below], bcs[below], rtol=0.03)
    # The rise at the gap: from the thermal current to pi/4 of V_g / R_N.
    assert simulated[below].max() < 0.02 < 0.8 < simulated[x == 1.05][0]
    # The normal slope above: dI/dV = 1 / R_N within 2 % at 4 to 6 V_g.
    assert (simulated[-1] - simulated[-2]) / 2 == pytest.approx(1.0, rel=0.02)


@pytest.mark.parametrize("name", ["Nb_4.2K_20", "Nb_4.2K_8"])
def test_riedel_peak_at_the_gap_voltage(name):
    x = np.array([0.5, 0.9, 0.97, 0.99, 1.0, 1.01, 1.03, 1.1, 1.5])
    jp = np.array([bias.pair_response(name, v, settle=1000, per_period=32) for v in x])
    assert x[np.argmax(jp.real)] == pytest.approx(1.0, abs=0.011)
    assert jp.real.max() > 2 * jp.real[0]
    # Away from the peak, the BCS pair amplitude (Riedel's function).
    off = np.abs(x - 1) > 0.08
    np.testing.assert_allclose(jp[off], tjm.responses(x[off], T_NB)[1], atol=3e-3)


def test_photon_assisted_steps_follow_tien_gordon():
    # V = V_g (x0 + a cos(w tau)): the DC quasiparticle current is
    # Sum_n J_n(a / w)^2 I(x0 + n w), steps at x0 = 1 +- n w. x0 stays off
    # n w / 2, where the pair current would have a DC part (Shapiro steps).
    name, w, alpha = "Nb_4.2K_20", 0.2, 1.2
    x0 = np.array([0.55, 0.65, 0.75, 0.85, 0.95, 1.05, 1.15])
    n = np.arange(-12, 13)
    shifted = x0[:, None] + n * w
    iqp = np.sign(shifted) * (tjm.responses(np.abs(shifted), T_NB)[0].imag + np.abs(shifted))
    expected = np.sum(special.jv(n, alpha) ** 2 * iqp, axis=1)
    step, period = 0.05, 2 * math.pi / w
    settle, length = 40 * period, 20 * period
    simulated = []
    for v in x0:
        i = bias.currents(name, lambda t: 2 * v * t + 2 * alpha * np.sin(w * t),
                          lambda t: 2 * v + 2 * alpha * w * np.cos(w * t),
                          lambda t: -2 * alpha * w * w * np.sin(w * t),
                          step, round((settle + length) / step))
        simulated.append(i[-round(length / step):].mean())
    np.testing.assert_allclose(simulated, expected, atol=2e-3)
    # The first step below the gap is there: J_1^2 of the gap rise.
    assert simulated[3] - simulated[2] > 0.5 * special.jv(1, alpha) ** 2 * 0.75
