"""Subcircuit expansion: the flat list of elements with hierarchical names.

An element of an instance is named by its label, then `|` and the labels of
the instances around it from the innermost out: B01 in instance X02 of
instance X1 is B01|X02|X1. Internal nodes likewise (3|X02|X1); a port is the
node the instance connects to it, and ground stays ground. Instances nest to
any depth, in the order of the definitions' cards; a definition that
contains an instance of itself, directly or not, is an error.
"""

from dataclasses import dataclass

from .deck import Proto


@dataclass(slots=True)
class Flat:
    proto: Proto
    name: str
    nodes: tuple
    value: float


def expand(deck):
    out = []
    _expand(deck.top, None, "", None, out, (deck.top,))
    return out


def _expand(d, ports, suffix, overrides, out, chain):
    for p in d.protos:
        if p.kind == "X":
            sub = p.subckt
            if sub in chain:
                names = [c.name for c in chain[chain.index(sub):]] + [sub.name]
                raise p.card.words[0].error(f"subcircuit {sub.name} contains an instance of "
                                            f"itself ({' -> '.join(names)})")
            inner = {port: _node(n, ports, suffix) for port, n in zip(sub.ports, p.nodes)}
            _expand(sub, inner, f"|{p.label}{suffix}", p.overrides, out, (*chain, sub))
            continue
        if p.kind == "K":
            nodes = tuple(label + suffix for label in p.nodes)
        else:
            nodes = tuple(_node(n, ports, suffix) for n in p.nodes)
        value = overrides.get(p.label, p.value) if overrides else p.value
        out.append(Flat(p, p.label + suffix, nodes, value))


def _node(name, ports, suffix):
    if name == "0":
        return name
    if ports is not None:
        mapped = ports.get(name)
        if mapped is not None:
            return mapped
    return name + suffix
