""".param scopes: parameters defined in any order, resolved on demand.

The netlist's top level is one scope and every .subckt one more, inside the
scope of the definition that contains it. A name is looked up in its own
scope, then outwards, then among the constants; a parameter's expression is
evaluated in the scope that defines it. Forward references resolve by
evaluating on first use; a parameter that needs itself, or a name defined
nowhere, is an error that names it. Every parameter is resolved once the
netlist is read, used or not, so that no error hides in an unused one.
"""

from . import expressions
from .expressions import CONSTANTS
from ..circuit.units import parse_si


class Scope:
    def __init__(self, parent=None, where="the top level"):
        self.parent = parent
        self.where = where
        self.defs = {}  # NAME -> (card, start, end, name word)
        self.values = {}
        self._resolving = []

    def define(self, name_word, card, start, end):
        name = name_word.upper
        if name in self.defs:
            first = self.defs[name][3].position()
            raise name_word.error(f"parameter {name} is defined twice in {self.where} "
                                  f"(first at line {first.line})")
        self.defs[name] = (card, start, end, name_word)

    def lookup(self, name, card, offset):
        scope = self
        while scope is not None:
            if name in scope.values:
                return scope.values[name]
            if name in scope.defs:
                return scope._resolve(name)
            scope = scope.parent
        if name in CONSTANTS:
            return CONSTANTS[name]
        raise card.error(offset, f"undefined parameter {name}",
                         f"a .param of {self.where}{' or around it' if self.parent else ''}, "
                         "a constant "
                         f"({', '.join(CONSTANTS)}), or a number")

    def _resolve(self, name):
        card, start, end, word = self.defs[name]
        if name in self._resolving:
            chain = self._resolving[self._resolving.index(name):] + [name]
            raise word.error(f"parameter {name} depends on itself ({' -> '.join(chain)})")
        self._resolving.append(name)
        try:
            value = expressions.evaluate(expressions.parse(card, start, end), card, self.lookup)
        finally:
            self._resolving.pop()
        self.values[name] = value
        return value

    def resolve_all(self):
        for name in self.defs:
            if name not in self.values:
                self._resolve(name)

    def value_of(self, word):
        """The value of a word: a number, a parameter, {expression} or an expression."""
        text = word.text
        number = parse_si(text)
        if number is not None:
            return number
        start, end = word.offset, word.offset + len(text)
        if text.startswith("{") and text.endswith("}"):
            start, end = start + 1, end - 1
        card = word.card
        return expressions.evaluate(expressions.parse(card, start, end), card, self.lookup)
