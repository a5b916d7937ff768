"""Where a netlist goes wrong: positions, errors and notices.

An error names the file, line and column, shows the offending line with a
caret under the column, and says what was expected:

    jtl.cir:12:20: undefined parameter SCALE
        .param junction = 5 * scale
                              ^
      expected: a number, a parameter defined with .param, or a constant
"""

from dataclasses import dataclass


@dataclass(frozen=True)
class Position:
    """A place in a netlist file: path (or "<text>"), 1-based line and column."""

    path: str
    line: int
    column: int
    text: str  # the physical line, for showing it

    def __str__(self):
        return f"{self.path}:{self.line}:{self.column}"

    def excerpt(self):
        """The line and a caret under the column (tabs kept, so they line up)."""
        shown = self.text.rstrip("\r\n")
        lead = "".join(c if c == "\t" else " " for c in shown[: self.column - 1])
        return f"    {shown}\n    {lead}^"


class NetlistError(ValueError):
    """A netlist that cannot be read or built, with where and what was expected."""

    def __init__(self, message, position=None, expected=None):
        self.message, self.position, self.expected = message, position, expected
        super().__init__(self._render())

    def _render(self):
        if self.position is None:
            text = self.message
        else:
            text = f"{self.position}: {self.message}\n{self.position.excerpt()}"
        if self.expected:
            text += f"\n  expected: {self.expected}"
        return text


class NetlistWarning(UserWarning):
    """Something in a netlist that is read but not (yet) acted on, or that
    cannot be honoured; the run goes on."""


def notice(message, position=None):
    """The text of a warning about a place in the netlist."""
    return f"{position}: {message}" if position is not None else message
