"""Fuzz cases of quenda.SparseFactor.

A case makes a solver and a random compressed-column pattern, then runs a
random sequence of analyze, solve, solveSparseMatrix, solveMatrix, factor,
refactor, solveFactored and __del__ calls with random arguments (patterns that KLU must refuse, arrays of
every type code, dtype, shape and length), with the pattern arrays edited,
grown or cut short after analyze. Where a call was handed a well-formed
system, diagonally dominant so that it is far from singular, the solution
it writes is checked against a dense solve; so is what solveFactored writes
with factors kept from such a system.
"""

import array
import gc
import pickle

import numpy as np

from calls import Caller, play
from hostile import HOOKS, Gen
from quenda.SparseFactor import SparseFactor


class FinalisingFactor(SparseFactor):
    def __del__(self):
        HOOKS.fire()
        super().__del__()


class SolverWorld:
    def __init__(self, rng, log=None):
        self.rng = rng
        self.g = Gen(rng)
        self.call = Caller(self.g, log)
        HOOKS.rng = rng
        HOOKS.actions = [self.hostile_step]
        self.new_solver()
        self.new_pattern()
        self.analysed = None  # (n, ap, ai) of the analysis the solver holds

    def new_solver(self):
        # Before the old solver goes: its finaliser may work on the new one.
        self.analysed = None
        self.factored = None  # (pattern, values) of the factors kept, when known to be well-formed
        self.sf = FinalisingFactor() if self.g.chance(0.1) else SparseFactor()

    def new_pattern(self):
        """A random n x n pattern with a full diagonal, as lists."""
        g = self.g
        n = g.rng.randint(1, 10)
        cols = []
        for c in range(n):
            rows = {c} | {g.rng.randrange(n) for _ in range(g.rng.randint(0, 3))}
            cols.append(sorted(rows) if g.chance(0.8) else g.rng.sample(sorted(rows), len(rows)))
        ap = [0]
        for rows in cols:
            ap.append(ap[-1] + len(rows))
        self.n, self.ap, self.ai = n, ap, [r for rows in cols for r in rows]

    def spoil(self, ap, ai):
        """The pattern with one flaw KLU (or the checks before it) must refuse."""
        g = self.g
        ap, ai = list(ap), list(ai)
        kind = g.rng.randrange(6)
        if kind == 0 and ai:
            ai[g.rng.randrange(len(ai))] = g.pick([-1, self.n, 2**31 - 1, -2**31])
        elif kind == 1 and len(ai) > 1:
            ai[1] = ai[0]  # a duplicate, when both lie in the first column
        elif kind == 2:
            ap[g.rng.randrange(len(ap))] = g.pick([-1, 2**31 - 1, len(ai) + 5, 1])
        elif kind == 3 and len(ap) > 2:
            ap[1], ap[2] = ap[2], ap[1]
        elif kind == 4:
            ap[-1] = g.pick([-5, 2**31 - 1, len(ai) + 1])
        else:
            ap[0] = 1
        return ap, ai

    def values(self):
        """Diagonally dominant values for the present pattern, by stored entry."""
        g = self.g
        vals = []
        for c in range(self.n):
            for k in range(self.ap[c], self.ap[c + 1]):
                vals.append(10.0 + g.rng.random() if self.ai[k] == c else g.rng.uniform(-1, 1))
        return vals

    # ---- steps ------------------------------------------------------------

    def analyze(self):
        g = self.g
        good = g.chance(0.7)
        ap, ai = (self.ap, self.ai) if good else self.spoil(self.ap, self.ai)
        n = self.n if g.chance(0.9) else g.weird_int()
        ap_arg, ai_arg = g.array_module(ap, "i"), g.array_module(ai, "i")
        if self.call(self.sf.analyze, n, ap_arg, ai_arg, names=("n", "Ap", "Ai"), retains=True,
                     label="analyze"):
            self.factored = None
            exact = (good and n == self.n and type(ap_arg) is array.array
                     and type(ai_arg) is array.array and ap_arg.typecode == ai_arg.typecode == "i"
                     and list(ap_arg) == self.ap and list(ai_arg) == self.ai)
            self.analysed = (self.n, list(self.ap), list(self.ai)) if exact else \
                ("unknown" if self.sf.status == 0 else None)
            self.pattern_args = (ap_arg, ai_arg)

    def solve(self):
        g = self.g
        method = g.pick(["solve", "solveSparseMatrix", "solveMatrix"])
        fn = getattr(self.sf, method)
        vals = self.values()
        rhs = [g.rng.uniform(-1, 1) for _ in range(self.n)]
        if method == "solve":
            ax, b = g.array_module(vals, "d"), g.array_module(rhs, "d")
        elif method == "solveSparseMatrix":
            ax, b = g.array(len(vals)), g.array(self.n)
            if isinstance(ax, np.ndarray) and ax.shape == (len(vals),) and ax.dtype == np.float64 \
                    and ax.flags.writeable:
                ax[:] = vals
        else:
            ax, b = self.dense(vals), g.array(self.n)
        start = self.leading(b)
        if start is not None and isinstance(b, np.ndarray) and b.flags.writeable:
            b[: self.n] = start = rhs
        ok = self.call(fn, ax, b, names=("Ax", "B"), watch=[ax, b], label=method)
        if ok and self.sf.status == 0 and isinstance(self.analysed, tuple) \
                and start is not None and list(start) != list(self.leading(b)):
            self.check_solution(method, ax, self.leading(b), start)

    def kept(self, method=None):
        """factor or refactor, mostly followed by solveFactored, or solveFactored alone,
        with arguments drawn as for solveSparseMatrix."""
        g = self.g
        method = method or g.pick(["factor", "refactor", "solveFactored"])
        fn = getattr(self.sf, method)
        fired = HOOKS.fired
        if method == "solveFactored":
            # The factors may serve a pattern other than the present one.
            n = self.factored[0][0] if self.factored else self.n
            b = g.array(n)
            start = self.leading(b, n)
            if start is not None and isinstance(b, np.ndarray) and b.flags.writeable:
                b[:n] = start = [g.rng.uniform(-1, 1) for _ in range(n)]
            ok = self.call(fn, b, names=("B",), watch=[b], label=method)
            if ok and self.sf.status == 0 and self.factored is not None \
                    and start is not None and HOOKS.fired == fired:
                self.check_solution("solveSparseMatrix", self.factored[1], self.leading(b, n),
                                    start, self.factored[0])
            return
        vals = self.values()
        ax = g.array(len(vals))
        good = isinstance(ax, np.ndarray) and ax.shape == (len(vals),) \
            and ax.dtype == np.float64 and ax.flags.writeable
        if good:
            ax[:] = vals
        if not self.call(fn, ax, names=("Ax",), watch=[ax], label=method):
            return
        known = good and self.sf.status == 0 and isinstance(self.analysed, tuple) \
            and HOOKS.fired == fired
        self.factored = (self.analysed, np.array(vals)) if known else None
        # Factors are kept exactly when a factorisation succeeded.
        if self.analysed != "unknown" and HOOKS.fired == fired and \
                self.sf.factored != (self.sf.status == 0 and self.analysed is not None):
            raise AssertionError(f"{method}: factored {self.sf.factored}, status {self.sf.status}")
        if g.chance(0.7):
            self.kept("solveFactored")

    def leading(self, b, n=None):
        """The first n (by default self.n) values of a float64 right-hand side, or None
        for any other."""
        n = self.n if n is None else n
        if type(b) is array.array and b.typecode == "d" and len(b) >= n:
            return np.array(b[:n])
        if isinstance(b, np.ndarray) and b.ndim == 1 and b.dtype == np.float64 and len(b) >= n:
            return b[:n].copy()
        return None

    def dense(self, vals):
        """The values as a dense matrix, mostly; or of another shape, layout or type."""
        g = self.g
        n = self.n
        d = np.zeros((n, n))
        for c in range(n):
            for k in range(self.ap[c], self.ap[c + 1]):
                d[self.ai[k], c] = vals[k]
        r = g.rng.random()
        if r < 0.6:
            return d
        if r < 0.7:
            big = np.full((n + 2, n + 3), 1e300)
            big[:n, :n] = d
            return big
        if r < 0.8:
            return np.asfortranarray(d) if n > 1 else d[:, :0]
        if r < 0.9:
            return d[: n - 1] if n > 1 else np.zeros((0, 0))
        return g.array(n * n)

    def check_solution(self, method, ax, x, rhs, analysed=None):
        """analysed: the pattern ax belongs to; by default the present one, which
        must then be the one the solver holds."""
        if analysed is None:
            analysed = self.analysed
            if analysed != (self.n, self.ap, self.ai):
                return  # the solver serves an older pattern; its values came from the new one
        n, ap, ai = analysed
        a = np.zeros((n, n))
        if method == "solveMatrix":
            dense = np.asarray(ax)
            for c in range(n):
                for k in range(ap[c], ap[c + 1]):
                    a[ai[k], c] = dense[ai[k], c]
        else:
            vals = np.asarray(ax, dtype=float)[: ap[n]]
            for c in range(n):
                for k in range(ap[c], ap[c + 1]):
                    a[ai[k], c] = vals[k]
        residual = np.abs(a @ x - np.asarray(rhs)).max()
        assert residual < 1e-9, f"{method} solved with residual {residual}"

    def change_pattern(self):
        """Edits the arrays last handed to analyze, or starts a new pattern."""
        g = self.g
        ap_arg, ai_arg = getattr(self, "pattern_args", (None, None))
        target = g.pick([ap_arg, ai_arg])
        if isinstance(target, (array.array, np.ndarray)) and len(target):
            action = g.rng.randrange(3)
            if action == 0:
                target[g.rng.randrange(len(target))] = g.pick([-1, 2**30, 0])
            elif action == 1 and isinstance(target, array.array):
                del target[g.rng.randrange(len(target)):]
            elif isinstance(target, array.array):
                target.extend([7] * g.rng.randint(1, 100))
        else:
            self.new_pattern()

    def misc(self):
        g = self.g
        action = g.rng.randrange(6)
        if action == 0:
            if self.call(self.sf.__del__, *([0] if g.chance(0.1) else []), label="__del__"):
                self.analysed = self.factored = None
        elif action == 1:
            self.call(pickle.dumps, self.sf, label="pickle.dumps")
        elif action == 2:
            self.call(self.sf.__setstate__, g.pick([None, (), 1]), label="__setstate__")
        elif action == 3:
            self.new_solver()
            gc.collect()
        elif action == 4:
            self.new_pattern()
            self.analysed = self.analysed and "unknown"
        else:
            self.call(SparseFactor, *[g.weird_int() for _ in range(g.rng.randint(0, 2))],
                      label="SparseFactor")

    def hostile_step(self):
        g = self.g
        g.pick([self.analyze, self.solve, self.kept, self.change_pattern, self.misc])()

    def step(self):
        r = self.rng.random()
        if r < 0.25:
            self.analyze()
        elif r < 0.55:
            self.solve()
        elif r < 0.75:
            self.kept()
        elif r < 0.85:
            self.change_pattern()
        else:
            self.misc()


def run_case(rng, log=None):
    """One case: a solver and a pattern, then 1 to 12 steps. Returns the calls made."""
    return play(SolverWorld(rng, log), rng)

