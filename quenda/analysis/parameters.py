"""What the sweep, margin and yield analyses vary, and how a value of it is
applied to a circuit.

A parameter is named by text:

    "IB1"          the element's value: a resistance, capacitance, inductance,
                   a coupling's mutual inductance (its coupling factor), a
                   source's amplitude (its whole waveform scales), a
                   junction's area (its critical current, capacitance and
                   step conductance scale with it, its resistances inversely)
    "B1:ic"        one parameter of an element, as the builder names it
                   (ic, r, c, rn, ...); nothing else changes with it
    "{XI}"         a .param of a netlist: the netlist is read with that value
                   in place of the parameter's expression
    "global:bias"  every bias source: a current or voltage source that
                   settles to a value other than 0
    "global:ic"    every junction's critical current
    "global:R", "global:L", "global:C", "global:B"
                   every resistor, inductor, capacitor, junction (area)

Element names may be written with the dialect's "." between hierarchy levels
(B01.X02 for B01|X02) and in any case when that names one element.

The analyses vary a parameter as a scale of its nominal value: applied to a
copy of the circuit, never to the user's.
"""

import copy
import difflib
import math
from dataclasses import dataclass

from ..circuit.builder import Element
from ..circuit.waveforms import Waveform

GLOBALS = {"bias": "bias sources", "ic": "junction critical currents", "R": "resistors",
           "L": "inductors", "C": "capacitors", "B": "junctions (area)"}

# A junction's area scales these parameters (exponent 1) or their inverse (-1).
AREA = {"ic": 1, "c": 1, "gstep": 1, "r": -1, "rn": -1, "r0": -1, "rsg": -1}
# The value of each kind of element that is not a junction or a source.
VALUE_KEY = {"R": "r", "L": "l", "C": "c", "K": "m"}
SOURCES = "IVP"


class Scaled(Waveform):
    """A waveform times a factor, with its breakpoints and its constancy."""

    def __init__(self, wave, factor):
        if isinstance(wave, Scaled):
            wave, factor = wave.wave, wave.factor * factor
        self.wave, self.factor = wave, float(factor)

    def __call__(self, t):
        return self.wave(t) * self.factor

    def breakpoints(self, t_end):
        return self.wave.breakpoints(t_end)

    def constant_from(self):
        return self.wave.constant_from()

    def levels(self):
        return tuple(v * self.factor for v in self.wave.levels())

    def __repr__(self):
        return f"Scaled({self.wave!r}, {self.factor!r})"


def settles_to(wave):
    """The value a waveform keeps for good, or None if it never settles."""
    start = wave.constant_from()
    if math.isinf(start) and start > 0:
        return None
    return float(wave(max(start, 0.0)))


def is_bias(element):
    """A current or voltage source that settles to a value other than 0."""
    if element.kind not in "IV":
        return False
    final = settles_to(element.params["wave"])
    return final is not None and final != 0.0


@dataclass(frozen=True)
class Parameter:
    """A parameter resolved against a circuit: `name` its canonical text,
    `kind` one of "element", "key", "param", "global", `target` the element,
    .param or global name, `key` the element parameter of kind "key"."""

    name: str
    kind: str
    target: str
    key: str = ""

    def __str__(self):
        return self.name


def find_element(circuit, name):
    """The element's name in the circuit: exact, with "." for "|", or in
    another case when that names one element. ValueError otherwise."""
    elements = circuit.elements
    for candidate in (name, name.replace(".", "|")):
        if candidate in elements:
            return candidate
    folded = [e for e in elements if e.upper() == name.replace(".", "|").upper()]
    if len(folded) == 1:
        return folded[0]
    close = difflib.get_close_matches(name, list(elements), n=1, cutoff=0.6)
    hint = f" (did you mean {close[0]!r}?)" if close else ""
    raise ValueError(f"no element named {name!r} to vary{hint}")


def parse(text, circuit, netlist_params=None):
    """The Parameter that text names in the circuit (see the module's help);
    ValueError saying what is wrong."""
    if isinstance(text, Parameter):
        return text
    if not isinstance(text, str) or not text.strip():
        raise ValueError(f"a parameter is named by text such as 'IB1', 'B1:ic', '{{XI}}' or "
                         f"'global:bias' (got {text!r})")
    name = text.strip()
    if name.startswith("{") and name.endswith("}"):
        param = name[1:-1].strip().upper()
        if netlist_params is None:
            raise ValueError(f"{name}: .param values can only be varied in a netlist (give "
                             "the analysis the netlist's path or text)")
        if param not in netlist_params:
            known = ", ".join(netlist_params) or "none"
            raise ValueError(f"{name}: the netlist has no top-level .param {param} "
                             f"(its parameters: {known})")
        return Parameter("{" + param + "}", "param", param)
    if name.lower().startswith("global:"):
        what = name.split(":", 1)[1].strip()
        for g in GLOBALS:
            if what.lower() == g.lower():
                return Parameter("global:" + g, "global", g)
        raise ValueError(f"{name}: no global scale {what!r} "
                         f"(choose from {', '.join('global:' + g for g in GLOBALS)})")
    element, _, key = name.partition(":")
    target = find_element(circuit, element.strip())
    e = circuit.elements[target]
    if not key:
        if e.kind not in "RLCKB" + SOURCES:
            raise ValueError(f"{name}: a {e.what} has no single value to vary; name one of "
                             f"its parameters ({', '.join(_numeric(e))})")
        levels = e.params["wave"].levels() if e.kind in SOURCES else (1.0,)
        if levels and not any(levels):
            raise ValueError(f"{name}: the source is 0 at all times: it has no amplitude to "
                             "scale")
        return Parameter(target, "element", target)
    key = key.strip()
    if key not in _numeric(e):
        if key == "wave":
            raise ValueError(f"{name}: vary a source's amplitude by its name ({target!r})")
        raise ValueError(f"{name}: {target} has no numeric parameter {key!r} "
                         f"(it has {', '.join(_numeric(e)) or 'none'})")
    return Parameter(f"{target}:{key}", "key", target, key)


def _numeric(e):
    return [k for k, v in e.params.items()
            if isinstance(v, (int, float)) and not isinstance(v, bool)]


def nominal(param, circuit, netlist_params=None):
    """The parameter's nominal value in SI units: a junction's critical
    current for its area, a source's largest level in magnitude, 1 for a
    global scale."""
    if param.kind == "global":
        return 1.0
    if param.kind == "param":
        return float(netlist_params[param.target])
    e = circuit.elements[param.target]
    if param.kind == "key":
        return float(e.params[param.key])
    if e.kind == "B":
        return float(e.params["ic"])
    if e.kind in SOURCES:
        levels = e.params["wave"].levels()
        return float(max(levels, key=abs)) if levels else math.nan
    return float(e.params[VALUE_KEY[e.kind]])


def copy_circuit(circuit):
    """A copy whose elements can be changed without touching the original
    (waveforms are shared: nothing here changes one)."""
    new = copy.copy(circuit)
    new.elements = {name: Element(e.kind, e.name, e.nodes, dict(e.params))
                    for name, e in circuit.elements.items()}
    return new


def scale_element(e, factor):
    """Scales an element's value in place (see the module's help)."""
    p = e.params
    if e.kind == "B":
        for key, power in AREA.items():
            if key in p:
                p[key] = p[key] * factor ** power
    elif e.kind in SOURCES:
        p["wave"] = Scaled(p["wave"], factor)
    else:
        p[VALUE_KEY[e.kind]] = p[VALUE_KEY[e.kind]] * factor


def apply(circuit, values):
    """Applies (Parameter, scale) pairs of kind element, key and global to a
    copy of the circuit and returns it; .param values are applied when the
    netlist is read (design.py)."""
    values = [(p, s) for p, s in values if p.kind != "param"]
    if not values:
        return circuit
    c = copy_circuit(circuit)
    inductance = {}
    for param, s in values:
        if param.kind == "element":
            e = c.elements[param.target]
            scale_element(e, s)
            if e.kind == "L":
                inductance[e.name] = inductance.get(e.name, 1.0) * s
        elif param.kind == "key":
            e = c.elements[param.target]
            e.params[param.key] = e.params[param.key] * s
            if e.kind == "L" and param.key == "l":
                inductance[e.name] = inductance.get(e.name, 1.0) * s
        else:
            for e in _global_members(c, param.target):
                if param.target == "ic":
                    e.params["ic"] = e.params["ic"] * s
                else:
                    scale_element(e, s)
                    if e.kind == "L":
                        inductance[e.name] = inductance.get(e.name, 1.0) * s
    # A coupling keeps its coupling factor when its inductors change, as a
    # netlist's K card states it.
    if inductance:
        for e in c.elements.values():
            if e.kind == "K":
                a, b = (inductance.get(n, 1.0) for n in e.nodes)
                if a != 1.0 or b != 1.0:
                    e.params["m"] = e.params["m"] * math.sqrt(a * b)
    return c


def _global_members(circuit, what):
    elements = circuit.elements.values()
    if what == "bias":
        return [e for e in elements if is_bias(e)]
    if what == "ic":
        return [e for e in elements if e.kind == "B"]
    return [e for e in elements if e.kind == what]


def members(param, circuit):
    """The names of the elements a parameter changes (empty for a .param)."""
    if param.kind == "global":
        return [e.name for e in _global_members(circuit, param.target)]
    if param.kind == "param":
        return []
    return [param.target]

