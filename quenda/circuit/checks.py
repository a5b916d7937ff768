"""Whole-circuit checks: what makes the circuit equations singular or unphysical.

- A part of the circuit that nothing ties to ground has no defined phase.
  A transmission line ties each port's two terminals, not its two ports:
  a port's common phase is its own circuit's to fix.
- A loop of phase and voltage sources over-determines its branch currents.
- Coupled inductors must store positive energy for every set of currents:
  the inductance matrix of each coupled group must be positive definite.
  Pairwise |k| < 1 is not enough (three couplings of 0.9, 0.9, -0.9 are
  each below 1 and together impossible), so each group is tested whole.
"""

import numpy as np

from .builder import GROUND, CircuitError
from .kinds import KINDS


class _Union:
    def __init__(self, items):
        self.parent = {n: n for n in items}

    def root(self, n):
        parent = self.parent
        while parent[n] != n:
            parent[n] = parent[parent[n]]
            n = parent[n]
        return n

    def join(self, a, b):
        ra, rb = self.root(a), self.root(b)
        self.parent[ra] = rb
        return ra != rb


def check_circuit(circuit):
    if not circuit.elements:
        raise CircuitError("the circuit has no elements")
    _check_connected(circuit)
    _check_inductance(circuit)


def _check_connected(circuit):
    nodes = circuit.nodes
    tied = _Union([GROUND, *nodes])
    sources = _Union([GROUND, *nodes])
    kinds_at = {n: set() for n in nodes}
    for e in circuit.elements.values():
        kind = KINDS[e.key]
        if not kind.ties:  # couplings and current sources tie no potentials
            continue
        at = dict(zip(kind.terminals, e.nodes))
        for n in e.nodes:
            if n != GROUND:
                kinds_at[n].add(e.kind)
        for a, b in kind.ties:
            tied.join(at[a], at[b])
        if e.kind in ("P", "V") and not sources.join(*e.nodes):
            raise CircuitError(f"{e.name} closes a loop of phase and voltage sources")

    floating = {}
    for n in nodes:
        if tied.root(n) != tied.root(GROUND):
            floating.setdefault(tied.root(n), []).append(n)
    for part in floating.values():
        if all(kinds_at[n] <= {"L"} for n in part) and any(kinds_at[n] for n in part):
            raise CircuitError(f"nodes {', '.join(map(repr, part))} form an inductor loop "
                               "with no connection to ground")
        lines = any("T" in kinds_at[n] for n in part)
        raise CircuitError(f"node {part[0]!r} is floating: no resistor, capacitor, inductor, "
                           "junction or phase/voltage source connects it to ground"
                           + (" (a transmission line ties the two terminals of each port, "
                              "not one port to the other)" if lines else ""))


def _check_inductance(circuit):
    couplings = [e for e in circuit.elements.values() if e.kind == "K"]
    if not couplings:
        return
    groups = _Union([n for e in couplings for n in e.nodes])
    for e in couplings:
        groups.join(*e.nodes)
    members = {}
    for e in couplings:
        members.setdefault(groups.root(e.nodes[0]), []).append(e)
    for group in members.values():
        names = sorted({n for e in group for n in e.nodes}, key=list(circuit.elements).index)
        index = {n: k for k, n in enumerate(names)}
        inductance = np.diag([circuit.elements[n].params["l"] for n in names])
        for e in group:
            a, b = (index[n] for n in e.nodes)
            inductance[a, b] += e.params["m"]
            inductance[b, a] += e.params["m"]
        # Scaled to unit diagonal, the matrix holds the total coupling factors.
        scale = 1.0 / np.sqrt(np.diag(inductance))
        k = inductance * scale[:, None] * scale[None, :]
        try:
            np.linalg.cholesky(k)
            continue
        except np.linalg.LinAlgError:
            pass
        totals = [f"{names[a]}-{names[b]} k = {k[a, b]:.3g}"
                  for a in range(len(names)) for b in range(a + 1, len(names)) if k[a, b]]
        repeated = [e.name for e in group
                    if sum(1 for f in group if set(f.nodes) == set(e.nodes)) > 1]
        note = f"; {', '.join(repeated)} couple the same pair" if repeated else ""
        raise CircuitError(
            f"couplings {', '.join(e.name for e in group)} make the inductance matrix of "
            f"{', '.join(names)} not positive definite (total coupling factors: "
            f"{', '.join(totals)}{note}): no physical set of inductors has them; "
            "reduce the coupling factors")

