"""Netlists in the superconductor SPICE dialect designers write.

    from quenda import read_netlist
    net = read_netlist("jtl.cir")          # a path, or the netlist text itself
    net.circuit                            # a quenda.circuit.Circuit
    net.tran                               # the .tran settings (or None)
    net.outputs                            # the output requests, in order

Reading goes: lines and cards (lines.py), definitions and their element
prototypes with values from parameters and expressions (deck.py), subcircuit
expansion into hierarchical names (expand.py), and the circuit through the
public builder (build.py); run.py simulates it and writes what it asks
for. Everything wrong names its file, line and column
(NetlistError); what is read but not acted on gets a NetlistWarning.
"""

import warnings as _warnings
from dataclasses import dataclass, field

from . import outputs as _outputs
from .build import build
from .controls import IVRequest, Options, Tran
from .deck import Deck
from .errors import NetlistError, NetlistWarning, Position
from .expand import expand
from .lines import read_source


@dataclass
class Netlist:
    circuit: object
    tran: Tran
    outputs: list  # of outputs.Request, resolved against the circuit
    iv: list = field(default_factory=list)  # of IVRequest
    options: Options = field(default_factory=Options)
    title: str = ""
    warnings: list = field(default_factory=list)  # the texts of the warnings given
    files: list = field(default_factory=list)  # the files read, in order
    params: dict = field(default_factory=dict)  # the top level's .param values, by name
    models: dict = field(default_factory=dict)  # the junction models of the top level, by name


def read_deck(path_or_text):
    """The netlist read and checked, before expansion."""
    return Deck(read_source(path_or_text))


def read_netlist(path_or_text, params=None):
    """Reads a netlist (a path, or text with at least one line break) into the
    circuit, the .tran settings and the output requests. Raises NetlistError;
    warns (NetlistWarning) about what it reads but does not apply.

    params: values (name: number) that replace top-level .param definitions."""
    source = read_source(path_or_text)
    deck = Deck(source, params)
    flat = expand(deck)
    circuit = build(flat, deck.tran, deck.title)
    # .temp and .neb: the circuit's thermal noise (temp= and neb= of an
    # element are its own, given to the builder).
    if deck.options.temp is not None:
        circuit.temperature = deck.options.temp
    if deck.options.neb is not None:
        circuit.neb = deck.options.neb
    notes = list(deck.notices)
    for f in flat:
        if f.proto.extra and f.proto.kind in "RLCB":
            settings = {k: v for k, v in f.proto.extra.items()}
            deck.options.element_settings[f.name] = settings
    spread = any("spread" in s for s in deck.options.element_settings.values())
    if spread:
        notes.append("per-element spread= settings are not applied to a single run: the yield "
                     "analysis draws values from them")
    requests = _outputs.resolve(deck.requests, circuit, notes)
    for text in notes:
        _warnings.warn(text, NetlistWarning, stacklevel=2)
    return Netlist(circuit, deck.tran, requests, deck.iv, deck.options, deck.title or "", notes,
                   [str(p) for p in source.files], dict(deck.top.scope.values),
                   dict(deck.top.models))


__all__ = ["read_netlist", "read_deck", "Netlist", "NetlistError", "NetlistWarning", "Position",
           "Tran", "IVRequest", "Options"]
