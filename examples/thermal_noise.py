"""Thermal noise against the results it must reproduce, with long statistics.

1. kT/C: RC pairs at 4.2 K (RC = 2 ps, a new noise value every step of
   RC/10 and RC/4): the mean square capacitor voltage over kT/C, with its
   standard error from the spread between the pairs.
2. Phase diffusion: overdamped junctions (no capacitance) biased below Ic at
   kT = gamma E_J: the mean voltage over Ic R against the Ambegaokar-Halperin
   result (the stationary current of the Fokker-Planck equation of
   d phi / d tau = i - sin(phi) + noise), steps and noise intervals of
   tau_0 / 10.
3. Jitter: an SFQ pulse through a 24-stage JTL at 4.2 K, noise bandwidth
   4 THz, many noisy runs (quenda.noise_statistics): the spread of the delay
   over k stages from stage 4 against k, and the exponent of a power-law fit
   (1/2 for independent stages), its error from a bootstrap over the runs.

    python3 examples/thermal_noise.py [--quick] [--workers N]

Needs SciPy (the Ambegaokar-Halperin integral).
"""

import argparse
import math
import time

import numpy as np
from scipy.special import logsumexp

from quenda import Circuit, SwitchTimes, Transient, noise_statistics
from quenda.circuit.units import PHI0
from quenda.demos.jtl import PS, jtl

K_B = 1.380649e-23


def kt_over_c(step_share, pairs, tstop):
    r, cap, temperature = 2.0, 1e-12, 4.2
    h = step_share * r * cap
    c = Circuit("RC pairs", temperature=temperature, neb=1 / h)
    for k in range(pairs):
        c.resistor(f"R{k}", f"n{k}", "0", r)
        c.capacitor(f"C{k}", f"n{k}", "0", cap)
    res = Transient(c).run(tstop=tstop, step=h, seed=101)
    keep = res.time > 10 * r * cap
    ms = np.array([np.mean(res.voltage(f"C{k}")[keep] ** 2) for k in range(pairs)])
    ms /= K_B * temperature / cap
    return ms.mean(), ms.std(ddof=1) / math.sqrt(pairs)


def ambegaokar_halperin(i, gamma, n=256, m=200):
    x = 2 * np.pi * np.arange(n) / n
    g, w = np.polynomial.legendre.leggauss(m)
    y = x[:, None] + np.pi * (g + 1)[None, :]

    def u(p):
        return -np.cos(p) - i * p

    log_outer = logsumexp((u(y) - u(x)[:, None]) / gamma,
                          b=np.broadcast_to(np.pi * w, y.shape)) + np.log(2 * np.pi / n)
    return 2 * np.pi * gamma * -np.expm1(-2 * np.pi * i / gamma) * np.exp(-log_outer)


def phase_diffusion(i, gamma, junctions, taus):
    ic, r, share = 10e-6, 10.0, 0.1
    tau0 = PHI0 / (2 * math.pi * ic * r)
    temperature = gamma * PHI0 / (2 * math.pi) * ic / K_B
    c = Circuit("overdamped junctions", temperature=temperature, neb=1 / (share * tau0))
    for k in range(junctions):
        c.current_source(f"I{k}", "0", f"n{k}", i * ic)
        c.junction(f"B{k}", f"n{k}", "0", ic=ic, r=r)
    res = Transient(c).run(tstop=taus * tau0, step=share * tau0, seed=202,
                           record=[f"B{k}" for k in range(junctions)])
    skip = int(20 / share)
    rates = np.array([(p[-1] - p[skip]) / ((len(p) - 1 - skip) * share)
                      for p in (res.phase(f"B{k}") for k in range(junctions))])
    return rates.mean(), rates.std(ddof=1) / math.sqrt(junctions)


def jitter(stages, runs, workers):
    c = jtl(stages)
    c.temperature, c.neb = 4.2, 4e12
    names = [f"B{k}" for k in range(1, stages + 1)]
    stats = noise_statistics(c, runs, SwitchTimes(names), seed=303,
                             tstop=(30 + 4 * stages) * PS, step=0.25 * PS, ramp=10 * PS,
                             record=names, workers=workers)
    t = np.array([stats.values[n] for n in names]).T
    first, last = 3, stages - 2  # from stage 4; the last two feel the open end
    k = np.arange(1, last - first)

    def fit(rows):
        rows = t[rows]
        spread = (rows[:, first + 1:last] - rows[:, [first]]).std(axis=0, ddof=1)
        return np.polyfit(np.log(k), np.log(spread), 1)[0], spread

    exponent, spread = fit(np.arange(runs))
    rng = np.random.default_rng(0)
    boot = [fit(rng.integers(0, runs, runs))[0] for _ in range(400)]
    return exponent, float(np.std(boot)), k, spread


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="a tenth of the statistics")
    parser.add_argument("--workers", type=int, default=1, help="processes for the JTL runs")
    args = parser.parse_args()
    scale = 0.1 if args.quick else 1.0

    started = time.perf_counter()
    print("1. RC at 4.2 K, RC = 2 ps: <V_C^2> / (kT/C)")
    for share in (0.1, 0.25):
        ratio, err = kt_over_c(share, 16, 20000 * PS * scale)
        print(f"   step = noise interval = RC * {share:<4}: {ratio:.4f} +- {err:.4f}")
    print(f"   ({time.perf_counter() - started:.0f} s)")

    started = time.perf_counter()
    print("2. overdamped junctions: <V> / (Ic R), simulated and Ambegaokar-Halperin")
    for i, gamma in ((0.5, 0.5), (0.8, 0.2), (0.9, 0.1), (1.0, 0.1), (0.8, 0.1)):
        v, err = phase_diffusion(i, gamma, 10, 20000 * scale)
        ah = ambegaokar_halperin(i, gamma)
        print(f"   I/Ic = {i:.1f}, kT/E_J = {gamma:.2f}: {v:.4f} +- {err:.4f}   AH {ah:.4f}   "
              f"({(v / ah - 1) * 100:+.1f} % +- {err / ah * 100:.1f} %)")
    print(f"   ({time.perf_counter() - started:.0f} s)")

    started = time.perf_counter()
    runs = max(20, int(400 * scale))
    exponent, err, k, spread = jitter(24, runs, args.workers)
    print(f"3. SFQ pulse through a 24-stage JTL at 4.2 K, {runs} runs: delay spread over k stages")
    print("   " + "  ".join(f"{kk}:{s / PS * 1e3:.1f}" for kk, s in zip(k, spread)) + "  (fs)")
    print(f"   exponent {exponent:.3f} +- {err:.3f} (1/2: independent stages)")
    print(f"   ({time.perf_counter() - started:.0f} s)")


if __name__ == "__main__":
    main()
