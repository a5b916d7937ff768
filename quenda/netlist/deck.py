"""From cards to definitions: the top level and every .subckt, each with its
parameters, models, nested definitions and element cards; the controls of
the top level. Then every definition's elements are read into prototypes
with their values, once per definition, whatever the number of instances.

Element cards (label first letter; [] optional):

    R L C   label n+ n- value [key=value ...]
    K       label L1 L2 k
    B       label n+ n- [phase-node] model [area=A | ic=I] [temp=T] [neb=F] [spread=X]
    T       label p1+ p1- p2+ p2- [LOSSLESS] TD=delay Z0=impedance
    V I P   label n+ n- source
    E F G H label n+ n- nc+ nc- value
    X       label subckt nodes... | label nodes... subckt, then [LABEL=VALUE ...]
"""

import re
from dataclasses import dataclass, field

from . import controls, outputs
from .controls import Options
from .errors import NetlistError
from .lines import Word
from .models import parse_model
from .params import Scope
from .sources import parse_source

ELEMENT_KINDS = {"R": "resistor", "L": "inductor", "C": "capacitor", "K": "mutual coupling",
                 "B": "Josephson junction", "T": "transmission line", "V": "voltage source",
                 "I": "current source", "P": "phase source", "E": "voltage-controlled voltage source",
                 "F": "current-controlled current source", "G": "voltage-controlled current source",
                 "H": "current-controlled voltage source", "X": "subcircuit instance"}
TOP_CONTROLS = (".TRAN", ".PRINT", ".PLOT", ".SAVE", ".FILE", ".IV", ".TEMP", ".NEB", ".SPREAD",
                ".OPTION", ".OPTIONS")
CONTROLS = ("SUBCKT", "ENDS", "PARAM", "MODEL", "INCLUDE", "CONTROL", "ENDC", "END",
            *(c[1:] for c in TOP_CONTROLS))
# Layout tools leave these words after an element's value; they mean nothing
# to a simulation.
LAYOUT_FLAGS = ("FCHECK", "NFREE")
GROUND_NAMES = ("0", "GND")
ELEMENT_KEYS = {"R": ("TEMP", "NEB", "SPREAD"), "L": ("SPREAD",), "C": ("SPREAD",),
                "B": ("AREA", "IC", "TEMP", "NEB", "SPREAD")}


@dataclass
class Proto:
    """An element of a definition, its values evaluated in the definition's scope."""

    kind: str
    label: str
    nodes: tuple  # local node names (K: the labels of the two inductors)
    card: object
    value: float = None  # R L C: value; K: k; B: area; E F G H: gain; T: -
    model: object = None  # B: the JunctionModel
    source: object = None  # V I P: the SourceSpec
    extra: dict = field(default_factory=dict)  # T: TD, Z0; temp/neb/spread settings
    subckt: object = None  # X: the Definition
    overrides: dict = None  # X: LABEL -> value


class Definition:
    """The top level or one .subckt."""

    def __init__(self, name, ports, parent, card):
        self.name, self.ports, self.parent, self.card = name, ports, parent, card
        where = "the top level" if parent is None else f"subcircuit {name}"
        self.scope = Scope(parent.scope if parent else None, where)
        self.where = where
        self.model_cards = []
        self.models = {}
        self.subckts = {}
        self.cards = []
        self.labels = {}  # LABEL -> card
        self.protos = None

    def _find(self, table, name):
        """The definition of name in this scope's table or the nearest enclosing one's."""
        d = self
        while d is not None:
            found = getattr(d, table).get(name)
            if found is not None:
                return found
            d = d.parent
        return None

    def find_subckt(self, name):
        return self._find("subckts", name)

    def find_model(self, name):
        return self._find("models", name)

    def all(self):
        yield self
        for sub in self.subckts.values():
            yield from sub.all()


class Deck:
    def __init__(self, source, params=None):
        self.title = source.title
        self.overrides = {str(k).upper(): float(v) for k, v in (params or {}).items()}
        self.top = Definition(None, (), None, None)
        self.tran = None
        self.tran_card = None
        self.requests = []
        self.iv = []
        self.options = Options()
        self.notices = []
        self._read(source.cards)
        self._compile()

    # -- reading ---------------------------------------------------------------

    def _read(self, cards):
        stack = [self.top]
        self._file = None
        self._pending = []  # top-level control cards, read once the parameters are known
        for card in cards:
            here = stack[-1]
            if not card.control:
                self._element_card(here, card)
                continue
            keyword = card.keyword
            if keyword == ".SUBCKT":
                stack.append(self._subckt(here, card))
            elif keyword == ".ENDS":
                if len(stack) == 1:
                    raise card.words[0].error(".ends without a .subckt to end")
                if len(card.words) > 1 and card.words[1].upper != here.name:
                    raise card.words[1].error(f".ends {card.words[1].text} inside subcircuit "
                                              f"{here.name}", f".ends or .ends {here.name}")
                if len(card.words) > 2:
                    raise card.words[2].error(f"unexpected {card.words[2].text!r} after .ends")
                stack.pop()
            elif keyword == ".PARAM":
                self._param(here, card)
            elif keyword == ".MODEL":
                here.model_cards.append(card)
            elif keyword == ".END":
                pass
            elif keyword in TOP_CONTROLS:
                if len(stack) > 1:
                    raise card.words[0].error(f"{card.words[0].text} inside subcircuit "
                                              f"{here.name}", "it at the top level, outside "
                                              ".subckt ... .ends")
                self._pending.append(card)
            else:
                raise card.words[0].error(f"unknown control card {card.words[0].text}",
                                          f"one of {', '.join('.' + c.lower() for c in CONTROLS)}")
        if len(stack) > 1:
            raise stack[-1].card.words[0].error(f"subcircuit {stack[-1].name} is never closed",
                                                f".ends {stack[-1].name}")

    def _subckt(self, here, card):
        words = card.words
        if len(words) < 2 or words[1].is_pair:
            raise card.error(len(card.text), ".subckt needs a name", ".subckt NAME NODES...")
        name = words[1].upper
        ports = []
        for w in words[2:]:
            if w.is_pair:
                raise w.error("subcircuit parameters (NAME=VALUE on .subckt) are not supported",
                              ".param inside the subcircuit")
            ports.append(_node(w))
        seen = {}
        for w, p in zip(words[2:], ports):
            if p in seen and p != "0":
                raise w.error(f"port {p} is listed twice")
            seen[p] = w
        if name in here.subckts:
            first = here.subckts[name].card.position(0)
            raise words[1].error(f"subcircuit {name} is defined twice in {here.where} "
                                 f"(first at line {first.line})")
        sub = Definition(name, tuple(ports), here, card)
        here.subckts[name] = sub
        return sub

    def _param(self, here, card):
        text = card.text
        start = len(card.words[0].text) + card.words[0].offset
        found = list(_assignments(text, start))
        if not found or text[start:found[0][0]].strip():
            k = start + len(text[start:]) - len(text[start:].lstrip())
            raise card.error(k, ".param needs NAME=expression", ".param NAME=EXPRESSION")
        for n, (name_start, name_end, expr_start) in enumerate(found):
            expr_end = found[n + 1][0] if n + 1 < len(found) else len(text)
            here.scope.define(Word(card, name_start, text[name_start:name_end]), card,
                              expr_start, expr_end)

    def _element_card(self, here, card):
        label = card.words[0]
        kind = label.upper[0]
        if kind not in ELEMENT_KINDS:
            raise label.error(f"unknown element {label.text!r}: no element kind starts with "
                              f"{label.text[0]!r}",
                              f"a label starting with one of {' '.join(ELEMENT_KINDS)}")
        if label.is_pair or "|" in label.text:
            raise label.error(f"{label.text!r} is no element label",
                              "a label without '=' and '|' ('|' joins hierarchical names)")
        if label.upper in here.labels:
            first = here.labels[label.upper].position(0)
            raise label.error(f"{label.upper} is defined twice in {here.where} "
                              f"(first at line {first.line})")
        here.labels[label.upper] = card
        here.cards.append(card)

    # -- compiling -------------------------------------------------------------

    def _compile(self):
        top = self.top.scope
        for name, value in self.overrides.items():
            # A value given from outside replaces the parameter's expression,
            # and every expression that uses it sees the new value.
            if name not in top.defs:
                known = ", ".join(top.defs) or "none"
                raise NetlistError(f"no .param {name} at the top level of the netlist to give "
                                   f"a value to (its parameters: {known})")
            top.values[name] = value
        for d in self.top.all():
            d.scope.resolve_all()
        for d in self.top.all():
            for card in d.model_cards:
                name, model = parse_model(card, d.scope)
                if name in d.models:
                    first = d.models[name].card.position(0)
                    raise card.words[1].error(f"model {name} is defined twice in {d.where} "
                                              f"(first at line {first.line})")
                d.models[name] = model
        for d in self.top.all():
            d.protos = [self._proto(d, card) for card in d.cards]
        for card in self._pending:
            self._control(card)

    def _control(self, card):
        keyword, scope = card.keyword, self.top.scope
        if keyword == ".TRAN":
            if self.tran is not None:
                raise card.words[0].error("a second .tran", "one .tran "
                                          f"(the first is at line {self.tran_card.position(0).line})")
            self.tran = controls.parse_tran(card, scope)
            self.tran_card = card
        elif keyword in (".PRINT", ".PLOT", ".SAVE"):
            outputs.parse_request(card, self._file, self.requests)
        elif keyword == ".FILE":
            if len(card.words) != 2:
                raise card.error(len(card.text), ".file takes one path", ".file PATH")
            self._file = card.words[1].text
        elif keyword == ".IV":
            request = controls.parse_iv(card, scope)
            if self.top.find_model(request.model) is None:
                raise request.word.error(f"no model {request.model} at the top level",
                                         "the name of a .model outside any subcircuit")
            self.iv.append(request)
        else:
            controls.parse_option(card, scope, self.options, self.notices)

    def _proto(self, d, card):
        words = card.words
        label = words[0]
        kind = label.upper[0]
        positional, pairs = [], []
        for w in words[1:]:
            (pairs if w.is_pair else positional).append(w)
        if kind == "X":
            return self._instance(d, card, positional, pairs)
        if kind in "VIP":
            if len(positional) < 2:
                raise _short(card, f"{label.text} needs two nodes and a source",
                             f"{label.text} N+ N- SOURCE")
            nodes = tuple(_node(w) for w in positional[:2])
            _distinct(label, positional[:2], nodes)
            source = parse_source(words[1 + 2:], d.scope, label)
            return Proto(kind, label.upper, nodes, card, source=source)
        if kind == "K":
            if pairs or len(positional) != 3:
                raise _short(card, f"{label.text} needs two inductors and a coupling factor",
                             f"{label.text} L1 L2 K")
            a, b = positional[0].upper, positional[1].upper
            for w in positional[:2]:
                if w.upper not in d.labels or w.upper[0] != "L":
                    raise w.error(f"no inductor {w.upper} in {d.where}",
                                  "the labels of two inductors of the same (sub)circuit")
            if a == b:
                raise positional[1].error(f"{label.text} couples {a} with itself")
            return Proto(kind, label.upper, (a, b), card, value=d.scope.value_of(positional[2]))
        if kind == "T":
            return self._tline(d, card, positional, pairs)
        if kind in "EFGH":
            if pairs or len(positional) != 5:
                raise _short(card, f"{label.text} needs four nodes and a value",
                             f"{label.text} N+ N- NC+ NC- VALUE")
            nodes = tuple(_node(w) for w in positional[:4])
            return Proto(kind, label.upper, nodes, card, value=d.scope.value_of(positional[4]))
        # R L C B
        allowed = ELEMENT_KEYS[kind]
        settings = {}
        for w in pairs:
            key = w.key.upper
            if key not in allowed:
                raise w.key.error(f"unknown key {w.key.text!r} for a {ELEMENT_KINDS[kind]}",
                                  f"one of {', '.join(k.lower() + '=' for k in allowed)}")
            if key in settings:
                raise w.key.error(f"{w.key.text} is given twice")
            settings[key] = (w, d.scope.value_of(w.value))
        if kind == "B":
            return self._junction(d, card, positional, settings)
        if len(positional) < 3:
            raise _short(card, f"{label.text} needs two nodes and a value",
                         f"{label.text} N+ N- VALUE")
        for w in positional[3:]:
            if w.upper not in LAYOUT_FLAGS:
                raise w.error(f"unexpected {w.text!r} after the value of {label.text}",
                              f"nothing, or {', '.join(k.lower() + '=...' for k in allowed)}")
        nodes = tuple(_node(w) for w in positional[:2])
        _distinct(label, positional[:2], nodes)
        extra = {k.lower(): v for k, (_, v) in settings.items()}
        return Proto(kind, label.upper, nodes, card, value=d.scope.value_of(positional[2]),
                     extra=extra)

    def _junction(self, d, card, positional, settings):
        label = card.words[0]
        if len(positional) not in (3, 4):
            raise _short(card, f"{label.text} needs two nodes and a model",
                         f"{label.text} N+ N- [PHASE-NODE] MODEL [area=A | ic=I]")
        nodes = tuple(_node(w) for w in positional[:2])
        _distinct(label, positional[:2], nodes)
        model_word = positional[-1]
        model = d.find_model(model_word.upper)
        if model is None:
            known = sorted({m for x in _chain(d) for m in x.models})
            raise model_word.error(f"no junction model {model_word.upper} in {d.where}"
                                   f"{' or around it' if d.parent else ''}",
                                   f"a .model NAME jj(...) ({', '.join(known) or 'none defined'})")
        if "AREA" in settings and "IC" in settings:
            raise settings["IC"][0].error("give area= or ic=, not both")
        area, where = 1.0, None
        if "AREA" in settings:
            where, area = settings["AREA"]
        elif "IC" in settings:
            where, ic = settings["IC"]
            area = ic / model.values["ICRIT"]
        if not area > 0 or area == float("inf"):
            raise where.value.error(f"the junction's area must be positive (got {area:g})")
        extra = {k.lower(): v for k, (_, v) in settings.items() if k not in ("AREA", "IC")}
        return Proto("B", label.upper, nodes, card, value=area, model=model, extra=extra)

    def _tline(self, d, card, positional, pairs):
        label = card.words[0]
        flags = [w for w in positional[4:]]
        for w in flags:
            if w.upper != "LOSSLESS":
                raise w.error(f"unexpected {w.text!r} in {label.text}", "LOSSLESS, TD= or Z0=")
        if len(positional) < 4:
            raise _short(card, f"{label.text} needs four nodes",
                         f"{label.text} P1+ P1- P2+ P2- TD=DELAY Z0=IMPEDANCE")
        extra = {}
        for w in pairs:
            key = w.key.upper
            if key not in ("TD", "Z0") or key in extra:
                raise w.key.error(f"unexpected {w.key.text!r} in {label.text}", "TD= and Z0=")
            extra[key] = d.scope.value_of(w.value)
        for key in ("TD", "Z0"):
            if key not in extra:
                raise _short(card, f"{label.text} has no {key}=", f"TD=DELAY Z0=IMPEDANCE")
        nodes = tuple(_node(w) for w in positional[:4])
        return Proto("T", label.upper, nodes, card, extra=extra)

    def _instance(self, d, card, positional, pairs):
        label = card.words[0]
        if not positional:
            raise _short(card, f"{label.text} needs a subcircuit and its nodes",
                         f"{label.text} SUBCKT NODES... or {label.text} NODES... SUBCKT")
        first, last = positional[0], positional[-1]
        by_first, by_last = d.find_subckt(first.upper), d.find_subckt(last.upper)
        if by_first is not None and (by_last is None or len(by_first.ports) == len(positional) - 1
                                     or len(by_last.ports) != len(positional) - 1):
            sub, node_words = by_first, positional[1:]
        elif by_last is not None:
            sub, node_words = by_last, positional[:-1]
        else:
            raise label.error(f"{label.text}: neither {first.text!r} nor {last.text!r} is a "
                              f"subcircuit known in {d.where}",
                              "a subcircuit name first (X1 NAME NODES...) or last "
                              "(X1 NODES... NAME)")
        if len(node_words) != len(sub.ports):
            raise label.error(f"{label.text}: subcircuit {sub.name} has {len(sub.ports)} "
                              f"port{'s' if len(sub.ports) != 1 else ''} "
                              f"({' '.join(sub.ports)}), but {len(node_words)} "
                              f"node{'s are' if len(node_words) != 1 else ' is'} given")
        nodes = tuple(_node(w) for w in node_words)
        for port, node, w in zip(sub.ports, nodes, node_words):
            if port == "0" and node != "0":
                raise w.error(f"port {port} of subcircuit {sub.name} is ground; only ground "
                              f"can connect to it (got node {node})")
        overrides = {}
        for w in pairs:
            target = w.key.upper
            card_of = sub.labels.get(target)
            if card_of is None:
                raise w.key.error(f"no element {target} in subcircuit {sub.name} to give a "
                                  "value to", "LABEL=VALUE for an element directly inside it")
            if target[0] not in "RLCKB":
                raise w.key.error(f"{target} is a {ELEMENT_KINDS[target[0]]}, which has no "
                                  "single value to replace",
                                  "a resistor, inductor, capacitor, coupling or junction (area)")
            overrides[target] = d.scope.value_of(w.value)
        return Proto("X", label.upper, nodes, card, subckt=sub, overrides=overrides or None)


def _chain(d):
    while d is not None:
        yield d
        d = d.parent


def _short(card, message, form):
    return card.error(len(card.text), message, form)


def _node(word):
    if word.is_pair or "|" in word.text or "(" in word.text:
        raise word.error(f"{word.text!r} is no node name",
                         "a node name without '=', '(' and '|' ('|' joins hierarchical names)")
    name = word.upper
    return "0" if name in GROUND_NAMES else name


def _distinct(label, words, nodes):
    if nodes[0] == nodes[1]:
        raise words[1].error(f"{label.text} has both terminals on node {nodes[0]}")


def _assignments(text, start):
    """(name start, name end, expression start) of each NAME= at parenthesis depth 0."""
    depth = 0
    name = _ASSIGNED
    k = start
    while k < len(text):
        c = text[k]
        if c in "({[":
            depth += 1
        elif c in ")}]":
            depth -= 1
        elif depth == 0 and (c.isalpha() or c == "_") and (k == start or not (
                text[k - 1].isalnum() or text[k - 1] in "_.")):
            m = name.match(text, k)
            if m:
                end = m.group().rstrip("= \t")
                yield k, k + len(end), m.end()
                k = m.end()
                continue
        k += 1


_ASSIGNED = re.compile(r"[A-Za-z_][A-Za-z0-9_]*\s*=(?!=)")
