"""The BCS energy gap and the reduced temperature kT / Delta the tables depend on.

The weak-coupling gap equation, with the cutoff eliminated through the gap at
zero temperature Delta_0 = pi exp(-gamma) k Tc (= 1.764 k Tc), reads

    ln(Delta_0 / Delta) = 2 Int_0^inf f(Delta cosh u) du,   f(E) = 1 / (exp(E / kT) + 1)

(the substitution xi = Delta sinh u of the usual integral over the normal
energy xi). Its left side falls and its right side rises with Delta, so the
root is found by bisection.
"""

import math

import numpy as np

#: Boltzmann's constant in electronvolts per kelvin (exact since the 2019 SI).
K_B = 1.380649e-23 / 1.602176634e-19

#: Delta_0 / (k Tc) of the weak-coupling BCS theory, pi exp(-Euler's gamma).
BCS_RATIO = math.pi * math.exp(-0.5772156649015329)

_NODES, _WEIGHTS = np.polynomial.legendre.leggauss(64)


def _thermal_integral(delta, kt):
    """2 Int_0^inf f(delta cosh u) du, delta and kT in one unit."""
    # Beyond delta cosh u = 40 kT the integrand is below exp(-40).
    top = math.acosh(max(40 * kt / delta, 1.0)) + 1.0
    u = top / 2 * (_NODES + 1)
    x = np.minimum(delta * np.cosh(u) / kt, 700.0)
    return float(top * np.sum(_WEIGHTS / (np.exp(x) + 1)))


def gap_ratio(reduced_temperature):
    """Delta(T) / Delta(0) at T / Tc = reduced_temperature (0 at and above Tc)."""
    tau = float(reduced_temperature)
    if not tau >= 0 or math.isinf(tau):
        raise ValueError(f"the reduced temperature T/Tc must be a number >= 0, not {tau}")
    if tau >= 1:
        return 0.0
    kt = tau / BCS_RATIO  # in units of Delta(0)
    if kt * 40 < 1e-3:  # exp(-Delta0/kT) negligible
        return 1.0
    lo, hi = -60.0, 0.0  # bounds of ln(Delta / Delta_0)
    for _ in range(80):
        mid = (lo + hi) / 2
        if -mid > _thermal_integral(math.exp(mid), kt):
            lo = mid
        else:
            hi = mid
    return math.exp((lo + hi) / 2)


def gap(temperature, tc):
    """Delta(T) in electronvolts of a BCS superconductor of critical temperature tc (K)."""
    if not tc > 0 or math.isinf(tc):
        raise ValueError(f"the critical temperature must be positive, not {tc} K")
    return BCS_RATIO * K_B * tc * gap_ratio(temperature / tc)


def reduced_temperature(temperature, tc=None, vg=None):
    """kT / Delta at `temperature` kelvin, the gap from the BCS gap equation
    of critical temperature `tc` (K) or from the gap voltage `vg` = 2 Delta / e
    (V) at that temperature. At zero temperature neither is needed."""
    temperature = float(temperature)
    if not temperature >= 0 or math.isinf(temperature):
        raise ValueError(f"the temperature must be a number >= 0 K, not {temperature}")
    if (tc is None) == (vg is None):
        if temperature == 0 and tc is None:
            return 0.0
        raise ValueError("give the gap through exactly one of tc (the critical temperature, "
                         "for the BCS gap equation) and vg (the gap voltage 2 Delta / e)")
    if vg is not None:
        vg = float(vg)
        if not vg > 0 or math.isinf(vg):
            raise ValueError(f"the gap voltage must be positive, not {vg} V")
        delta = vg / 2
    else:
        if not float(tc) > temperature:
            raise ValueError(f"the temperature {temperature} K is not below the critical "
                             f"temperature {tc} K: there is no gap")
        delta = gap(temperature, float(tc))
    return K_B * temperature / delta
