"""What a Python caller can hand the native modules: numbers at and beyond
every limit, objects whose conversions fail or call back into the modules,
arrays of every element type, shape, layout and flag, and sequences that lie.

Everything is drawn from one random.Random, so a case replays exactly from
its seed. Arrays handed out as "good" are views into a larger buffer whose
margins hold a sentinel: a write outside the view is caught by check_guards
even in a build without the sanitizers.
"""

import array
import math

import numpy as np

INT_EDGES = [0, 1, 2, 3, 5, 8, -1, -2, 2**31 - 1, 2**31, -2**31, -2**31 - 1, 2**32 + 1,
             2**63 - 1, 2**63, -2**63, -2**63 - 1, 10**30, True, False]
FLOAT_EDGES = [0.0, -0.0, 1.0, -1.0, 0.5, 2.5, -3.9, 1e-300, 5e-324, 1e300, -1e300,
               math.inf, -math.inf, math.nan, 2.0**31, -2.0**31 - 1, 2.0**63, 1e20]
BAD_DTYPES = ["f4", "f2", "i4", "i8", "u1", "i1", "?", "c16", "c8", "u8", "u4", "i2", "O",
              ">f8", ">i4", "V8", "U2", "S8", "g", [("a", "f8")], ("f8", (2,))]
ARRAY_CODES = "bBuhHiIlLqQfd"
MARGIN = 3
# A signalling-NaN pattern no computation produces.
SENTINEL = np.array([0x7FF4DEADBEEF0001], dtype=np.uint64).view(np.float64)[0]


class Hooks:
    """Hostile actions that the objects below run when the modules call back
    into them (a conversion, an item access, a finaliser, a parameter
    refresh). A world arms them with its own actions; depth stops a hook
    from recursing without end."""

    def __init__(self):
        self.actions = []
        self.depth = 0
        self.rng = None
        self.fired = 0

    def fire(self):
        if not self.actions or self.depth >= 2 or self.rng is None:
            return
        self.depth += 1
        self.fired += 1
        try:
            self.rng.choice(self.actions)()
        except Exception:  # noqa: BLE001 - the hook's own failure is not the call's
            pass
        finally:
            self.depth -= 1


HOOKS = Hooks()


def answer(value):
    """value, or a fresh copy of it raised when it is an exception (raising the
    same instance again would tie it to the frames of its earlier raise)."""
    if isinstance(value, BaseException):
        raise type(value)(*value.args)
    return value


class Convertible:
    """A number by conversion, which may fail, return a non-number or call back."""

    def __init__(self, value, hook=False):
        self.value, self.hook = value, hook

    def convert(self):
        if self.hook:
            HOOKS.fire()
        return answer(self.value)


class IntLike(Convertible):
    __int__ = Convertible.convert


class FloatLike(Convertible):
    __float__ = Convertible.convert


class IndexOnly:
    def __index__(self):
        return 1


class Seq:
    """A sequence by item access whose items may fail or call back."""

    def __init__(self, items, hook=False, length=None):
        self.items, self.hook, self.length = items, hook, length

    def __getitem__(self, k):
        if self.hook:
            HOOKS.fire()
        return answer(self.items[k])

    def __len__(self):
        return len(self.items) if self.length is None else self.length


class NoLen:
    def __iter__(self):
        return iter(())


class HookBytes(bytearray):
    """Storage whose release (when the array over it goes) calls back."""

    def __del__(self):
        HOOKS.fire()


class SubArray(np.ndarray):
    """An ndarray subclass with an instance dictionary."""


class SubArrayModule(array.array):
    """An array.array subclass whose typecode lookup may call back."""

    def __getattribute__(self, name):
        if name == "typecode":
            HOOKS.fire()
        return super().__getattribute__(name)


class Gen:
    """Draws values from one random.Random."""

    def __init__(self, rng):
        self.rng = rng
        self.guards = []
        # How often a drawn value is wrong on purpose: low while a case lays
        # out its circuit, so that the drivers get to work on it, higher after.
        self.flaw = 0.3

    def chance(self, p):
        return self.rng.random() < p

    def ok(self):
        return not self.chance(self.flaw)

    def pick(self, seq):
        return self.rng.choice(seq)

    # ---- numbers --------------------------------------------------------

    def weird_int(self):
        r = self.rng.random()
        if r < 0.4:
            return self.pick(INT_EDGES)
        if r < 0.55:
            return self.pick([np.int32(3), np.int64(2**40), np.uint64(2**64 - 1), np.int8(-1),
                              np.float64(2.7), np.bool_(True)])
        if r < 0.7:
            return self.pick(FLOAT_EDGES)
        if r < 0.85:
            value = self.pick([1, -5, 2**40, 2.5, "3", None,
                               self.pick([ZeroDivisionError("int"), OverflowError("big")])])
            return IntLike(value, hook=self.chance(0.5))
        return self.pick([None, "1", b"1", 1j, IndexOnly(), [], object(), math.nan])

    def weird_float(self):
        r = self.rng.random()
        if r < 0.45:
            return self.pick(FLOAT_EDGES)
        if r < 0.6:
            return self.pick(INT_EDGES)
        if r < 0.7:
            return self.pick([np.float32(1.5), np.float64(-0.0), np.int64(7), np.array(2.0),
                              np.array([3.0])])
        if r < 0.85:
            value = self.pick([2.0, math.nan, 7, "x", ValueError("float")])
            return FloatLike(value, hook=self.chance(0.5))
        return self.pick([None, "2.0", 1 + 2j, object(), [1.0]])

    def index(self, limit):
        """A node number, branch row or element index: mostly valid below limit."""
        if self.ok():
            return self.rng.randrange(0, max(limit, 1))
        return self.weird_int()

    # ---- sequences ------------------------------------------------------

    def sequence(self, items):
        """items as a list, a tuple, an array or a sequence object, or something else."""
        r = self.rng.random()
        if r < 0.45:
            return list(items)
        if r < 0.55:
            return tuple(items)
        if r < 0.65:
            try:
                return np.array(items, dtype=self.pick(["f8", "f4", "i8", "O"]))
            except (TypeError, ValueError, OverflowError):
                return list(items)
        if r < 0.8:
            bad = list(items)
            if bad and self.chance(0.3):
                bad[self.rng.randrange(len(bad))] = IndexError("item")
            return Seq(bad, hook=self.chance(0.5), length=self.pick([None, 0, 10**6]))
        if r < 0.9:
            return list(items)[: self.rng.randrange(0, len(items) + 1)]
        return self.pick([None, "abc", b"\x01", {0: 1.0}, NoLen(), range(3), 5, object()])

    # ---- arrays ---------------------------------------------------------

    def guarded(self, n, dtype="f8", fill="random"):
        """A C-contiguous 1-D view of n items inside sentinel margins."""
        dtype = np.dtype(dtype)
        whole = np.empty(n + 2 * MARGIN, dtype=dtype)
        pad = whole.view(np.uint8)
        pad[:] = 0xA5
        if dtype == np.float64:
            whole[:] = SENTINEL
        view = whole[MARGIN:MARGIN + n]
        if fill == "random" and dtype.kind == "f":
            view[:] = [self.rng.uniform(-4, 4) for _ in range(n)]
        else:
            view[:] = 0
        self.guards.append((whole, whole.copy()))
        return view

    def check_guards(self):
        for whole, before in self.guards:
            lo = whole[:MARGIN].view(np.uint8)
            hi = whole[len(whole) - MARGIN:].view(np.uint8)
            assert (lo == before[:MARGIN].view(np.uint8)).all() and \
                (hi == before[len(before) - MARGIN:].view(np.uint8)).all(), \
                "a write landed outside the array it was handed"

    def array(self, n, dtype="f8"):
        """An ndarray argument of n items: mostly as the modules want it."""
        if self.ok():
            return self.guarded(n, dtype)
        r = self.rng.random()
        length = self.pick([0, 1, max(n - 1, 0), n + 2, n])
        if r < 0.2:
            dt = self.pick(BAD_DTYPES)
            try:
                return np.zeros(length, dtype=dt)
            except (TypeError, ValueError):
                return np.zeros(length, dtype="f4")
        if r < 0.3:
            return self.pick([np.zeros(()), np.zeros((length, 1)), np.zeros((1, length)),
                              np.zeros((2, 2, 2))]).astype(dtype)
        if r < 0.4:
            return np.zeros(2 * length + 1, dtype=dtype)[::2] if length else \
                np.zeros((3, 3), order="F")[:, 0]
        if r < 0.5:
            a = self.guarded(length, dtype)
            a.flags.writeable = False
            return a
        if r < 0.6:
            return np.zeros(length, dtype=dtype).view(SubArray)
        if r < 0.7:
            storage = HookBytes(length * np.dtype(dtype).itemsize)
            return np.frombuffer(storage, dtype=dtype)
        if r < 0.8:
            return self.guarded(length, dtype)
        return self.pick([None, [0.0] * n, (1.0,), array.array("d", [0.0] * n), 3.0, "a",
                          memoryview(np.zeros(n)), bytearray(8 * n), np.float64(1.0)])

    def array_module(self, values, code):
        """An array.array argument: mostly of the wanted type code."""
        if self.ok():
            return array.array(code, values)
        r = self.rng.random()
        if r < 0.35:
            other = self.pick(ARRAY_CODES)
            try:
                return array.array(other, [int(v) if other not in "fd" else v for v in values]
                                   if other != "u" else "x" * len(values))
            except (OverflowError, TypeError, ValueError):
                return array.array(other)
        if r < 0.5:
            return SubArrayModule(code, values)
        if r < 0.65:
            return array.array(code, list(values)[: self.rng.randrange(0, len(values) + 1)])
        if r < 0.8:
            return np.array(values, dtype="f8" if code == "d" else "i4")
        return self.pick([None, list(values), tuple(values), memoryview(array.array(code, values)),
                          b"", 0])
