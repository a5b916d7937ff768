"""From netlist text to cards: logical lines with their words and positions.

The first non-blank character of a physical line decides what it is: `*` or
`#` a comment, `+` the continuation of the previous card, `.` a control
card, anything else an element card. Between `.control` and `.endc` every
line is a control card, with or without its dot. `.include` reads another
file (relative to the including one) in place; `.end` ends the file it is in.

A card keeps its original text (paths keep their case; names are upper-cased
where they are interpreted) and knows, for every character, the file, line
and column it came from, so that any part of it can be pointed at.

Words are split at white space outside (), [] and {}; `key = value` with
blanks around the `=` is one word, a pair.
"""

import bisect
import os
from dataclasses import dataclass, field
from pathlib import Path

from .errors import NetlistError, Position


@dataclass
class Line:
    path: str
    number: int
    text: str


class Card:
    """A logical line: text joined from its physical lines, and their places."""

    __slots__ = ("text", "starts", "places", "control", "words")

    def __init__(self, line, column0, text, control):
        self.text = text
        self.starts = [0]  # offset in text where each physical piece starts
        self.places = [(line, column0)]
        self.control = control
        self.words = None

    def extend(self, line, column0, text):
        self.text += " "
        self.starts.append(len(self.text))
        self.places.append((line, column0))
        self.text += text

    def position(self, offset):
        k = bisect.bisect_right(self.starts, offset) - 1
        line, column0 = self.places[k]
        return Position(line.path, line.number, column0 + (offset - self.starts[k]) + 1, line.text)

    def error(self, offset, message, expected=None):
        return NetlistError(message, self.position(offset), expected)

    @property
    def keyword(self):
        """The first word, upper-cased: the element label or the control name."""
        return self.words[0].upper

    def split(self):
        # A .param card is read from its text: its expressions may hold blanks.
        raw = self.control and self.text[:6].upper() == ".PARAM"
        self.words = split_words(self, 0, len(self.text), pairs=not raw)
        return self


@dataclass
class Word:
    """A word of a card: its text and where it starts; a pair also has its key
    and value words."""

    card: Card
    offset: int
    text: str
    key: "Word" = None
    value: "Word" = None
    upper: str = field(init=False)

    def __post_init__(self):
        self.upper = self.text.upper()

    @property
    def is_pair(self):
        return self.key is not None

    def position(self, k=0):
        return self.card.position(self.offset + k)

    def error(self, message, expected=None, k=0):
        return self.card.error(self.offset + k, message, expected)


_OPEN = {"(": ")", "[": "]", "{": "}"}
_CLOSE = {v: k for k, v in _OPEN.items()}


def split_words(card, start, end, commas=False, pairs=True):
    """The words of card.text[start:end]; with commas, a comma separates too;
    with pairs, `key = value` is joined into one word."""
    text = card.text
    words, stack = [], []
    begin = None
    for k in range(start, end):
        c = text[k]
        if not stack and (c.isspace() or (commas and c == ",")):
            if begin is not None:
                words.append(Word(card, begin, text[begin:k]))
                begin = None
            continue
        if begin is None:
            begin = k
        if c in _OPEN:
            stack.append((c, k))
        elif c in _CLOSE:
            if not stack or stack[-1][0] != _CLOSE[c]:
                raise card.error(k, f"unbalanced '{c}'",
                                 f"a matching '{_CLOSE[c]}' before it" if not stack
                                 else f"'{_OPEN[stack[-1][0]]}' to close the "
                                      f"'{stack[-1][0]}' opened before it")
            stack.pop()
    if stack:
        opener, k = stack[-1]
        raise card.error(k, f"'{opener}' is never closed", f"a matching '{_OPEN[opener]}'")
    if begin is not None:
        words.append(Word(card, begin, text[begin:end]))
    return _pairs(words) if pairs else words


def _pairs(words):
    """Joins `key = value`, `key= value` and `key =value` into pairs."""
    out, k = [], 0
    while k < len(words):
        w = words[k]
        if w.text.startswith("="):
            if not out or out[-1].is_pair:
                raise w.error("'=' without a name before it", "NAME=VALUE")
            key = out.pop()
            value = Word(w.card, w.offset + 1, w.text[1:]) if len(w.text) > 1 else None
            k += 1
            if value is None:
                if k >= len(words):
                    raise w.error(f"no value after '{key.text}='", f"{key.text}=VALUE")
                value = words[k]
                k += 1
            out.append(_pair(key, value))
            continue
        eq = _top_level_equals(w.text)
        if eq is not None:
            key = Word(w.card, w.offset, w.text[:eq])
            if not key.text:
                raise w.error("'=' without a name before it", "NAME=VALUE")
            if eq + 1 < len(w.text):
                value = Word(w.card, w.offset + eq + 1, w.text[eq + 1:])
                k += 1
            else:
                if k + 1 >= len(words):
                    raise w.error(f"no value after '{key.text}='", f"{key.text}=VALUE", eq)
                value = words[k + 1]
                k += 2
            out.append(_pair(key, value))
            continue
        out.append(w)
        k += 1
    return out


def _top_level_equals(text):
    depth = 0
    for k, c in enumerate(text):
        if c in _OPEN:
            depth += 1
        elif c in _CLOSE:
            depth -= 1
        elif c == "=" and depth == 0:
            return k
    return None


def _pair(key, value):
    w = Word(key.card, key.offset, f"{key.text}={value.text}", key, value)
    return w


# -- reading files -------------------------------------------------------------


class Source:
    """The cards of a netlist and what was read to get them."""

    def __init__(self):
        self.cards = []
        self.title = None
        self.files = []  # resolved paths, in reading order


def read_source(path_or_text):
    """Reads a netlist file (a path) or netlist text (a string with a line break)."""
    src = Source()
    if isinstance(path_or_text, os.PathLike) or (isinstance(path_or_text, str)
                                                 and "\n" not in path_or_text):
        path = Path(path_or_text)
        if not path.is_file():
            raise NetlistError(f"no netlist file {str(path)!r}" if not path.exists()
                               else f"{str(path)!r} is not a file")
        _read_file(src, path, [], None)
    elif isinstance(path_or_text, str):
        _read_text(src, path_or_text, "<text>", Path.cwd(), [])
    else:
        raise TypeError("read_netlist takes a path or the netlist text "
                        f"(got {type(path_or_text).__name__})")
    return src


def _read_file(src, path, stack, position):
    resolved = path.resolve()
    if resolved in stack:
        chain = " -> ".join(p.name for p in [*stack, resolved])
        raise NetlistError(f"{path} includes itself ({chain})", position)
    try:
        text = path.read_text(encoding="utf-8", errors="replace")
    except OSError as err:
        raise NetlistError(f"cannot read {str(path)!r}: {err.strerror or err}", position) from None
    src.files.append(resolved)
    _read_text(src, text, str(path), path.parent, [*stack, resolved])


def _read_text(src, text, name, directory, stack):
    cards = src.cards
    in_control = False
    previous = None  # the card a continuation extends
    for number, raw in enumerate(text.splitlines(), start=1):
        stripped = raw.lstrip()
        if not stripped:
            continue
        column0 = len(raw) - len(stripped)
        line = Line(name, number, raw)
        first = stripped[0]
        if first in "*#":
            # The title: the first comment with words in it before the first
            # card of the netlist itself (not a rule of '=' or '-', not a
            # commented-out card further down, not one in an included file).
            if src.title is None and previous is None and not src.cards and len(stack) <= 1:
                src.title = stripped.strip("*#=-_~ \t") or None
            continue
        if first == "+":
            if previous is None:
                raise NetlistError("a continuation line ('+') with no card before it to continue",
                                   Position(name, number, column0 + 1, raw),
                                   "an element or control card on an earlier line")
            previous.extend(line, column0 + 1, stripped[1:].rstrip())
            continue
        if previous is not None:
            _finish(src, previous, directory, stack)
            if previous.control and previous.keyword == ".END":
                return
        control = first == "." or in_control
        body = stripped.rstrip()
        card = Card(line, column0, body, control)
        if in_control and first != ".":
            # Controls without their dot: the keyword gets one, the columns stay.
            card.text = "." + body
            card.places = [(line, column0 - 1)]
        word = card.text.split(None, 1)[0].upper()
        if word == ".CONTROL":
            in_control = True
            previous = None
            continue
        if word == ".ENDC":
            if not in_control:
                raise card.error(0, ".endc without .control before it")
            in_control = False
            previous = None
            continue
        previous = card
    if in_control:
        raise NetlistError(f"{name}: .control block never closed", None, ".endc")
    if previous is not None:
        _finish(src, previous, directory, stack)


def _finish(src, card, directory, stack):
    """Splits a complete card into words and, for .include, reads the file in place."""
    card.split()
    if card.control and card.keyword in (".INCLUDE", ".INC", ".LIB"):
        if card.keyword == ".LIB":
            raise card.words[0].error(".lib is not supported", ".include PATH")
        if len(card.words) != 2:
            raise card.error(len(card.text), f"{card.words[0].text} takes one path",
                             ".include PATH")
        word = card.words[1]
        target = word.text.strip("\"'")
        path = Path(target)
        if not path.is_absolute():
            path = directory / path
        if not path.is_file():
            raise word.error(f"no file {target!r} to include (looked for {path})",
                             "a path relative to the including file")
        _read_file(src, path, stack, word.position())
        return
    src.cards.append(card)
