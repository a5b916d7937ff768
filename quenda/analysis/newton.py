"""Newton iterations for one time step, and when to stop them.

The kernel stamps, in kernel units, the matrix A0 + A1 + A2 (the derivative
of every node's current balance with respect to the unknowns, as far as the
models compute it) and minus the residual (B); the solver turns B into the
update of the unknowns, which moves their derivatives by c0 and c0**2 times
as much (integration.py).

When to stop is the question on which a wrong answer can pass for a right
one. An update of size d says the iterate was about d away from the
solution; what remains after it depends on how fast the iteration contracts:

- with the exact Jacobian, Newton converges quadratically: what remains is
  of order d**2, and once the updates shrink by more than half per
  iteration, about d * (d / d_prev)**2;
- with an approximate one (the tunnel-junction model's A2 is quasi-static),
  the iteration contracts linearly at some rate rho, and what remains is
  d * rho / (1 - rho), which for rho near 1 is far more than d.

So a step is accepted when the estimate of what remains is within `tol`:
d <= tol for the exact Jacobian (or the quadratic estimate), and for an
approximate one only once two updates give the rate. Linear circuits are
solved exactly by their first update. Nothing that is not a finite number
is ever accepted.
"""

import time as _time

import numpy as np

from .. import stampcore as sc
from ..SparseFactor import SparseFactor
from .errors import SimulationError


def converged(it, largest, previous, tol, exact):
    """Whether the iterate after an update of size `largest` (the previous
    one `previous`) is within tol of the solution. `largest` is finite."""
    if exact:
        if largest <= tol:
            return True
        # Quadratic convergence: what remains is about largest * ratio**2.
        return it > 0 and largest < 0.5 * previous and largest * (largest / previous) ** 2 <= tol
    if largest == 0.0:
        return True
    if it == 0 or largest > tol:
        return False
    rate = largest / previous
    return rate < 1.0 and largest * rate <= tol * (1.0 - rate)


class Newton:
    """The matrices, the solver and the iterations of one run."""

    def __init__(self, assembly, tol, max_iter):
        self.tol, self.max_iter = tol, max_iter
        self.exact = assembly.exact_jacobian
        self.linear = not assembly.nonlinear
        self.build_every_step = assembly.build_every_step
        n, nnz = assembly.size, assembly.nnz
        self.A0, self.A1, self.A2 = np.zeros(nnz), np.zeros(nnz), np.zeros(nnz)
        self.A01, self.Ax, self.B = np.zeros(nnz), np.zeros(nnz), np.zeros(n)
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

    def solve(self, S, c0):
        """Iterates from the predicted state S (changed in place) to the
        solution at the new point. Returns (outcome, index of the unknown at fault or None), outcome one
        of "ok", "singular", "diverged", "nonfinite"."""
        timing, clock = self.timing, _time.perf_counter
        A2, B, Ax, solver, work = self.A2, self.B, self.Ax, self.solver, self.work
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
        previous = np.inf
        for it in range(self.max_iter):
            if it:
                started = clock()
                A2.fill(0.0)
                B.fill(0.0)
                sc.UpdateMatrix(A2, B)
                timing["kernel"] += clock() - started
            np.add(self.A01, A2, out=Ax)
            started = clock()
            solver.solveSparseMatrix(Ax, B)
            timing["solver"] += clock() - started
            timing["iterations"] += 1
            if solver.status != 0:
                return "singular", None
            np.abs(B, out=work[0])
            largest = float(work[0].max()) if B.size else 0.0
            if not np.isfinite(largest):
                return "nonfinite", int(np.flatnonzero(~np.isfinite(B))[0])
            np.multiply(self.increment, B, out=work)
            np.add(S, work, out=S)
            if self.linear or converged(it, largest, previous, self.tol, self.exact):
                if not np.isfinite(S).all():
                    return "nonfinite", int(np.flatnonzero(~np.isfinite(S).all(axis=0))[0])
                return "ok", None
            previous = largest
        np.abs(B, out=work[0])
        return "diverged", int(work[0].argmax())
