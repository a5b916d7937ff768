"""Newton iterations for one time step, the factorisation they keep, and when to stop.

The kernel stamps, in kernel units, the matrix A0 + A1 + A2 (the derivative
of every node's current balance with respect to the unknowns, as far as the
models compute it) and minus the residual (B); the solver turns B into the
update of the unknowns, which moves their derivatives by c0 and c0**2 times
as much (integration.py).

A full factorisation is the dearest part of an iteration, so the factors
are kept across iterations and steps: an iteration whose matrix is the one
they were made from (c0 the same, A2 the same to the last bit: a linear
circuit, a circuit at rest) solves with them as they are. Otherwise the
matrix is refactorised (KLU's refactorisation with the kept pivot order,
which falls back to a full factorisation when the pivots have degraded):

- when c0 has changed (A1 with it), or none are kept;
- at the first iteration of a step: a refactorisation costs less than an
  iteration (the models' pass and a solve), and factors exact at the
  predicted point let one update settle the step whenever the prediction
  was within tol (below), where kept factors need two updates to show a
  rate; when the prediction was further off, the exact first update brings
  the switching junctions in so far that the second settles them;
- at a later iteration when the updates shrink by less than SLOW_RATE, or A2
  has moved by more than DRIFT of the factorised matrix's largest entry:
  the kept factors no longer pay their way.

Iterations after the first thus solve with the factors of the predicted
point (chord iterations), which converge fast since the iterate has moved
little. (Measured on 10- to 1000-stage transmission lines: the iterations
per step of full Newton, one refactorisation per step instead of a full
factorisation per iteration.)

When to stop is the question on which a wrong answer can pass for a right
one. An update of size d says the iterate was about d away from the
solution; what remains after it depends on how fast the iteration contracts:

- with the exact Jacobian, Newton converges quadratically: what remains is
  of order d**2, and once the updates shrink by more than half per
  iteration, about d * (d / d_prev)**2;
- with an approximate one the iteration contracts linearly at some rate
  rho, and what remains is d * rho / (1 - rho), which for rho near 1 is far
  more than d. Factors of an earlier matrix are such an approximation, and
  so is the tunnel-junction model's A2 (quasi-static), whatever the factors.

So a step is accepted when the estimate of what remains is within `tol`:
d <= tol (or the quadratic estimate) while every update of the step was
solved with factors of exactly its own matrix and the models' Jacobian is
exact; otherwise only once two updates give the rate. Then the last update
itself must be within tol as well when a model takes its history from the
iterate before it (the tunnel junction does), and otherwise when the rate
is not well below 1 (an estimate from two updates is rough). An update of
exactly zero is a solution whatever the matrix. Linear circuits are solved
exactly by their first update. Nothing that is not a finite number is ever
accepted.
"""

import time as _time

import numpy as np

from .. import stampcore as sc
from ..SparseFactor import SparseFactor
from .errors import SimulationError

#: The largest value of an array (NaN when one is NaN), without the method's wrapper.
_largest = np.maximum.reduce

#: Refactor once the updates shrink by less than this factor per iteration.
SLOW_RATE = 0.125
#: Refactor once A2 has moved by more than this share of the largest entry of
#: the factorised matrix.
DRIFT = 0.25


def converged(it, largest, previous, tol, exact, lagging=True):
    """Whether the iterate after an update of size `largest` (the previous
    one `previous`) is within tol of the solution. `largest` is finite.
    lagging: a model takes its history from the iterate before the last
    update, which then must be within tol as well."""
    if exact:
        if largest <= tol:
            return True
        # Quadratic convergence: what remains is about largest * ratio**2.
        return it > 0 and largest < 0.5 * previous and largest * (largest / previous) ** 2 <= tol
    if largest == 0.0:
        return True
    if it == 0:
        return False
    rate = largest / previous
    if not (rate < 1.0 and largest * rate <= tol * (1.0 - rate)):
        return False
    # What remains is within tol. The last update itself may exceed tol only
    # when no model takes its history from the iterate before it, and only
    # at a rate well below 1 (two updates give a rough estimate of it).
    return largest <= tol or (not lagging and rate < 0.5)


def refactor_now(it, c0, c0_kept, drift, scale, rate):
    """Whether to factorise this iteration's matrix rather than solve with
    the kept factors (c0_kept: the c0 they were made with, None for none;
    drift: the largest change of A2 since, 0 when none; scale: the largest
    entry of the matrix they were made from; rate: the last ratio of
    successive updates in this step, or None)."""
    if c0_kept is None or c0 != c0_kept:
        return True
    if drift == 0.0:
        return False
    # NaN refactors too, and fails there.
    return it == 0 or not drift <= DRIFT * scale or (rate is not None and rate > SLOW_RATE)


class Newton:
    """The matrices, the solver with its kept factors and the iterations of one run."""

    def __init__(self, assembly, tol, max_iter):
        self.tol, self.max_iter = tol, max_iter
        self.exact = assembly.exact_jacobian
        self.linear = not assembly.nonlinear
        self.build_every_step = assembly.build_every_step
        self.lagging = assembly.build_every_step
        n, nnz = assembly.size, assembly.nnz
        self.A0, self.A1, self.A2 = np.zeros(nnz), np.zeros(nnz), np.zeros(nnz)
        self.A01, self.Ax, self.B = np.zeros(nnz), np.zeros(nnz), np.zeros(n)
        self.A2_kept = np.zeros(nnz)  # A2 of the matrix the kept factors were made from
        self.c0_kept = None           # c0 of that matrix (None: no factors kept)
        self.scale_kept = 0.0         # its largest entry in magnitude
        self.drift = np.zeros(nnz)
        self.work = np.zeros((3, n))
        self.increment = np.zeros((3, 1))
        self.c0_built = None  # c0 of the A1 in place
        sc.BuildStaticMatrix(self.A0)
        self.solver = SparseFactor()
        self.solver.analyze(n, assembly.Ap, assembly.Ai)
        if self.solver.status != 0:
            raise SimulationError(f"the solver refused the circuit's pattern "
                                  f"(status {self.solver.status})")
        self.timing = {"kernel": 0.0, "solver": 0.0, "iterations": 0}

    @property
    def counts(self):
        """Full factorisations and refactorisations run so far."""
        return {"factorisations": self.solver.factorCount,
                "refactorisations": self.solver.refactorCount}

    def _moved(self):
        """The largest change of A2 since the kept factors were made (NaN for NaN)."""
        if not self.A2.size:
            return 0.0
        np.subtract(self.A2, self.A2_kept, out=self.drift)
        np.abs(self.drift, out=self.drift)
        return float(_largest(self.drift))

    def _factor(self, c0):
        """Factorises this iteration's matrix and keeps it; False when singular."""
        Ax, solver = self.Ax, self.solver
        np.add(self.A01, self.A2, out=Ax)
        solver.refactor(Ax)
        if solver.status != 0:
            self.c0_kept = None
            return False
        np.copyto(self.A2_kept, self.A2)
        self.c0_kept = c0
        np.abs(Ax, out=self.drift)
        self.scale_kept = float(_largest(self.drift)) if Ax.size else 0.0
        return True

    def solve(self, S, c0):
        """Iterates from the predicted state S (changed in place) to the
        solution at the new point. Returns (outcome, index of the unknown at fault or None), outcome one
        of "ok", "singular", "diverged", "nonfinite"."""
        timing, clock = self.timing, _time.perf_counter
        A2, B, solver, work = self.A2, self.B, self.solver, self.work
        self.increment[:, 0] = (1.0, c0, c0 * c0)
        started = clock()
        A2.fill(0.0)
        B.fill(0.0)
        if self.build_every_step or c0 != self.c0_built:
            self.A1.fill(0.0)
            sc.BuildMatrix(self.A1, A2, B)
            np.add(self.A0, self.A1, out=self.A01)
            self.c0_built = c0
        else:
            sc.UpdateMatrix(A2, B)
        timing["kernel"] += clock() - started
        previous, rate = np.inf, None
        exact_so_far = self.exact
        for it in range(self.max_iter):
            if it:
                started = clock()
                A2.fill(0.0)
                B.fill(0.0)
                sc.UpdateMatrix(A2, B)
                timing["kernel"] += clock() - started
            started = clock()
            drift = self._moved() if self.c0_kept is not None else np.inf
            if refactor_now(it, c0, self.c0_kept, drift, self.scale_kept, rate):
                if not self._factor(c0):
                    timing["solver"] += clock() - started
                    return "singular", None
                drift = 0.0
            exact_so_far = exact_so_far and drift == 0.0
            solver.solveFactored(B)
            timing["solver"] += clock() - started
            timing["iterations"] += 1
            np.abs(B, out=work[0])
            largest = float(_largest(work[0])) if B.size else 0.0
            if not np.isfinite(largest):
                return "nonfinite", int(np.flatnonzero(~np.isfinite(B))[0])
            np.multiply(self.increment, B, out=work)
            np.add(S, work, out=S)
            if self.linear or converged(it, largest, previous, self.tol, exact_so_far,
                                             self.lagging):
                np.abs(S, out=work)
                if S.size and not np.isfinite(_largest(work, axis=None)):  # NaN and inf reach it
                    return "nonfinite", int(np.flatnonzero(~np.isfinite(S).all(axis=0))[0])
                return "ok", None
            rate = largest / previous if it else None
            previous = largest
        np.abs(B, out=work[0])
        return "diverged", int(work[0].argmax())
