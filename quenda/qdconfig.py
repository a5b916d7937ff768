"""Host configuration read by the kernel.

``tjm_models`` maps a tunnel-junction model name to its kernel coefficients
(A, B, P): three sequences of complex numbers, B and P at least as long as A,
A at most 20 long, looked up by ``JunctionTJMModel.InitTJMModel``.

What the coefficients mean, in the table's own units (``InitTJMModel`` scales
P by ``wvg / 2``, normalises A and scales B by ``wvg * (wrrat - 1) / (2 * wvrat)``):

- term k is a kernel exp(P_k t); Re P_k < 0 makes it decay, Im P_k is its
  frequency, the gap frequency being 1;
- A_k are the pair-current amplitudes; only their ratios matter, since
  ``InitTJMModel`` scales them so that a constant phase carries Ic sin(phi);
- B_k are the quasiparticle amplitudes. At a constant voltage V the
  junction's mean current is
  crit_current * sgw * wvg * (x - (wrrat - 1) * Sum Re(B_k x / (P_k**2 + x**2)))
  with x = V / wvg (the gap at x = 1) and sgw = 1 / (wvg * wvrat) its
  normal conductance; tables with Sum Re(B_k / P_k**2) = -1 thus conduct
  wrrat times the normal conductance at low voltage and the normal
  conductance far above the gap.

The BCS tables (quenda.tjm) hold, in V_g / R_N, the kernels of the standard
tunnel-junction model: it is exactly that model with wvg the gap voltage,
wvrat = -Sum Re(A_k / P_k) of the table and wrrat = 0.
"""

from .tjm.shipped import entries


def gap_resonance_terms(n, damping=0.1):
    """Kernel terms made up for testing: n exponents P_k = -damping + i w_k
    with w_k = (k + 1) / n spread evenly up to the gap frequency, pair
    amplitudes A_k = 1, quasiparticle amplitudes B_k = -P_k**2 / n (so
    Sum Re(B_k / P_k**2) = -1). They are a documented choice, not a fit to
    any junction."""
    p = [complex(-damping, (k + 1) / n) for k in range(n)]
    return ([complex(1.0, 0.0)] * n, [-pk * pk / n for pk in p], p)


#: Tunnel-junction model coefficient tables by name.
#:
#: The BCS tables for niobium at 4.2 K ("Nb_4.2K_20", the default, and
#: "Nb_4.2K_8") ship as data in quenda/tjm/data; quenda.tjm.fit adds tables
#: for other temperatures and gaps under their own names.
#:
#: The "test_gap_*" tables are FOR TESTING ONLY. They come from
#: ``gap_resonance_terms`` above: they have the right shape, decaying kernels,
#: the pair current's static normalisation and a quasiparticle conductance
#: that is wrrat times the normal one at low voltage, but they are not the
#: response of a BCS tunnel junction: each term is a resonance that shows in
#: the current-voltage curve (with ``test_gap_1`` the mean current even runs
#: backwards just below the gap).
tjm_models = {
    "test_gap_1": gap_resonance_terms(1),
    "test_gap_8": gap_resonance_terms(8),
    "test_gap_20": gap_resonance_terms(20),
    **entries(),
}
