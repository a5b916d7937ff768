"""Expressions of parameters and values: our own small grammar, evaluated
here (never by Python's eval).

    expr    := term (("+" | "-") term)*
    term    := unary (("*" | "/") unary)*
    unary   := ("+" | "-") unary | power
    power   := atom (("^" | "**") unary)?          right-associative; -2^2 = -4
    atom    := number | name | name "(" expr ("," expr)* ")" | "(" expr ")"

Numbers take SI suffixes (quenda/circuit/units.py). A name is a parameter (the scope
resolves it) or, failing that, one of the constants below, in any case.
Every error points at the character where the expression went wrong.
"""

import math
import re

from ..circuit.units import match_number

PHI_ZERO = 2.067833831170082e-15

#: Constants of the dialect, by upper-case name.
CONSTANTS = {
    "PI": math.pi,
    "PHI_ZERO": PHI_ZERO,
    "BOLTZMANN": 1.38064852e-23,
    "EV": 1.6021766208e-19,
    "HBAR": 1.0545718001391127e-34,
    "C": 299792458.0,
    "MU0": 12.566370614e-7,
    "EPS0": 8.854187817e-12,
    "SIGMA": 3.291059757e-16,
}


def _min(*a):
    return min(a)


def _max(*a):
    return max(a)


#: Functions by upper-case name: (implementation, fewest and most arguments).
FUNCTIONS = {
    "SIN": (math.sin, 1, 1), "COS": (math.cos, 1, 1), "TAN": (math.tan, 1, 1),
    "ASIN": (math.asin, 1, 1), "ACOS": (math.acos, 1, 1), "ATAN": (math.atan, 1, 1),
    "ATAN2": (math.atan2, 2, 2), "SINH": (math.sinh, 1, 1), "COSH": (math.cosh, 1, 1),
    "TANH": (math.tanh, 1, 1), "EXP": (math.exp, 1, 1), "LOG": (math.log, 1, 1),
    "LN": (math.log, 1, 1), "LOG10": (math.log10, 1, 1), "SQRT": (math.sqrt, 1, 1),
    "ABS": (abs, 1, 1), "POW": (math.pow, 2, 2), "MIN": (_min, 1, 64), "MAX": (_max, 1, 64),
    "FLOOR": (math.floor, 1, 1), "CEIL": (math.ceil, 1, 1),
}

WHAT_A_VALUE_IS = ("a number (SI suffixes allowed), a parameter, a constant "
                   f"({', '.join(CONSTANTS)}), or an expression of them")

_NAME = re.compile(r"[A-Za-z_][A-Za-z0-9_]*")
_OPERATORS = ("**", "+", "-", "*", "/", "^", "(", ")", ",")


class _Parser:
    """Recursive descent over text[start:end] of a card, building a tree of
    tuples: ("n", value) | ("v", NAME, offset) | ("neg", a) |
    (op, a, b, offset) | ("f", NAME, args, offset)."""

    def __init__(self, card, start, end):
        self.card, self.text, self.end = card, card.text, end
        self.k = start
        self.tokens = self._lex(start, end)
        self.i = 0

    def _lex(self, start, end):
        text, k, out = self.text, start, []
        while k < end:
            c = text[k]
            if c.isspace():
                k += 1
                continue
            if c.isdigit() or (c == "." and k + 1 < end and text[k + 1].isdigit()):
                found = match_number(text[:end], k)
                out.append(("n", found[0], k))
                k = found[1]
                continue
            m = _NAME.match(text, k, end)
            if m:
                out.append(("v", m.group().upper(), k))
                k = m.end()
                continue
            op = next((o for o in _OPERATORS if text.startswith(o, k)), None)
            if op is None:
                raise self.card.error(k, f"unexpected {c!r} in an expression",
                                      "numbers, names, + - * / ^ and parentheses")
            out.append((op, None, k))
            k += len(op)
        out.append(("end", None, end))
        return out

    def peek(self):
        return self.tokens[self.i]

    def take(self):
        t = self.tokens[self.i]
        self.i += 1
        return t

    def fail(self, token, expected):
        kind, value, k = token
        found = "the end of the expression" if kind == "end" else repr(
            self.text[k:k + len(kind)] if kind not in ("n", "v") else _spelling(self.text, k, kind))
        return self.card.error(k, f"unexpected {found}", expected)

    def parse(self):
        tree = self.expr()
        if self.peek()[0] != "end":
            raise self.fail(self.peek(), "an operator (+ - * / ^) or the end of the expression")
        return tree

    def expr(self):
        tree = self.term()
        while self.peek()[0] in ("+", "-"):
            op, _, k = self.take()
            tree = (op, tree, self.term(), k)
        return tree

    def term(self):
        tree = self.unary()
        while self.peek()[0] in ("*", "/"):
            op, _, k = self.take()
            tree = (op, tree, self.unary(), k)
        return tree

    def unary(self):
        kind = self.peek()[0]
        if kind == "-":
            self.take()
            return ("neg", self.unary())
        if kind == "+":
            self.take()
            return self.unary()
        return self.power()

    def power(self):
        base = self.atom()
        if self.peek()[0] in ("^", "**"):
            _, _, k = self.take()
            return ("^", base, self.unary(), k)
        return base

    def atom(self):
        kind, value, k = self.take()
        if kind == "n":
            return ("n", value)
        if kind == "v":
            if self.peek()[0] == "(":
                self.take()
                args = [self.expr()]
                while self.peek()[0] == ",":
                    self.take()
                    args.append(self.expr())
                if self.peek()[0] != ")":
                    raise self.fail(self.peek(), "',' or ')' in the arguments of "
                                    f"{value.lower()}()")
                self.take()
                return ("f", value, args, k)
            return ("v", value, k)
        if kind == "(":
            tree = self.expr()
            if self.peek()[0] != ")":
                raise self.fail(self.peek(), "')'")
            self.take()
            return tree
        self.i -= 1
        raise self.fail(self.peek(), WHAT_A_VALUE_IS)


def _spelling(text, k, kind):
    if kind == "v":
        return _NAME.match(text, k).group()
    return match_number_text(text, k)


def match_number_text(text, k):
    return text[k:match_number(text, k)[1]]


def parse(card, start, end):
    """The tree of the expression card.text[start:end]."""
    if start >= end or not card.text[start:end].strip():
        raise card.error(start, "empty expression", WHAT_A_VALUE_IS)
    return _Parser(card, start, end).parse()


def names_in(tree):
    """The (NAME, offset) pairs the expression refers to."""
    kind = tree[0]
    if kind == "v":
        yield tree[1], tree[2]
    elif kind == "neg":
        yield from names_in(tree[1])
    elif kind == "f":
        for a in tree[2]:
            yield from names_in(a)
    elif kind != "n":
        yield from names_in(tree[1])
        yield from names_in(tree[2])


def evaluate(tree, card, lookup):
    """The value of a tree; lookup(NAME, card, offset) gives a name's value."""
    kind = tree[0]
    if kind == "n":
        return tree[1]
    if kind == "v":
        return lookup(tree[1], card, tree[2])
    if kind == "neg":
        return -evaluate(tree[1], card, lookup)
    if kind == "f":
        name, args, k = tree[1], tree[2], tree[3]
        entry = FUNCTIONS.get(name)
        if entry is None:
            raise card.error(k, f"unknown function {name.lower()}()",
                             f"one of {', '.join(f.lower() for f in FUNCTIONS)}")
        fn, least, most = entry
        if not least <= len(args) <= most:
            count = str(least) if least == most else f"{least} or more"
            raise card.error(k, f"{name.lower()}() takes {count} argument"
                             f"{'s' if most > 1 else ''}, not {len(args)}")
        values = [evaluate(a, card, lookup) for a in args]
        try:
            return float(fn(*values))
        except (ValueError, OverflowError) as err:
            raise card.error(k, f"{name.lower()}({', '.join(f'{v:g}' for v in values)}): "
                             f"{err}") from None
    a = evaluate(tree[1], card, lookup)
    b = evaluate(tree[2], card, lookup)
    k = tree[3]
    if kind == "+":
        return a + b
    if kind == "-":
        return a - b
    if kind == "*":
        return a * b
    if kind == "/":
        if b == 0:
            raise card.error(k, f"division by zero ({a:g} / 0)")
        return a / b
    try:
        result = math.pow(a, b)
    except (ValueError, OverflowError) as err:
        raise card.error(k, f"{a:g} ^ {b:g}: {err}") from None
    return result
