"""The flat elements of a netlist as a quenda circuit, through the public
builder. Elements the simulator has no model for yet are refused here, with
the card that asked for them."""

from ..circuit import Circuit, CircuitError
from .errors import NetlistError

_CONTROLLED = ("controlled sources (E, F, G, H) are not supported yet",
               "a netlist without E, F, G and H elements")
NOT_YET = {
    "E": _CONTROLLED, "F": _CONTROLLED, "G": _CONTROLLED, "H": _CONTROLLED,
}


def build(flat, tran, title=""):
    """A Circuit of the flat elements; source defaults come from tran."""
    circuit = Circuit(title or "")
    couplings = []
    waves, junctions = {}, {}
    shorts = set()
    for f in flat:
        p = f.proto
        kind = p.kind
        try:
            if kind == "R":
                circuit.resistor(f.name, f.nodes[0], f.nodes[1], f.value)
            elif kind == "L":
                if f.value == 0:
                    # A wire: zero volts across it, and its current an unknown.
                    circuit.voltage_source(f.name, f.nodes[0], f.nodes[1], 0.0)
                    shorts.add(f.name)
                else:
                    circuit.inductor(f.name, f.nodes[0], f.nodes[1], f.value)
            elif kind == "C":
                circuit.capacitor(f.name, f.nodes[0], f.nodes[1], f.value)
            elif kind == "K":
                couplings.append(f)
            elif kind == "B":
                key = (id(p.model), f.value)
                params = junctions.get(key)
                if params is None:
                    params = junctions[key] = p.model.junction(f.value)
                circuit.junction(f.name, f.nodes[0], f.nodes[1], **params)
            elif kind == "T":
                circuit.transmission_line(f.name, *f.nodes, td=p.extra["TD"], z0=p.extra["Z0"])
            elif kind in "VIP":
                wave = waves.get(id(p))
                if wave is None:
                    wave = waves[id(p)] = _waveform(p, tran)
                add = {"V": circuit.voltage_source, "I": circuit.current_source,
                       "P": circuit.phase_source}[kind]
                add(f.name, f.nodes[0], f.nodes[1], wave)
            else:
                what, expected = NOT_YET[kind]
                raise p.card.words[0].error(f"{f.name}: {what}", expected)
        except CircuitError as err:
            raise p.card.words[0].error(str(err)) from None
    for f in couplings:
        for label in f.nodes:
            if label in shorts:
                raise f.proto.card.words[0].error(f"{f.name} couples {label}, whose inductance "
                                                  "is 0", "two inductors with inductance")
        try:
            circuit.coupling(f.name, f.nodes[0], f.nodes[1], k=f.value)
        except CircuitError as err:
            raise f.proto.card.words[0].error(str(err)) from None
    return circuit


def _waveform(p, tran):
    try:
        return p.source.waveform(tran)
    except ValueError as err:
        if isinstance(err, NetlistError):
            raise
        raise p.source.head.error(str(err)) from None
