"""A tunnel-junction coefficient table and what it says in closed form.

A table is three sequences of complex numbers, term by term: exponents P
(Re P < 0), pair amplitudes A and quasiparticle amplitudes B. In time
tau = omega_g t and currents in V_g / R_N it stands for the kernels

    pair:          Re Sum_k A_k exp(P_k tau)
    quasiparticle: Re Sum_k B_k exp(P_k tau)

whose Fourier transforms J(x) = Int_0^inf K(tau) exp(i x tau) dtau,

    J(x) = -1/2 Sum_k [ C_k / (P_k + i x) + conj(C_k) / (conj(P_k) + i x) ],

approximate the response functions of quenda.tjm.response (C = A or B). Hence
its static critical current -Sum Re(A/P) and its DC current-voltage curve
x + Sum Re(B x / (P^2 + x^2)), both in V_g / R_N at V = x V_g.
"""

from dataclasses import dataclass, field

import numpy as np

from . import vectfit


@dataclass
class Table:
    """Kernel terms with what they were fitted to: `kt_over_delta` (None for
    a table that is not a BCS fit), `errors` (the fit's deviations, in V_g / R_N)
    and a line of `description`."""

    A: np.ndarray
    B: np.ndarray
    P: np.ndarray
    kt_over_delta: float | None = None
    errors: dict = field(default_factory=dict)
    description: str = ""

    def __post_init__(self):
        self.A, self.B, self.P = (np.asarray(v, dtype=complex).ravel()
                                  for v in (self.A, self.B, self.P))
        if not len(self.A) == len(self.B) == len(self.P):
            raise ValueError("a table needs as many A, B as P terms")

    @property
    def terms(self):
        return len(self.P)

    def entry(self):
        """The (A, B, P) lists that qdconfig.tjm_models holds."""
        return ([complex(v) for v in self.A], [complex(v) for v in self.B],
                [complex(v) for v in self.P])

    def _response(self, c, x):
        s = 1j * np.asarray(x, dtype=float)[..., None]
        return -0.5 * np.sum(c / (self.P + s) + np.conj(c) / (np.conj(self.P) + s), axis=-1)

    def pair_response(self, x):
        """Jp at x = V / V_g."""
        return self._response(self.A, x)

    def quasiparticle_response(self, x):
        """Jq (less its normal part) at x = V / V_g."""
        return self._response(self.B, x)

    def critical_current(self):
        """The static critical current, in V_g / R_N."""
        return float(-np.sum((self.A / self.P).real))

    def dc_current(self, x):
        """The DC quasiparticle current at x = V / V_g, in V_g / R_N (with V / R_N)."""
        x = np.asarray(x, dtype=float)
        return x + self.quasiparticle_response(x).imag

    @classmethod
    def from_responses(cls, x, jq, jp, terms, weight=None, min_damping=0.0, **meta):
        """The table of at most `terms` terms fitted to the responses Jq, Jp sampled at x > 0."""
        x = np.asarray(x, dtype=float)
        # The table's transfer function in s = -i x is conj(J) on s = i x.
        poles, res = vectfit.fit_terms(1j * x, [np.conj(jp), np.conj(jq)], terms,
                                       weight=weight, min_damping=min_damping,
                                       scale=float(x.max()))
        # A pair's residues r, conj(r) make one term of amplitude 2 r.
        amp = np.where(poles.imag != 0, 2 * res, res)
        return cls(amp[0], amp[1], poles, **meta)
