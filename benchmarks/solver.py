"""Time of one SparseFactor.solveSparseMatrix call against SciPy's splu
factor-and-solve, side by side on the same circuit-like matrices.

Both sides get the same values each call. solveSparseMatrix reuses the
analysis made once by analyze (its time is shown apart), as a simulator's time
loop does; its timed call also copies the right-hand side back into B, since
the solve overwrites it. Each figure is the best of several rounds, the two
sides measured in turn within each round.

Run: make build && python3 benchmarks/solver.py
"""
import timeit
from array import array

import numpy as np
import scipy
import scipy.sparse as sp
from scipy.sparse.linalg import splu

from quenda.SparseFactor import SparseFactor


def chain(n):
    """Node matrix of an RC ladder: neighbours coupled, every node tied to ground."""
    return sp.diags([-np.ones(n - 1), np.full(n, 2.1), -np.ones(n - 1)], [-1, 0, 1], format="csc")


def grid(k):
    """Node matrix of a k x k resistor mesh with a conductance to ground at every node."""
    lap = sp.diags([-np.ones(k - 1), np.full(k, 2.0), -np.ones(k - 1)], [-1, 0, 1])
    a = sp.kron(lap, sp.eye(k)) + sp.kron(sp.eye(k), lap) + 0.1 * sp.eye(k * k)
    return sp.csc_matrix(a)


CASES = [("chain", chain(n)) for n in (100, 1_000, 10_000, 100_000)] + [
    ("grid", grid(k)) for k in (10, 32, 100, 316)
]


def per_call(fns, rounds=5):
    """Best time per call of each function, measured in turn within every round."""
    timers = [timeit.Timer(f) for f in fns]
    numbers = [max(1, t.autorange()[0] // 4) for t in timers]
    best = [float("inf")] * len(fns)
    for _ in range(rounds):
        for i, (t, number) in enumerate(zip(timers, numbers)):
            best[i] = min(best[i], t.timeit(number) / number)
    return best


def us(seconds):
    return f"{seconds * 1e6:12.1f}"


def solver_for(a):
    a.sort_indices()
    n = a.shape[0]
    ap = array("i", a.indptr.astype(np.int32))
    ai = array("i", a.indices.astype(np.int32))
    sf = SparseFactor()
    sf.analyze(n, ap, ai)
    assert sf.status == 0
    return sf, (n, ap, ai)


def main():
    print(f"SciPy {scipy.__version__}, NumPy {np.__version__}; times per call in microseconds")
    print(f"{'matrix':8}{'unknowns':>10}{'nnz':>10}{'analyze':>12}"
          f"{'solveSparse':>12}{'splu+solve':>12}{'speed-up':>10}")
    for name, a in CASES:
        sf, pat = solver_for(a)
        n = a.shape[0]
        ax = a.data.copy()
        b = np.random.default_rng(0).standard_normal(n)
        x = b.copy()
        sf.solveSparseMatrix(ax, x)
        assert sf.status == 0 and np.allclose(a @ x, b)

        def ours():
            np.copyto(x, b)
            sf.solveSparseMatrix(ax, x)

        analyze, mine, scipy_time = per_call([
            lambda: SparseFactor().analyze(*pat),
            ours,
            lambda: splu(a).solve(b),
        ], rounds=3 if n >= 10_000 else 5)
        print(f"{name:8}{n:>10}{a.nnz:>10}{us(analyze)}{us(mine)}{us(scipy_time)}"
              f"{scipy_time / mine:>9.1f}x")

    # The fixed cost of a call: every argument check and buffer, no KLU work.
    a = chain(100)
    released, _ = solver_for(a)
    released.__del__()
    one, _ = solver_for(sp.csc_matrix([[2.0]]))
    ax, x, one_ax, one_x = a.data.copy(), np.ones(100), np.array([2.0]), np.ones(1)
    idle, tiny = per_call([lambda: released.solveSparseMatrix(ax, x),
                           lambda: one.solveSparseMatrix(one_ax, one_x)])
    print(f"call without KLU work (released analysis): {idle * 1e6:.2f} us")
    print(f"call on a 1 x 1 system (KLU work included): {tiny * 1e6:.2f} us")


if __name__ == "__main__":
    main()
