"""Circuits in SI units: elements between named nodes.

    c = Circuit("JTL stage")
    c.current_source("IB1", "0", "n1", 175e-6)        # into n1, SPICE convention
    c.junction("B1", "n1", "0", ic="250u", r=2.8, c=0.175e-12)
    c.inductor("L1", "n1", "n2", "3p")

Node "0" (or "gnd", any case) is ground; every other node is created by its
first use; integer node names are taken as their text ("1" for 1). Values
are numbers or text with an engineering suffix ("3p", "250u"); each is
checked when its element is added, and the circuit as a whole (floating
parts, loops of sources, coupled inductors) when it is simulated.

Thermal noise: a circuit at a temperature above 0 K gives every resistor
and every junction's quasiparticle branch its Johnson noise in transient
runs (quenda/analysis/noise.py):

    c = Circuit("JTL at 4.2 K", temperature=4.2, neb=2e12)
    c.resistor("R1", "n1", "0", 2.0, temp=20.0)     # a hotter resistor
"""

import difflib
import math
from dataclasses import dataclass, field

from .. import qdconfig, tjm
from .kinds import KINDS
from .units import si_value
from .waveforms import as_waveform


class CircuitError(ValueError):
    """A circuit that cannot be simulated, with what is wrong and where."""


GROUND = "0"

#: The noise bandwidth of a circuit that is given none (Hz): the dialect's.
DEFAULT_NEB = 1e9

JUNCTION_MODELS = ("rcsj", "rsjn", "pwl", "tjm")
#: The gap voltage of a junction that is given none: niobium's.
DEFAULT_VG = 2.8e-3
#: The parameters only the "pwl" junction takes.
PWL_ONLY = ("r0", "delv", "icfct", "gstep", "phi")


@dataclass
class Element:
    """One element: kind letter, name, its nodes (or, for a coupling, the
    names of the two coupled inductors) and its SI parameters."""

    kind: str
    name: str
    nodes: tuple
    params: dict = field(default_factory=dict)

    @property
    def key(self):
        """Its entry in quenda.circuit.kinds.KINDS."""
        if self.kind == "L" and self.params.get("branch"):
            return "LB"
        if self.kind == "B":
            return "B:" + self.params["model"]
        return self.kind

    @property
    def what(self):
        return KINDS[self.key].what

    def __str__(self):
        return f"{self.what} {self.name} ({', '.join(self.nodes)})"


def suggest(name, names):
    """' (did you mean 'X'?)' for the closest of names (case aside), or ''."""
    by_lower = {}
    for n in names:
        by_lower.setdefault(str(n).lower(), n)
    close = difflib.get_close_matches(str(name).lower(), list(by_lower), n=1, cutoff=0.6)
    return f" (did you mean {by_lower[close[0]]!r}?)" if close else ""


def _number(name, what, value, unit, allow_zero=False, allow_negative=False):
    try:
        v = si_value(value, what)
    except ValueError as err:
        raise CircuitError(f"{name}: {err}") from None
    if allow_negative:
        if not math.isfinite(v):
            raise CircuitError(f"{name}: {what} must be finite (got {value!r} {unit})")
        return v
    if math.isnan(v) or math.isinf(v) or v < 0 or (v == 0 and not allow_zero):
        bound = "must not be negative" if allow_zero else "must be positive"
        raise CircuitError(f"{name}: {what} {bound} and finite (got {value!r} {unit})")
    return v


def _pwl_params(name, params, given):
    """r0, delv, gstep and phi of a pwl junction, checked."""
    if given["r0"] is None:
        raise CircuitError(f"{name}: a pwl junction needs its subgap resistance r0")
    out = {"r0": _number(name, "subgap resistance", given["r0"], "ohm"),
           "delv": _number(name, "gap width delv", 1e-4 if given["delv"] is None
                           else given["delv"], "V"),
           "phi": _number(name, "phase offset phi", 0.0 if given["phi"] is None
                          else given["phi"], "rad", allow_negative=True)}
    if not params["vg"] > out["delv"] / 2:
        raise CircuitError(f"{name}: the gap voltage vg ({params['vg']:g} V) must exceed half "
                           f"the gap width delv ({out['delv']:g} V)")
    if given["gstep"] is not None:
        if given["icfct"] is not None:
            raise CircuitError(f"{name}: give icfct or gstep (the step's conductance), not both")
        out["gstep"] = _number(name, "step conductance gstep", given["gstep"], "S")
    else:
        icfct = _number(name, "icfct", math.pi / 4 if given["icfct"] is None
                        else given["icfct"], "")
        out["gstep"] = params["ic"] / (icfct * out["delv"])
        if not math.isfinite(out["gstep"]):
            raise CircuitError(f"{name}: the step conductance ic / (icfct delv) is not finite")
    return out


def _tunnel(name, ic, rn, vg, table, rsg, temperature, tc):
    """The parameters of a tjm junction: its table's name in
    qdconfig.tjm_models, ic, rn, vg and rsg, with the defaults its table
    implies."""
    if table is not None and not isinstance(table, str):
        raise CircuitError(f"{name}: tjm is the name of a coefficient table, not a "
                           f"{type(table).__name__} "
                           "(quenda.tjm.fit(..., name=...) registers one by name)")
    if tc is not None and temperature is None:
        raise CircuitError(f"{name}: the critical temperature tc goes with a temperature")
    if temperature is not None:
        temperature = _number(name, "temperature", temperature, "K", allow_zero=True)
    if tc is not None:
        tc = _number(name, "critical temperature", tc, "K")
    if vg is not None:
        vg = _number(name, "gap voltage", vg, "V")
    elif tc is None:
        vg = DEFAULT_VG
    try:
        key = tjm.model_name(table, temperature=temperature, tc=tc, vg=vg)
        if tc is not None:
            vg = 2 * tjm.gap(temperature, tc)  # 2 Delta in eV is the gap voltage in V
    except (KeyError, ValueError) as err:
        raise CircuitError(f"{name}: {err.args[0]}") from None
    try:
        bcs = tjm.table(key)
    except KeyError:
        bcs = None  # a table of kernel terms alone, such as the testing ones
    ic = None if ic is None else _number(name, "critical current", ic, "A")
    rn = None if rn is None else _number(name, "normal resistance", rn, "ohm")
    if bcs is None:
        if ic is None or rn is None:
            missing = "critical current ic" if ic is None else "normal resistance rn"
            raise CircuitError(f"{name}: a tjm junction with table {key!r} needs its {missing}")
        rsg = 10 * rn if rsg is None else rsg
    else:
        # The table is the whole junction in units of V_g / R_N: its static
        # critical current ties Ic to Rn, and its quasiparticle response
        # already holds the subgap current, which a finite rsg would add to.
        if ic is None and rn is None:
            raise CircuitError(f"{name}: a tjm junction needs its critical current ic or its "
                               "normal resistance rn (the other follows from its table)")
        icrn = bcs.critical_current() * vg
        ic = _number(name, "critical current", icrn / rn if ic is None else ic, "A")
        rn = _number(name, "normal resistance", icrn / ic if rn is None else rn, "ohm")
        rsg = math.inf if rsg is None else rsg
    if rsg != math.inf:
        rsg = _number(name, "subgap resistance", rsg, "ohm")
    # The table's terms travel with the junction: a circuit sent to another
    # process (a worker of an analysis) finds there a table fitted here.
    return {"table": key, "terms": qdconfig.tjm_models[key], "ic": ic, "rn": rn, "vg": vg,
            "rsg": rsg}


def _noise_settings(name, temp, neb):
    """The per-element noise settings that are given, checked."""
    settings = {}
    if temp is not None:
        settings["temp"] = _number(name, "noise temperature temp", temp, "K", allow_zero=True)
    if neb is not None:
        settings["neb"] = _number(name, "noise bandwidth neb", neb, "Hz")
    return settings


class Circuit:
    """Elements between named nodes.

    temperature: kelvin; above 0, every resistor and junction carries its
        thermal noise in transient runs (an element's own temp= overrides it).
    neb: the noise bandwidth in hertz (default 1 GHz): each noise source
        takes a new value every 1/neb seconds. Switching statistics of
        single-flux-quantum circuits need it above the junctions' plasma
        frequency (1e12 Hz and more); the default suits slow phenomena only.

    Both are properties of the circuit, as the chip's temperature is: they
    travel with it to every run and every process of an analysis. The seed
    that picks one realisation of the noise is the run's (Transient.run).
    """

    def __init__(self, title="", temperature=0.0, neb=DEFAULT_NEB):
        self.title = title
        self.elements = {}
        self._nodes = {}
        #: Counts structural changes, so that a prepared simulation notices them.
        self.revision = 0
        self.temperature = temperature
        self.neb = neb

    @property
    def temperature(self):
        """The circuit's temperature in kelvin (0: no thermal noise)."""
        return self._temperature

    @temperature.setter
    def temperature(self, value):
        self._temperature = _number("the circuit", "temperature", value, "K", allow_zero=True)

    @property
    def neb(self):
        """The noise bandwidth in hertz: a new noise value every 1/neb seconds."""
        return self._neb

    @neb.setter
    def neb(self, value):
        self._neb = _number("the circuit", "noise bandwidth neb", value, "Hz")

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

    def element(self, name):
        """The element of that name; KeyError with the closest names otherwise."""
        try:
            return self.elements[name]
        except KeyError:
            raise KeyError(f"no element named {name!r}{suggest(name, self.elements)}") from None

    def _check_name(self, name):
        if not isinstance(name, str) or not name:
            raise CircuitError(f"an element name must be a non-empty string (got {name!r})")
        if name in self.elements:
            raise CircuitError(f"duplicate element name {name!r}: {self.elements[name]} exists")

    def _add(self, kind, name, n1, n2, **params):
        self._check_name(name)
        nodes = (self.canonical(n1), self.canonical(n2))
        if nodes[0] == nodes[1]:
            raise CircuitError(f"{name}: both terminals are node {nodes[0]!r}")
        return self._insert(Element(kind, name, nodes, params))

    def _insert(self, element):
        for n in element.nodes if element.kind != "K" else ():
            if n != GROUND:
                self._nodes.setdefault(n, None)
        self.elements[element.name] = element
        self.revision += 1
        return element

    @staticmethod
    def _wave(name, value):
        try:
            return as_waveform(value)
        except (TypeError, ValueError) as err:
            raise CircuitError(f"{name}: {err}") from None

    # -- elements ------------------------------------------------------------

    def resistor(self, name, n1, n2, resistance, temp=None, neb=None):
        """Resistor of `resistance` ohms; `temp` (K) and `neb` (Hz) set its
        own noise temperature and bandwidth instead of the circuit's."""
        return self._add("R", name, n1, n2, r=_number(name, "resistance", resistance, "ohm"),
                         **_noise_settings(name, temp, neb))

    def capacitor(self, name, n1, n2, capacitance):
        """Capacitor of `capacitance` farads."""
        return self._add("C", name, n1, n2, c=_number(name, "capacitance", capacitance, "F"))

    def inductor(self, name, n1, n2, inductance, branch=False):
        """Inductor of `inductance` henries. With branch=True (and always when
        it is coupled to another) its current is an unknown of its own."""
        return self._add("L", name, n1, n2, l=_number(name, "inductance", inductance, "H"),
                         branch=bool(branch))

    def coupling(self, name, inductor1, inductor2, k=None, m=None):
        """Mutual inductance between two inductors, by coupling factor k
        (|k| < 1) or by mutual inductance m in henries (|m| < sqrt(L1 L2)).
        The inductance matrix of every coupled group must be positive
        definite; that is checked when the circuit is simulated."""
        self._check_name(name)
        l1, l2 = (self.elements.get(n) for n in (inductor1, inductor2))
        for given, found in ((inductor1, l1), (inductor2, l2)):
            if found is None or found.kind != "L":
                inductors = [e.name for e in self.elements.values() if e.kind == "L"]
                raise CircuitError(f"{name}: unknown inductor {given!r}{suggest(given, inductors)}")
        if l1 is l2:
            raise CircuitError(f"{name}: couples inductor {inductor1!r} with itself")
        if (k is None) == (m is None):
            raise CircuitError(f"{name}: give exactly one of k (coupling factor) and m (mutual inductance)")
        limit = math.sqrt(l1.params["l"] * l2.params["l"])
        if k is not None:
            mutual = _number(name, "coupling factor k", k, "", allow_negative=True) * limit
        else:
            mutual = _number(name, "mutual inductance m", m, "H", allow_negative=True)
        if not abs(mutual) < limit:
            raise CircuitError(f"{name}: coupling must be below 1 in magnitude "
                               f"(got k = {mutual / limit:g})")
        l1.params["branch"] = l2.params["branch"] = True
        return self._insert(Element("K", name, (inductor1, inductor2), {"m": mutual}))

    def current_source(self, name, n_plus, n_minus, current):
        """Current source: `current` amperes flow from n_plus through the
        source to n_minus, i.e. into node n_minus (SPICE convention).
        `current` is a number (DC) or a waveform (PWL, PULSE, SIN)."""
        return self._add("I", name, n_plus, n_minus, wave=self._wave(name, current))

    def phase_source(self, name, n1, n2, phase):
        """Holds phase(n1) - phase(n2) at `phase` radians (a number or a waveform)."""
        wave = self._wave(name, phase)
        if wave.clock() is not None:
            raise CircuitError(f"{name}: a phase source cannot follow {type(wave).__name__}: a "
                               "phase that jumps is an infinite voltage; give the noise to a "
                               "current or voltage source")
        return self._add("P", name, n1, n2, wave=wave)

    def voltage_source(self, name, n1, n2, voltage):
        """Holds V(n1) - V(n2) at `voltage` volts (a number or a waveform)."""
        return self._add("V", name, n1, n2, wave=self._wave(name, voltage))

    def junction(self, name, n1, n2, ic=None, r=None, c=0.0, model="rcsj", rn=None, vg=None,
                 n=10.0, tjm=None, rsg=None, temperature=None, tc=None, r0=None, delv=None,
                 icfct=None, gstep=None, phi=None, temp=None, neb=None):
        """Josephson junction from n1 to n2 with critical current `ic` amperes
        and capacitance `c` farads, in one of four models:

        - "rcsj": a shunt of `r` ohms (resistively and capacitively shunted);
        - "rsjn": a voltage-dependent shunt rising to 1/`rn` above the gap
          voltage `vg` volts (default 2.8 mV), with steepness `n` (an even
          number keeps it odd in the voltage);
        - "pwl": a quasiparticle current piecewise linear in the voltage:
          subgap resistance `r0` below vg - delv/2 (vg default 2.8 mV), a
          step of conductance `gstep` siemens (or ic / (`icfct` delv), icfct
          default pi/4) across the gap of width `delv` volts (default
          0.1 mV), normal resistance `rn` above vg + delv/2; the piece is
          that of the last accepted voltage. `phi` (radians, default 0)
          shifts the supercurrent to ic sin(phase - phi);
        - "tjm": the tunnel-junction model with memory kernel, normal
          resistance `rn`, gap voltage `vg`. Its coefficient table is the
          one named `tjm` (of quenda.qdconfig.tjm_models), or the BCS table
          at `temperature` kelvin with the gap from the critical temperature
          `tc` (then vg is the BCS gap there) or from vg (fitted once per
          process by quenda.tjm), or quenda.tjm.DEFAULT (niobium at 4.2 K).
          A BCS table carries the subgap current and the critical current
          itself: give `ic` or `rn` and the other follows (the table's
          Ic Rn / V_g), and the subgap resistance `rsg` is infinite unless
          given. Other tables need both ic and rn, and rsg defaults to 10 rn.

        `temp` (K) and `neb` (Hz) set the noise temperature and bandwidth of
        its quasiparticle branch instead of the circuit's (a tjm junction's
        `temperature` picks its table and sets no noise).
        """
        if model not in JUNCTION_MODELS:
            raise CircuitError(f"{name}: unknown junction model {model!r} "
                               f"(choose from {', '.join(JUNCTION_MODELS)})")
        a = "an" if model[0] in "r" else "a"
        if model != "tjm" and (tjm, temperature, tc) != (None, None, None):
            raise CircuitError(f"{name}: tjm, temperature and tc are for a tjm junction, "
                               f"not {a} {model} one")
        given = dict(r0=r0, delv=delv, icfct=icfct, gstep=gstep, phi=phi)
        if model != "pwl":
            stray = [k for k in PWL_ONLY if given[k] is not None]
            if stray:
                what = "is a parameter" if len(stray) == 1 else "are parameters"
                raise CircuitError(f"{name}: {', '.join(stray)} {what} of the pwl junction "
                                   f"model, not of {model}")
        params = {"model": model, "c": _number(name, "capacitance", c, "F", allow_zero=True),
                  **_noise_settings(name, temp, neb)}
        if model == "tjm":
            params.update(_tunnel(name, ic, rn, vg, tjm, rsg, temperature, tc))
            return self._add("B", name, n1, n2, **params)
        if ic is None:
            raise CircuitError(f"{name}: {a} {model} junction needs its critical current ic")
        params["ic"] = _number(name, "critical current", ic, "A")
        if model == "rcsj":
            if r is None:
                raise CircuitError(f"{name}: an rcsj junction needs its shunt resistance r")
            params["r"] = _number(name, "shunt resistance", r, "ohm")
        elif r is not None and model == "pwl":
            raise CircuitError(f"{name}: a pwl junction has a subgap resistance r0 and a "
                               "normal resistance rn, not a shunt r")
        if model in ("rsjn", "pwl"):
            if rn is None:
                raise CircuitError(f"{name}: {a} {model} junction needs its normal resistance rn")
            params["rn"] = _number(name, "normal resistance", rn, "ohm")
            params["vg"] = _number(name, "gap voltage", DEFAULT_VG if vg is None else vg, "V")
        if model == "rsjn":
            params["n"] = _number(name, "steepness n", n, "")
        if model == "pwl":
            params.update(_pwl_params(name, params, given))
        return self._add("B", name, n1, n2, **params)

    def transmission_line(self, name, p1, n1, p2, n2, td, z0):
        """Ideal lossless transmission line of delay `td` seconds and
        impedance `z0` ohms: port 1 from p1 to n1, port 2 from p2 to n2.
        At each port, with the current into the line at p and out at n,
        V1(t) - z0 I1(t) = V2(t - td) + z0 I2(t - td), and alike from port 2
        to port 1. The ports meet only through the line: each needs its own
        path to ground. No step of a simulation exceeds td."""
        self._check_name(name)
        td = _number(name, "delay td", td, "s")
        z0 = _number(name, "impedance z0", z0, "ohm")
        nodes = tuple(self.canonical(n) for n in (p1, n1, p2, n2))
        for port, (p, n) in enumerate((nodes[:2], nodes[2:]), 1):
            if p == n:
                raise CircuitError(f"{name}: both terminals of port {port} are node {p!r}")
        return self._insert(Element("T", name, nodes, {"td": td, "z0": z0}))

    # -- whole-circuit checks ------------------------------------------------

    def check(self):
        """Raises CircuitError for a circuit that cannot be simulated: no
        elements, a part that nothing ties to ground, a loop of phase or
        voltage sources, or coupled inductors whose inductance matrix is not
        positive definite."""
        from .checks import check_circuit

        check_circuit(self)
