"""Output requests: .print, .plot and .save, and .file that sends the
requests after it to a file of their own.

    .print DEVV R1     .print DEVI R1     .print DEVP R1 / PHASE R1
    .print NODEV 1     .print NODEV 1 2   .print NODEP 1 [2]
    .plot v(1) v(1,2) v(R1) v(R1,R3) i(L1) c(L1) p(B1) p(1,0) @R3[c] @B1[p]

Each request is one column, named as the dialect names it (upper case, `.`
in hierarchical names given as `|`): V(C1), I(C1), P(C1), V(1), V(1,0),
V(1,2), P(1,2); @R3[c] is I(R3). A shorthand name is a device if there is
one of that name, else a node; of two names the column is their difference.
"""

from dataclasses import dataclass

from .errors import notice
from .lines import split_words

TYPED = {"DEVV": ("V", "device"), "DEVI": ("I", "device"), "DEVP": ("P", "device"),
         "PHASE": ("P", "device"), "NODEV": ("V", "node"), "NODEP": ("P", "node")}
SHORT = {"V": "V", "I": "I", "C": "I", "P": "P"}
AT = {"V": "V", "I": "I", "C": "I", "P": "P"}
FORMS = ("DEVV/DEVI/DEVP/PHASE DEVICE, NODEV/NODEP NODE [NODE], or v(X), v(X,Y), i(X), "
         "c(X), p(X), p(X,Y), @X[v|i|c|p]")


@dataclass
class Request:
    quantity: str  # "V", "I" or "P"
    names: tuple  # one or two names, upper case, as written
    target: str  # "device", "node" or "either"
    file: str  # None: the main output
    word: object  # the (first) name, for pointing at
    text: str = ""  # the request as written
    operands: tuple = ()  # after resolution: ("device" | "node", canonical name) each
    column: str = ""


def parse_request(card, file, requests):
    """Appends the requests of a .print, .plot or .save card."""
    words = card.words[1:]
    if not words:
        raise card.error(len(card.text), f"{card.words[0].text} without anything to output",
                         FORMS)
    typed = TYPED.get(words[0].upper)
    if typed:
        quantity, target = typed
        names = words[1:]
        most = 2 if target == "node" else 1
        what = "one or two nodes" if target == "node" else "one device"
        if not names or any(w.is_pair for w in names):
            raise words[0].error(f"{words[0].text} takes {what}", FORMS)
        if len(names) > most:
            raise names[most].error(f"{words[0].text} takes {what}, one request per card",
                                    FORMS)
        requests.append(Request(quantity, tuple(w.upper for w in names), target, file,
                                names[0], " ".join(w.text for w in words)))
        return
    for w in words:
        requests.append(_shorthand(w, file))


def _shorthand(word, file):
    text = word.text
    if text.startswith("@") and text.endswith("]") and "[" in text:
        name, kind = text[1:-1].split("[", 1)
        quantity = AT.get(kind.upper())
        if not name or quantity is None:
            raise word.error(f"cannot read the output request {text!r}", "@DEVICE[v|i|c|p]")
        return Request(quantity, (name.upper(),), "device", file, word, text)
    paren = text.find("(")
    quantity = SHORT.get(text[:paren].upper()) if paren > 0 else None
    if quantity is None or not text.endswith(")"):
        raise word.error(f"unknown output request {text!r}", FORMS)
    inner = split_words(word.card, word.offset + paren + 1, word.offset + len(text) - 1,
                        commas=True)
    if not 1 <= len(inner) <= 2 or any(w.is_pair for w in inner):
        raise word.error(f"{text[:paren]}() takes one or two names", FORMS)
    if quantity == "I" and len(inner) == 2:
        raise inner[1].error("a current belongs to one device", "i(DEVICE)")
    return Request(quantity, tuple(w.upper for w in inner), "either", file, word, text)


def resolve(requests, circuit, warnings):
    """Requests whose names are all found, with their operands and columns,
    each column once per file; a request naming nothing known gets a warning
    and is left out."""
    devices = circuit.elements
    nodes = set(circuit.nodes)
    kept, seen = [], set()
    for r in requests:
        operands = []
        for name in r.names:
            found = _find(name, r, devices, nodes)
            if isinstance(found, str):
                warnings.append(notice(f"{found}; the request {r.text!r} is left out",
                                       r.word.position()))
                break
            operands.append(found)
        else:
            if r.quantity == "I" and operands[0][0] != "device":
                warnings.append(notice(f"{r.names[0]} is a node, and a current belongs to a "
                                       f"device; the request {r.text!r} is left out",
                                       r.word.position()))
                continue
            r.operands = tuple(operands)
            r.column = f"{r.quantity}({','.join(name for _, name in operands)})"
            if (r.file, r.column) not in seen:  # each column once per file
                seen.add((r.file, r.column))
                kept.append(r)
    return kept


def _find(name, request, devices, nodes):
    candidates = [name] if "." not in name else [name, name.replace(".", "|")]
    for c in candidates:
        if request.target != "node" and c in devices:
            return ("device", c)
        if request.target != "device":
            if c in ("0", "GND"):
                return ("node", "0")
            if c in nodes:
                return ("node", c)
    what = {"device": "device", "node": "node", "either": "device or node"}[request.target]
    return f"no {what} named {name}"
