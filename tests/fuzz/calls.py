"""One call into a native module, made the way a careless or hostile caller
would make it, and the checks every call must pass whatever it was given:

- it returns or raises an ordinary exception (SystemError means the module
  broke the C API's error protocol and counts as a fault, as does anything
  that is not an Exception);
- a call that raised leaves the reference counts of its arguments as they
  were (no buffer or reference kept on an error path), and leaves the arrays
  it was handed unchanged where it promises to check before it writes;
- no write lands outside the arrays handed out (Gen.check_guards).
"""

import array
import ctypes
import gc
import sys

import numpy as np

from hostile import HOOKS, FloatLike, IntLike, Seq

PyObject_Call = ctypes.pythonapi.PyObject_Call
PyObject_Call.restype = ctypes.py_object
PyObject_Call.argtypes = [ctypes.py_object, ctypes.py_object, ctypes.py_object]

TRACKED = (np.ndarray, array.array, bytearray, Seq, IntLike, FloatLike)


class Fault(AssertionError):
    """A call broke one of the rules above."""


class Key(str):
    """A keyword name that is a str subclass."""


class Caller:
    def __init__(self, gen, log=None):
        self.gen = gen
        self.log = log
        self.calls = 0
        self.raised = 0

    def mangle(self, args, names):
        """args as given, or with the count, the keywords or their names
        changed. Returns (positional, keywords, through_dict): the last asks
        for a call through PyObject_Call with a dict, whose keys need not be
        strings."""
        g = self.gen
        args = list(args)
        if names is None or g.ok():
            return args, {}, False
        kind = g.rng.randrange(8)
        n = len(args)
        if kind == 0 and n:  # too few
            return args[: g.rng.randrange(n)], {}, False
        if kind == 1:  # too many
            return args + [g.weird_int() for _ in range(g.rng.randint(1, 3))], {}, False
        split = g.rng.randint(0, n)
        kw = {Key(k) if g.chance(0.2) else k: v for k, v in zip(names[split:], args[split:])}
        pos = args[:split]
        if kind == 2 and kw:  # one keyword missing
            kw.pop(g.pick(list(kw)))
        elif kind == 3:  # an unknown keyword
            kw[g.pick(["x", "self", "ind_zz", "A3", "", "eindex "])] = 0
        elif kind == 4 and split:  # a value both by position and by keyword
            kw[names[g.rng.randrange(split)]] = args[0]
        elif kind == 5:  # a keyword that is not a string
            kw[g.pick([1, None, b"i", (1,)])] = 0
            return pos, kw, True
        elif kind == 6:
            return pos, dict(reversed(list(kw.items()))), g.chance(0.5)
        return pos, kw, False

    def __call__(self, fn, *args, names=None, watch=(), retains=False, label=None):
        """Calls fn(*args), mangled when names are given. watch: arrays a
        failing call must leave as they were. retains: a successful call may
        keep references to its arguments."""
        pos, kw, through_dict = self.mangle(args, names)
        label = label or getattr(fn, "__qualname__", repr(fn))
        if self.log:
            self.log(f"call {label} {len(pos)} positional, keywords {list(kw)}"
                     f"{' (dict)' if through_dict else ''}")
        snapshots = [(a, a.tobytes()) for a in watch if isinstance(a, np.ndarray)]
        tracked = [o for o in list(pos) + list(kw.values()) if isinstance(o, TRACKED)]
        refs = [sys.getrefcount(o) for o in tracked]
        fired = HOOKS.fired
        self.calls += 1
        # No collection between the two counts but those a call makes itself.
        gc.disable()
        try:
            failed = self.invoke(fn, pos, kw, through_dict, label)
            after = [sys.getrefcount(o) for o in tracked]
        finally:
            gc.enable()
        self.gen.check_guards()
        if HOOKS.fired != fired or (retains and not failed):
            return not failed
        if after != refs:
            raise Fault(f"{label}: argument reference counts {refs} became {after}")
        if failed:
            for a, before in snapshots:
                if a.tobytes() != before:
                    raise Fault(f"{label} raised but changed an array it was handed")
        return not failed

    def invoke(self, fn, pos, kw, through_dict, label):
        """Makes the call; True when it raised an ordinary exception."""
        try:
            if through_dict:
                PyObject_Call(fn, tuple(pos), kw)
            else:
                fn(*pos, **kw)
        except SystemError as e:
            raise Fault(f"{label}: SystemError {e}") from e
        except Exception as e:  # noqa: BLE001 - any ordinary exception is an answer
            self.raised += 1
            if self.log:
                self.log(f"  raised {type(e).__name__}: {str(e)[:160]}")
            return True
        return False


def play(world, rng):
    """Runs 1 to 12 random steps of a world; returns the calls it made."""
    for _ in range(rng.randint(1, 12)):
        world.step()
    HOOKS.actions = []
    return world.call.calls
