"""Pair and quasiparticle response functions of a tunnel junction between two
identical BCS superconductors (Werthamer), in the units of the kernel's tables.

A junction whose phase has always advanced as phi(tau) = 2 x tau (a constant
voltage V = x V_g) carries the current

    I = Im Jq(x) + Re Jp(x) sin(phi) - Im Jp(x) cos(phi)         (V_g / R_N)

with time tau = omega_g t (omega_g = e V_g / hbar, V_g = 2 Delta / e at the
junction's temperature) and currents in V_g / R_N. Jq(x) = iq(x) - i x is the
quasiparticle response less its normal-state part, whose imaginary part is the
DC current-voltage curve less V / R_N; Re Jp is the amplitude of the
Josephson current (Ambegaokar-Baratoff at x = 0, Riedel's log peak at x = 1).
Both are the Fourier transforms of real kernels that vanish for negative
times, so they are analytic in the upper half plane (their real and imaginary
parts are a Kramers-Kronig pair) and J(-x) = conj(J(x)).

They are computed from the retarded BCS functions in closed form,
g(w) = -i pi w / sqrt(w^2 - 1) and f(w) = -i pi / sqrt(w^2 - 1) (energies in
Delta), by one integral over the quasiparticle energy E = cosh(theta) >= 1:

    Jq(x) =  1/(2 pi) Int tanh(E / 2t) cosh(theta) [g(E + 2x) + conj g(E - 2x)] dtheta
    Jp(x) = -1/(2 pi) Int tanh(E / 2t)             [f(E + 2x) + conj f(E - 2x)] dtheta

(t = kT / Delta), taken along the real axis from above. The integrand has
inverse square-root singularities where E - 2x = +-1; the integral is split
there and each piece mapped so that they vanish, with Gauss-Legendre panels
graded towards the piece's ends where two singularities nearly meet.
"""

import numpy as np

_NODES, _WEIGHTS = np.polynomial.legendre.leggauss(12)


def _unit_panels(levels=10, ratio=0.25):
    """Nodes and weights on [0, 1], panels graded geometrically towards both ends."""
    half = [0.0] + [0.5 * ratio ** k for k in range(levels, 1, -1)]
    half += list(np.linspace(0.5 * ratio, 0.5, 4))
    edges = np.array(half + [1.0 - e for e in reversed(half[:-1])])
    lo, hi = edges[:-1, None], edges[1:, None]
    u = (lo + hi) / 2 + (hi - lo) / 2 * _NODES
    w = (hi - lo) / 2 * _WEIGHTS
    return u.ravel(), w.ravel()


_U, _W = _unit_panels()
# theta = a + (b - a) sin^2(pi u / 2) on a piece [a, b] takes away inverse
# square-root singularities at both ends: the offsets from the ends, kept
# exactly, and the Jacobian.
_SIN2 = np.sin(np.pi * _U / 2) ** 2
_COS2 = np.cos(np.pi * _U / 2) ** 2
_JAC = _W * np.pi / 2 * np.sin(np.pi * _U)

# Beyond the last singularity the integrand falls as exp(-2 theta).
_TAIL = 18.0


def _from_left(a, d):
    """cosh(a + d) - cosh(a), exact for small d."""
    return 2 * np.sinh(a + d / 2) * np.sinh(d / 2)


def _root(lo, hi):
    """sqrt(w - 1) sqrt(w + 1) for real w approached from above, given
    lo = w - 1 < hi = w + 1: real, imaginary in the gap, negative below it."""
    phase = np.where(lo >= 0, 1.0 + 0j, np.where(hi >= 0, 1j, -1.0 + 0j))
    return np.sqrt(np.abs(lo * hi)) * phase


def responses(x, t=0.0):
    """(Jq, Jp): the quasiparticle response less its normal part and the pair
    response at the voltages x = V / V_g (an array, x >= 0), for kT / Delta = t.
    At x = 1 both are logarithmically infinite: NaN there."""
    x = np.asarray(x, dtype=float)
    if np.any(x < 0) or not np.all(np.isfinite(x)):
        raise ValueError("responses: x must be finite and not negative")
    if not 0 <= t < np.inf:
        raise ValueError("responses: kT / Delta must be finite and not negative")
    # Both are continuous at x = 0, where the pieces below would vanish.
    w = 2 * np.maximum(x.ravel(), 1e-9)[:, None]
    th_hi = np.arccosh(w + 1)  # E - 2x = +1
    above = w >= 2
    th_lo = np.where(above, np.arccosh(np.maximum(w - 1, 1.0)), 0.0)  # E - 2x = -1
    jq = np.zeros(w.shape[0], dtype=complex)
    jp = np.zeros(w.shape[0], dtype=complex)
    for piece, (a, b) in enumerate(((0.0 * w, th_lo), (th_lo, th_hi), (th_hi, th_hi + _TAIL))):
        span = b - a
        from_a, from_b = span * _SIN2, span * _COS2
        theta = a + from_a
        s2 = 2 * np.sinh(theta / 2) ** 2
        energy = 1 + s2
        # E + 2x and E - 2x, each less and plus one, the small ones from the
        # nearest end of the piece.
        up_lo, up_hi = s2 + w, energy + w + 1
        if piece == 0:
            dn_lo, dn_hi = s2 - w, -_from_left(theta, from_b)
        elif piece == 1:
            dn_lo = -_from_left(theta, from_b)
            dn_hi = np.where(above, _from_left(a, from_a), s2 + 2 - w)
        else:
            dn_lo, dn_hi = _from_left(a, from_a), s2 + 2 - w
        root_up, root_dn = _root(up_lo, up_hi), _root(dn_lo, dn_hi)
        weight = span * _JAC * (np.tanh(energy / (2 * t)) if t > 0 else 1.0)
        # g(w+) + conj g(w-) = -i pi (g_sum), likewise f; a piece of zero
        # length (no E - 2x = -1 below 2x = 2) adds nothing. In g_sum, g is
        # taken less its value -i pi far from the gap, w / s - 1 = 1 / (s (w + s)),
        # which keeps the small difference far out where energy multiplies it.
        with np.errstate(divide="ignore", invalid="ignore"):
            g_up = 1 / (root_up * (energy + w + root_up))
            g_dn = 1 / (root_dn * (energy - w + root_dn))
            g_sum = np.where(span > 0, g_up - np.conj(g_dn), 0)
            f_sum = np.where(span > 0, 1 / root_up - np.conj(1 / root_dn), 0)
        jq += np.sum(weight * energy * g_sum, axis=1) * -0.5j
        jp += np.sum(weight * f_sum, axis=1) * 0.5j
    at_gap = x.ravel() == 1
    jq[at_gap] = jp[at_gap] = complex(np.nan, np.nan)
    return jq.reshape(x.shape), jp.reshape(x.shape)
