"""Current-voltage curves of a niobium tunnel junction at 4.2 K: the shipped
BCS tables run through the kernel under voltage bias, against the BCS theory.

    python3 examples/tjm_bcs_iv.py [--out out/tjm_bcs_iv.png]

Four panels, voltages in V_g and currents in V_g / R_N:
- the DC quasiparticle current, simulated with the 8- and 20-term tables,
  against the BCS tunnel current (and the published four-term table, a fit
  at zero temperature);
- its thermal subgap part, on a log scale;
- the amplitude of the Josephson current (Riedel's peak at the gap);
- photon-assisted steps under a drive V = V_g (x0 + a cos(w tau)), against
  Tien and Gordon's Bessel sum over the BCS current.
It prints the simulated points beside the theory. Needs matplotlib and SciPy.
"""

import argparse
import math
from pathlib import Path

import numpy as np

from quenda import tjm
from quenda.tjm import bias
from quenda.tjm.table import Table

TABLES = ("Nb_4.2K_8", "Nb_4.2K_20")
# Odintsov, Semenov and Zorin's four-term table (T = 0), for comparison.
OSZ = Table(A=[1.4204 + 1.2477j, 0.0245 + 0.1272j, 0.1746 + 0.1096j, 0.0610 + 0.0033j],
            B=[-0.4590 - 0.1150j, -0.0336 + 0.1839j, 0.0921 + 0.2762j, 0.0573 + 0.0109j],
            P=[-1.3656 + 0.1926j, -0.5254 + 0.4264j, -0.3139 + 0.8865j, -0.0534 + 0.9970j])
DRIVE_W, DRIVE_ALPHA = 0.2, 1.2  # photon energy in units of 2 Delta, a / w


def bcs(x, t):
    """DC current and pair response of the BCS junction at x >= 0 (NaN at the gap)."""
    jq, jp = tjm.responses(x, t)
    return jq.imag + x, jp


def tien_gordon(x0, t):
    n = np.arange(-15, 16)
    from scipy.special import jv  # only this panel's theory needs SciPy

    v = x0[:, None] + n * DRIVE_W
    current = np.sign(v) * bcs(np.abs(v), t)[0]
    return np.sum(jv(n, DRIVE_ALPHA) ** 2 * current, axis=1)


def driven(name, x0, step=0.05):
    w, a = DRIVE_W, DRIVE_ALPHA
    period = 2 * math.pi / w
    settle, length = 40 * period, 20 * period
    i = bias.currents(name, lambda t: 2 * x0 * t + 2 * a * np.sin(w * t),
                      lambda t: 2 * x0 + 2 * a * w * np.cos(w * t),
                      lambda t: -2 * a * w * w * np.sin(w * t), step,
                      round((settle + length) / step))
    return i[-round(length / step):].mean()


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--out", default="out/tjm_bcs_iv.png")
    args = parser.parse_args()
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    t = tjm.table(TABLES[0]).kt_over_delta
    x = np.linspace(0.0, 3.0, 601)
    x_sim = np.array([0.05, 0.2, 0.4, 0.6, 0.8, 0.9, 0.95, 1.05, 1.1, 1.2, 1.5, 2.0, 2.5, 3.0])
    x_pair = np.array([0.3, 0.6, 0.8, 0.9, 0.95, 0.98, 1.0, 1.02, 1.05, 1.1, 1.3, 1.6, 2.0])
    # Off x0 = n w / 2, where the pair current has a DC part (Shapiro steps).
    x_drive = np.arange(0.51, 1.3, 0.04)
    x_theory = np.linspace(0.5005, 1.2995, 800)
    current, pair = bcs(x, t)

    fig, ax = plt.subplots(2, 2, figsize=(11, 8.5))
    (iv, sub), (riedel, steps) = ax
    iv.plot(x, current, "k-", lw=1, label=f"BCS, kT/Delta = {t:.3f}")
    iv.plot(x, OSZ.dc_current(x), "k:", lw=1, label="four-term table (T = 0)")
    sub.semilogy(x[x < 1], current[x < 1], "k-", lw=1, label="BCS")
    riedel.plot(x, pair.real, "k-", lw=1, label="BCS (Riedel)")
    steps.plot(x_theory, tien_gordon(x_theory, t), "k-", lw=1, label="Tien-Gordon (BCS)")
    steps.plot(x, current, color="0.7", lw=1, label="undriven")

    print(f"{'table':>10s} {'x':>5s} {'I simulated':>12s} {'I BCS':>10s} "
          f"{'Re Jp sim.':>11s} {'Re Jp BCS':>10s}")
    for name, marker in zip(TABLES, ("s", "o")):
        sim = np.array([bias.dc_current(name, v, per_period=32) for v in x_sim])
        jp = np.array([bias.pair_response(name, v, settle=1000, per_period=32)
                       for v in x_pair])
        ref, ref_pair = bcs(x_sim, t)[0], bcs(x_pair, t)[1]
        for v, s, r in zip(x_sim, sim, ref):
            print(f"{name:>10s} {v:5.2f} {s:12.5f} {r:10.5f}")
        for v, s, r in zip(x_pair, jp, ref_pair):
            print(f"{name:>10s} {v:5.2f} {'':12s} {'':10s} {s.real:11.4f} {r.real:10.4f}")
        style = dict(marker=marker, ls="none", mfc="none", label=f"{name} through the kernel")
        iv.plot(x_sim, sim, **style)
        below = x_sim < 1
        sub.semilogy(x_sim[below], sim[below], **style)
        riedel.plot(x_pair, jp.real, **style)
        if name == TABLES[-1]:
            drv = np.array([driven(name, v) for v in x_drive])
            steps.plot(x_drive, drv, **style)
            for v, s, r in zip(x_drive, drv, tien_gordon(x_drive, t)):
                print(f"{'driven':>10s} {v:5.2f} {s:12.5f} {r:10.5f}")

    iv.set(title="DC quasiparticle current", ylabel="I / (V_g / R_N)")
    sub.set(title="subgap (thermal) current", ylim=(1e-3, 0.1))
    riedel.set(title="Josephson current amplitude Re Jp", ylabel="Re Jp / (V_g / R_N)",
               ylim=(0, 3))
    steps.set(title=f"photon-assisted steps (hf = {DRIVE_W} * 2 Delta, "
                    f"eV_ac / hf = {DRIVE_ALPHA})", xlim=(0.5, 1.3), ylim=(0, 1.3))
    for a in ax.ravel():
        a.set_xlabel("V / V_g")
        a.legend(fontsize=8)
        a.grid(alpha=0.3)
    fig.suptitle("Nb tunnel junction at 4.2 K: shipped BCS tables through the kernel")
    fig.tight_layout()
    out = Path(args.out)
    out.parent.mkdir(parents=True, exist_ok=True)
    fig.savefig(out, dpi=110)
    print(f"wrote {out}")


if __name__ == "__main__":
    main()
