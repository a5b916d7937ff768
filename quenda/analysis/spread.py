"""Process spread: the random element values of a yield analysis.

Each spread element's value is its nominal value times 1 + x u, x its spread
(a fraction) and u drawn uniformly from [-1, 1] (the netlist dialect's
.spread) or from the standard normal distribution (distribution="gaussian";
x is then one standard deviation). Which x applies to an element: its own
(spread= on its card, or `elements`), else its kind's (.spread L= B= C= R=,
or `kinds`), else the global one (.spread X, or `default`), for resistors,
inductors, capacitors and junctions (their area); a source or coupling is
spread only when named in `elements`. A spread of 0 keeps the element at
nominal.

A correlated component multiplies in one more factor per sample, shared by
every element of a kind ({"B": 0.02}: all junctions at once, as a shift of
the critical current density moves them) or by every spread element ("").

Sample i draws from its own random stream, seeded by (seed, i): a sample is
the same whatever the number of samples or workers and the order of runs.
"""

import math
from dataclasses import dataclass, field

import numpy as np

SPREAD_KINDS = "RLCB"
DISTRIBUTIONS = ("uniform", "gaussian")


def _fraction(value, what):
    try:
        x = float(value)
    except (TypeError, ValueError):
        raise ValueError(f"{what}: a spread is a fraction of the nominal value such as 0.05 "
                         f"(got {value!r})") from None
    if not (0 <= x < 1) or math.isnan(x):
        raise ValueError(f"{what}: a spread must be from 0 up to (not including) 1 "
                         f"(got {value!r})")
    return x


@dataclass
class Spread:
    default: float = 0.0
    kinds: dict = field(default_factory=dict)        # "R" "L" "C" "B" -> fraction
    elements: dict = field(default_factory=dict)     # element name -> fraction
    correlated: dict = field(default_factory=dict)   # "" or kind letter -> fraction
    distribution: str = "uniform"

    def __post_init__(self):
        if self.distribution not in DISTRIBUTIONS:
            raise ValueError(f"unknown distribution {self.distribution!r} "
                             f"(choose {' or '.join(DISTRIBUTIONS)})")
        self.default = _fraction(self.default, "the global spread")
        for table, allowed in ((self.kinds, tuple(SPREAD_KINDS)),
                               (self.correlated, ("",) + tuple(SPREAD_KINDS))):
            for k in list(table):
                if k not in allowed:
                    raise ValueError(f"no element kind {k!r} to spread (choose from "
                                     f"{', '.join(repr(a) for a in allowed)})")
                table[k] = _fraction(table[k], f"the spread of kind {k!r}")
        for name in list(self.elements):
            self.elements[name] = _fraction(self.elements[name], name)

    @classmethod
    def of_netlist(cls, options):
        """The spread a netlist states: .spread and the elements' spread=."""
        if options is None:
            return cls()
        kinds = {k: v for k, v in options.spread.items() if k}
        elements = {name: s["spread"] for name, s in options.element_settings.items()
                    if "spread" in s}
        return cls(options.spread.get("", 0.0), kinds, elements)

    def targets(self, circuit):
        """(element name, its spread, its kind) of every element that a
        spread or a correlated component moves, in circuit order."""
        for name in self.elements:
            if name not in circuit.elements:
                raise ValueError(f"a spread for {name!r}, which is no element of the circuit")
        shared = {k for k, x in self.correlated.items() if x > 0}
        out = []
        for e in circuit.elements.values():
            if e.name in self.elements:
                x = self.elements[e.name]
            elif e.kind in SPREAD_KINDS:
                x = self.kinds.get(e.kind, self.default)
            else:
                continue
            if x > 0 or e.kind in shared or ("" in shared and e.kind in SPREAD_KINDS):
                out.append((e.name, x, e.kind))
        return out

    def components(self):
        """The keys of the correlated factors drawn, in drawing order."""
        return sorted(k for k, x in self.correlated.items() if x > 0)

    def draw(self, seed, index, targets):
        """(factors of the targets, correlated factors) of sample `index`."""
        rng = np.random.default_rng([seed, index])
        keys = self.components()
        if self.distribution == "uniform":
            u_shared = rng.uniform(-1.0, 1.0, len(keys))
            u = rng.uniform(-1.0, 1.0, len(targets))
        else:
            u_shared = rng.standard_normal(len(keys))
            u = rng.standard_normal(len(targets))
        shared = {k: 1.0 + self.correlated[k] * v for k, v in zip(keys, u_shared)}
        factors = 1.0 + np.array([x for _, x, _ in targets]) * u
        for n, (_, _, kind) in enumerate(targets):
            factors[n] *= shared.get("", 1.0) * shared.get(kind, 1.0)
        return factors, np.array([shared[k] for k in keys])
