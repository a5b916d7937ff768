"""The element kinds: one table of what each kind of element is to the simulator.

A kind says which kernel model class simulates it, what its terminals are
called (its nodes in the order the element lists them: 'i', 'j' for two;
for a coupling, the branch rows 'q', 'v' of the two inductors it names),
whether it needs a branch row 'q' (an unknown of its own for its current),
the (row, column) pairs of the matrix entries its model stamps, in the
order the model's InitModel takes their slot positions, which pairs of its
terminals it ties together (for the checks of the whole circuit), how its
SI parameters become the kernel's and, for an element with a resistive
part, the law of the conductance that sets its thermal noise
(quenda/analysis/noise.py). The model's constructor takes the terminals,
then the branch row, then the element's index.

Adding a kind is one entry here, a builder method (builder.py) and, when it
is new to the kernel, its model class.
"""

import math
from dataclasses import dataclass
from typing import Callable, Optional

from .. import qdconfig

TWO_TERMINAL = (("i", "i"), ("i", "j"), ("j", "i"), ("j", "j"))
BRANCH = (("i", "q"), ("j", "q"), ("q", "i"), ("q", "j"))
TWO_PORT = (("p1", "p1"), ("p1", "n1"), ("n1", "p1"), ("n1", "n1"),
            ("p2", "p2"), ("p2", "n2"), ("n2", "p2"), ("n2", "n2"))


class KernelRangeError(ValueError):
    """An SI value that the kernel's units cannot hold (it overflows or
    underflows there); the assembly names the element."""


@dataclass(frozen=True)
class Kind:
    key: str
    what: str                 # for messages: "resistor"
    model: str                # kernel class in quenda.stampcore
    slots: tuple              # (row, col) pairs in InitModel order
    terminals: tuple = ("i", "j")  # names of Element.nodes, in their order
    ties: tuple = (("i", "j"),)    # terminal pairs it connects by more than a current
    couples: bool = False     # its nodes name inductors: its terminals are their branch rows
    branch: bool = False      # needs a branch row
    params: Optional[Callable] = None   # (element, units) -> SetParameters list
    source: Optional[str] = None  # a source: the Units attribute its value is divided by
    counts_quanta: bool = False   # the model counts 2 pi phase quanta
    nonlinear: bool = False       # stamps A2 that follows the solution
    exact_jacobian: bool = True   # its A2 is the exact derivative of its current
    bounded_phase: bool = False   # the time loop bounds its phase change per step
    setup: str = "SetParameters"  # the model method that takes the parameters
    # The largest step (seconds) the element allows the time loop, or None.
    max_step: Optional[Callable] = None
    # (parameters, the run's smallest step in kernel time) -> the parameters
    # of that run, for a kind whose model needs to know it.
    for_run: Optional[Callable] = None
    # element -> (law, SI constants): the conductance of its Johnson noise,
    # one of the laws of quenda.analysis.noise.CONDUCTANCE; None: noiseless.
    thermal: Optional[Callable] = None


def kernel(value, unit, what, divides=False):
    """An SI value in kernel units; KernelRangeError when it is not a finite
    number there, or, for a value the kernel divides by, when its reciprocal
    is not one either."""
    v = value / unit
    if not math.isfinite(v) or (divides and (v == 0 or not math.isfinite(1.0 / v))):
        raise KernelRangeError(f"{what} {value:g} is outside the range the simulator can "
                               f"represent (it is {v:g} in kernel units)")
    return v


def _resistor(e, u):
    return [kernel(e.params["r"], u.resistance, "resistance", divides=True)]


def _capacitor(e, u):
    return [kernel(e.params["c"], u.capacitance, "capacitance")]


def _inductor(e, u):
    return [kernel(e.params["l"], u.inductance, "inductance", divides=True)]


def _coupling(e, u):
    return [kernel(e.params["m"], u.inductance, "mutual inductance")]


def _rcsj(e, u):
    p = e.params
    return [kernel(p["ic"], u.current, "critical current"),
            kernel(p["r"], u.resistance, "shunt resistance", divides=True),
            kernel(p["c"], u.capacitance, "capacitance")]


def _rsjn(e, u):
    p = e.params
    return [kernel(p["ic"], u.current, "critical current"),
            kernel(p["rn"], u.resistance, "normal resistance", divides=True),
            kernel(p["vg"], u.voltage, "gap voltage", divides=True), p["n"],
            kernel(p["c"], u.capacitance, "capacitance")]


def _pwl(e, u):
    # The step's conductance is a conductance: kernel units of 1 / resistance.
    p = e.params
    return [kernel(p["ic"], u.current, "critical current"),
            kernel(p["r0"], u.resistance, "subgap resistance", divides=True),
            kernel(p["rn"], u.resistance, "normal resistance", divides=True),
            kernel(p["vg"], u.voltage, "gap voltage"),
            kernel(p["delv"], u.voltage, "gap width"),
            kernel(p["gstep"], 1.0 / u.resistance, "step conductance"),
            kernel(p["c"], u.capacitance, "capacitance"), p["phi"]]


def _tjm(e, u):
    # Gap voltage in kernel units, IcRn / Vg, the capacitance as the weight
    # of the voltage-derivative term (beta_c taken with Rn), Rn / Rsg.
    p = e.params
    qdconfig.tjm_models.setdefault(p["table"], p["terms"])  # a table fitted in another process
    ic = kernel(p["ic"], u.current, "critical current", divides=True)
    c = kernel(p["c"], u.capacitance, "capacitance")
    wvg = kernel(p["vg"], u.voltage, "gap voltage", divides=True)
    wvrat = p["ic"] * p["rn"] / p["vg"]
    sgw = kernel(1.0 / (wvg * wvrat), 1.0, "normal conductance", divides=True)
    beta = kernel(c / (ic * sgw * sgw), 1.0, "beta_c")
    return [p["table"], ic, beta, wvg, wvrat, p["rn"] / p["rsg"]]


#: Most samples of a line's history (24 bytes each): steps finer than TD / this
#: thin the history where it is densest instead of growing it further.
LINE_HISTORY = 1 << 20


def _line(e, u):
    return [kernel(e.params["td"], u.time, "delay TD", divides=True),
            kernel(e.params["z0"], u.resistance, "impedance Z0", divides=True)]

# The conductance of an element's Johnson noise: its resistance, or for a
# junction the present resistance of its quasiparticle branch.
def _thermal_resistor(e):
    return "ohmic", (1.0 / e.params["r"],)


def _thermal_rcsj(e):
    return "ohmic", (1.0 / e.params["r"],)


def _thermal_rsjn(e):
    p = e.params
    return "rsjn", (p["rn"], p["vg"], p["n"])


def _thermal_pwl(e):
    p = e.params
    return "pwl", (p["r0"], p["rn"], p["vg"], p["delv"], p["gstep"])


def _thermal_tjm(e):
    p = e.params
    return "tjm", (p["table"], p["rn"], p["vg"], p["rsg"])


_JUNCTION = dict(slots=TWO_TERMINAL, counts_quanta=True, nonlinear=True, bounded_phase=True)

#: Every kind by key (Element.key).
KINDS = {k.key: k for k in (
    Kind("R", "resistor", "ResistorModel", TWO_TERMINAL, params=_resistor,
         thermal=_thermal_resistor),
    Kind("C", "capacitor", "CapacitorModel", TWO_TERMINAL, params=_capacitor),
    Kind("L", "inductor", "InductorModel", TWO_TERMINAL, params=_inductor),
    Kind("LB", "inductor", "InductorImpedanceModel", BRANCH + (("q", "q"),), branch=True,
         params=_inductor),
    Kind("K", "mutual inductance", "MutualInductanceModel",
         (("q", "q"), ("q", "v"), ("v", "q"), ("v", "v")), terminals=("q", "v"), ties=(),
         couples=True, params=_coupling),
    # The current source reads no slot position; its InitModel takes four it never reads.
    Kind("I", "current source", "CurrentSourceModel", (), ties=(), source="current"),
    Kind("P", "phase source", "PhaseSourceModel", BRANCH, branch=True, source="phase",
         counts_quanta=True, bounded_phase=True),
    Kind("V", "voltage source", "VoltageSourceModel", BRANCH, branch=True, source="voltage",
         counts_quanta=True),
    Kind("B:rcsj", "Josephson junction", "JunctionModel", params=_rcsj, thermal=_thermal_rcsj,
         **_JUNCTION),
    Kind("B:rsjn", "Josephson junction", "JunctionRSJNModel", params=_rsjn,
         thermal=_thermal_rsjn, **_JUNCTION),
    # Its piece of the quasiparticle law is held through a step's iterations,
    # so within a step its A2 is the exact derivative.
    Kind("B:pwl", "Josephson junction", "JunctionPWLModel", params=_pwl, thermal=_thermal_pwl,
         **_JUNCTION),
    # Its A2 stamp is quasi-static, not the derivative of the memory integral:
    # Newton converges linearly, and the convergence test must know it.
    Kind("B:tjm", "Josephson junction", "JunctionTJMModel", params=_tjm, exact_jacobian=False,
         setup="InitTJMModel", thermal=_thermal_tjm, **_JUNCTION),
    # Two ports that meet only through the line's history: each is tied
    # within itself, and nothing ties one to the other. The step must not
    # exceed the delay (the history is read at t - TD).
    Kind("T", "transmission line", "TransmissionLineModel",
         TWO_PORT, terminals=("p1", "n1", "p2", "n2"), ties=(("p1", "n1"), ("p2", "n2")),
         params=_line, max_step=lambda e: e.params["td"],
         for_run=lambda p, h: p + [max(h, p[0] / LINE_HISTORY)]),
)}
