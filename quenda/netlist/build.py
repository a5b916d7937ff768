"""The flat elements of a netlist as a quenda circuit, through the public
builder: one function per element kind, in the table BUILDERS. Kinds the
simulator has no model for yet are refused here (NOT_YET), with the card
that asked for them; a new kind is one function and one entry."""

from ..circuit import Circuit, CircuitError
from .errors import NetlistError

_CONTROLLED = ("controlled sources (E, F, G, H) are not supported yet",
               "a netlist without E, F, G and H elements")
NOT_YET = {
    "E": _CONTROLLED, "F": _CONTROLLED, "G": _CONTROLLED, "H": _CONTROLLED,
}


class _Build:
    """What the element functions share while one circuit is built."""

    def __init__(self, tran, title):
        self.circuit = Circuit(title or "")
        self.tran = tran
        self.waves = {}      # id(proto) -> waveform: one per source card
        self.junctions = {}  # (id(model), area) -> builder parameters
        self.shorts = set()  # inductors of 0 H, built as 0 V sources


def _noise(f):
    """The element's own temp= and neb= (thermal noise), as the builder takes them."""
    return {k: v for k, v in f.proto.extra.items() if k in ("temp", "neb")}


def _resistor(b, f):
    b.circuit.resistor(f.name, f.nodes[0], f.nodes[1], f.value, **_noise(f))


def _capacitor(b, f):
    b.circuit.capacitor(f.name, f.nodes[0], f.nodes[1], f.value)


def _inductor(b, f):
    if f.value == 0:
        # A wire: zero volts across it, and its current an unknown.
        b.circuit.voltage_source(f.name, f.nodes[0], f.nodes[1], 0.0)
        b.shorts.add(f.name)
    else:
        b.circuit.inductor(f.name, f.nodes[0], f.nodes[1], f.value)


def _coupling(b, f):
    for label in f.nodes:
        if label in b.shorts:
            raise f.proto.card.words[0].error(f"{f.name} couples {label}, whose inductance is 0",
                                              "two inductors with inductance")
    b.circuit.coupling(f.name, f.nodes[0], f.nodes[1], k=f.value)


def _junction(b, f):
    model = f.proto.model
    key = (id(model), f.value)
    params = b.junctions.get(key)
    if params is None:
        params = b.junctions[key] = model.junction(f.value)
    b.circuit.junction(f.name, f.nodes[0], f.nodes[1], **params, **_noise(f))


def _source(b, f):
    p = f.proto
    wave = b.waves.get(id(p))
    if wave is None:
        wave = b.waves[id(p)] = _waveform(p, b.tran)
    add = {"V": b.circuit.voltage_source, "I": b.circuit.current_source,
           "P": b.circuit.phase_source}[p.kind]
    add(f.name, f.nodes[0], f.nodes[1], wave)


def _line(b, f):
    b.circuit.transmission_line(f.name, *f.nodes, td=f.proto.extra["TD"], z0=f.proto.extra["Z0"])


#: Element kind -> function(build, flat element). Couplings come last, once
#: every inductor exists.
BUILDERS = {"R": _resistor, "C": _capacitor, "L": _inductor, "B": _junction,
            "V": _source, "I": _source, "P": _source, "T": _line, "K": _coupling}
LAST = ("K",)


def build(flat, tran, title=""):
    """A Circuit of the flat elements; source defaults come from tran."""
    b = _Build(tran, title)
    for f in [f for f in flat if f.proto.kind not in LAST] + \
            [f for f in flat if f.proto.kind in LAST]:
        p = f.proto
        make = BUILDERS.get(p.kind)
        if make is None:
            what, expected = NOT_YET[p.kind]
            raise p.card.words[0].error(f"{f.name}: {what}", expected)
        try:
            make(b, f)
        except CircuitError as err:
            raise p.card.words[0].error(str(err)) from None
    return b.circuit


def _waveform(p, tran):
    try:
        return p.source.waveform(tran)
    except ValueError as err:
        if isinstance(err, NetlistError):
            raise
        raise p.source.head.error(str(err)) from None
