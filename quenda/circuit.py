"""Circuits in SI units: elements between named nodes.

    c = Circuit("JTL stage")
    c.current_source("IB1", "0", "n1", 175e-6)        # into n1, SPICE convention
    c.junction("B1", "n1", "0", ic=250e-6, r=2.8, c=0.175e-12)
    c.inductor("L1", "n1", "n2", 3e-12)

Node "0" (or "gnd", any case) is ground; every other node is created by its
first use. Values are checked when an element is added; the circuit as a
whole (floating parts, loops of sources) when it is simulated.
"""

import math
from dataclasses import dataclass, field

from .waveforms import as_waveform


class CircuitError(ValueError):
    """A circuit that cannot be simulated, with what is wrong and where."""


GROUND = "0"

#: Element kinds and what they are in the circuit.
KINDS = {
    "R": "resistor",
    "C": "capacitor",
    "L": "inductor",
    "K": "mutual inductance",
    "I": "current source",
    "P": "phase source",
    "V": "voltage source",
    "B": "Josephson junction",
}

JUNCTION_MODELS = ("rcsj", "rsjn", "tjm")


@dataclass
class Element:
    """One element: kind, name, its two nodes (or, for a coupling, the names of
    the two coupled inductors) and its SI parameters."""

    kind: str
    name: str
    nodes: tuple
    params: dict = field(default_factory=dict)

    def __str__(self):
        return f"{KINDS[self.kind]} {self.name} ({', '.join(self.nodes)})"


def _positive(name, what, value, unit, allow_zero=False):
    try:
        v = float(value)
    except (TypeError, ValueError):
        raise CircuitError(f"{name}: {what} must be a number (got {value!r})") from None
    if math.isnan(v) or math.isinf(v) or v < 0 or (v == 0 and not allow_zero):
        bound = "must not be negative" if allow_zero else "must be positive"
        raise CircuitError(f"{name}: {what} {bound} and finite (got {value!r} {unit})")
    return v


class Circuit:
    def __init__(self, title=""):
        self.title = title
        self.elements = {}
        self._nodes = {}

    # -- nodes ---------------------------------------------------------------

    @staticmethod
    def canonical(node):
        """The node's name as the circuit stores it ("0" for ground)."""
        if isinstance(node, int) and not isinstance(node, bool):
            node = str(node)
        if not isinstance(node, str) or not node.strip():
            raise CircuitError(f"a node name must be a non-empty string (got {node!r})")
        node = node.strip()
        return GROUND if node.lower() in ("0", "gnd") else node

    @property
    def nodes(self):
        """Non-ground node names, in order of first use."""
        return list(self._nodes)

    def _add(self, kind, name, n1, n2, **params):
        if not isinstance(name, str) or not name:
            raise CircuitError(f"an element name must be a non-empty string (got {name!r})")
        if name in self.elements:
            raise CircuitError(f"duplicate element name {name!r}: {self.elements[name]} exists")
        nodes = (self.canonical(n1), self.canonical(n2))
        if kind != "K" and nodes[0] == nodes[1]:
            raise CircuitError(f"{name}: both terminals are node {nodes[0]!r}")
        for n in nodes:
            if n != GROUND:
                self._nodes.setdefault(n, None)
        element = Element(kind, name, nodes, params)
        self.elements[name] = element
        return element

    # -- elements ------------------------------------------------------------

    def resistor(self, name, n1, n2, resistance):
        """Resistor of `resistance` ohms."""
        return self._add("R", name, n1, n2, r=_positive(name, "resistance", resistance, "ohm"))

    def capacitor(self, name, n1, n2, capacitance):
        """Capacitor of `capacitance` farads."""
        return self._add("C", name, n1, n2, c=_positive(name, "capacitance", capacitance, "F"))

    def inductor(self, name, n1, n2, inductance, branch=False):
        """Inductor of `inductance` henries. With branch=True (and always when
        it is coupled to another) its current is an unknown of its own."""
        return self._add("L", name, n1, n2, l=_positive(name, "inductance", inductance, "H"),
                         branch=bool(branch))

    def coupling(self, name, inductor1, inductor2, k=None, m=None):
        """Mutual inductance between two inductors, by coupling factor k
        (|k| < 1) or by mutual inductance m in henries (|m| < sqrt(L1 L2))."""
        if name in self.elements:
            raise CircuitError(f"duplicate element name {name!r}: {self.elements[name]} exists")
        l1, l2 = (self.elements.get(n) for n in (inductor1, inductor2))
        for given, found in ((inductor1, l1), (inductor2, l2)):
            if found is None or found.kind != "L":
                raise CircuitError(f"{name}: unknown inductor {given!r}")
        if l1 is l2:
            raise CircuitError(f"{name}: couples inductor {inductor1!r} with itself")
        if (k is None) == (m is None):
            raise CircuitError(f"{name}: give exactly one of k (coupling factor) and m (mutual inductance)")
        limit = math.sqrt(l1.params["l"] * l2.params["l"])
        mutual = float(k) * limit if k is not None else float(m)
        if not abs(mutual) < limit:
            raise CircuitError(f"{name}: coupling must be below 1 in magnitude "
                               f"(got k = {mutual / limit:g})")
        l1.params["branch"] = l2.params["branch"] = True
        element = Element("K", name, (inductor1, inductor2), {"m": mutual})
        self.elements[name] = element
        return element

    def current_source(self, name, n_plus, n_minus, current):
        """Current source: `current` amperes flow from n_plus through the
        source to n_minus, i.e. into node n_minus (SPICE convention).
        `current` is a number (DC) or a waveform (PWL, PULSE, SIN)."""
        return self._add("I", name, n_plus, n_minus, wave=as_waveform(current))

    def phase_source(self, name, n1, n2, phase):
        """Holds phase(n1) - phase(n2) at `phase` radians (a number or a waveform)."""
        return self._add("P", name, n1, n2, wave=as_waveform(phase))

    def voltage_source(self, name, n1, n2, voltage):
        """Holds V(n1) - V(n2) at `voltage` volts (a number or a waveform)."""
        return self._add("V", name, n1, n2, wave=as_waveform(voltage))

    def junction(self, name, n1, n2, ic, r=None, c=0.0, model="rcsj", rn=None, vg=2.8e-3,
                 n=10.0, tjm=None, rsg=None):
        """Josephson junction from n1 to n2 with critical current `ic` amperes
        and capacitance `c` farads, in one of three models:

        - "rcsj": a shunt of `r` ohms (resistively and capacitively shunted);
        - "rsjn": a voltage-dependent shunt rising to 1/`rn` above the gap
          voltage `vg` volts, with steepness `n` (an even number keeps it odd
          in the voltage);
        - "tjm": the tunnel-junction model with memory kernel: `tjm` names a
          coefficient table of quenda.qdconfig.tjm_models, `rn` is the normal
          resistance, `vg` the gap voltage and `rsg` the subgap resistance
          (default 10 rn).
        """
        if model not in JUNCTION_MODELS:
            raise CircuitError(f"{name}: unknown junction model {model!r} "
                               f"(choose from {', '.join(JUNCTION_MODELS)})")
        params = {"model": model, "ic": _positive(name, "critical current", ic, "A"),
                  "c": _positive(name, "capacitance", c, "F", allow_zero=True)}
        if model == "rcsj":
            if r is None:
                raise CircuitError(f"{name}: an rcsj junction needs its shunt resistance r")
            params["r"] = _positive(name, "shunt resistance", r, "ohm")
        else:
            if rn is None:
                raise CircuitError(f"{name}: a {model} junction needs its normal resistance rn")
            params["rn"] = _positive(name, "normal resistance", rn, "ohm")
            params["vg"] = _positive(name, "gap voltage", vg, "V")
        if model == "rsjn":
            params["n"] = _positive(name, "steepness n", n, "")
        if model == "tjm":
            if not isinstance(tjm, str):
                raise CircuitError(f"{name}: a tjm junction needs the name of its coefficient table")
            params["table"] = tjm
            params["rsg"] = _positive(name, "subgap resistance", rsg if rsg is not None
                                      else 10 * params["rn"], "ohm")
        return self._add("B", name, n1, n2, **params)

    # -- whole-circuit checks ------------------------------------------------

    def check(self):
        """Raises CircuitError for a circuit whose equations are singular: a
        part that nothing ties to ground, or a loop of phase or voltage sources."""
        if not self.elements:
            raise CircuitError("the circuit has no elements")
        parent = {n: n for n in [GROUND, *self._nodes]}

        def root(n):
            while parent[n] != n:
                parent[n] = parent[parent[n]]
                n = parent[n]
            return n

        sources = dict(parent)

        def source_root(n):
            while sources[n] != n:
                sources[n] = sources[sources[n]]
                n = sources[n]
            return n

        kinds_at = {n: set() for n in self._nodes}
        for e in self.elements.values():
            if e.kind in ("K", "I"):  # couplings and current sources tie no potentials
                continue
            a, b = e.nodes
            for n in e.nodes:
                if n != GROUND:
                    kinds_at[n].add(e.kind)
            parent[root(a)] = root(b)
            if e.kind in ("P", "V"):
                ra, rb = source_root(a), source_root(b)
                if ra == rb:
                    raise CircuitError(f"{e.name} closes a loop of phase and voltage sources")
                sources[ra] = rb

        floating = {}
        for n in self._nodes:
            if root(n) != root(GROUND):
                floating.setdefault(root(n), []).append(n)
        for part in floating.values():
            if all(kinds_at[n] <= {"L"} for n in part) and any(kinds_at[n] for n in part):
                raise CircuitError(f"nodes {', '.join(map(repr, part))} form an inductor loop "
                                   "with no connection to ground")
            raise CircuitError(f"node {part[0]!r} is floating: no resistor, capacitor, inductor, "
                               "junction or phase/voltage source connects it to ground")
