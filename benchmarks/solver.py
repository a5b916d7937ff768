"""Time of one SparseFactor.solveSparseMatrix call against SciPy's splu
factor-and-solve, side by side on the same circuit-like matrices; then, on
the matrices of Josephson transmission lines, a full factorisation, a
refactorisation with the kept pivot order and a solve with kept factors.

Both sides get the same values each call. solveSparseMatrix reuses the
analysis made once by analyze (its time is shown apart), as a simulator's time
loop does; its timed call also copies the right-hand side back into B, since
the solve overwrites it. In the table of transmission lines that copy is
timed apart and taken off, since at 10 stages it costs as much as the solve.
Each figure is the best of several rounds, the functions measured in turn
within each round.

Run: make build && python3 benchmarks/solver.py [--jtl-only]
"""
import sys
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


def us(seconds, width=12):
    return f"{seconds * 1e6:{width}.1f}"


def solver_for(a):
    a.sort_indices()
    n = a.shape[0]
    ap = array("i", a.indptr.astype(np.int32))
    ai = array("i", a.indices.astype(np.int32))
    sf = SparseFactor()
    sf.analyze(n, ap, ai)
    assert sf.status == 0
    return sf, (n, ap, ai)


# A JTL stage in kernel units (1 ps, 100 uA): junction Ic 250 uA, 2.8 ohm shunt,
# 0.175 pF; 3 pH to the next stage. At a trapezoidal step of 0.25 ps the
# capacitance enters the Jacobian as C (2/h)^2 and the shunt as G (2/h).
JTL_IC, JTL_G, JTL_C, JTL_INV_L = 2.5, 3.2910596 / 2.8, 0.175 / 0.30386, 3.2910596 / 3.0
JTL_STAGES = (10, 100, 1_000, 5_000, 20_000)


def jtl_matrix(stages, phases, h=0.25):
    """Jacobian of a Josephson transmission line at the given junction phases."""
    c0 = 2.0 / h
    coupling = np.full(stages - 1, -JTL_INV_L)
    to_neighbours = np.zeros(stages)
    to_neighbours[:-1] += JTL_INV_L
    to_neighbours[1:] += JTL_INV_L
    diag = JTL_C * c0 * c0 + JTL_G * c0 + JTL_IC * np.cos(phases) + to_neighbours
    return sp.diags([coupling, diag, coupling], [-1, 0, 1], format="csc")


def pulse_phases(stages, at):
    """Junction phases with a flux quantum passed up to stage `at`: 2 pi behind,
    rising through pi over a few stages, the bias point's 0.78 rad ahead."""
    k = np.arange(stages)
    return 0.78 + np.pi * (1 - np.tanh((k - at) / 3.0))


def kept_factors():
    """factor, refactor and solveFactored on JTL matrices, beside solveSparseMatrix."""
    print()
    print("JTL matrices, times per call in microseconds (solve: solveFactored; solveSparse: "
          "solveSparseMatrix,\nwhich factorises afresh; fallbacks: refactorisations that "
          "factorised afresh as a pulse crossed the line)")
    print(f"{'stages':>7}{'nnz':>8}{'factor':>10}{'refactor':>10}{'solve':>10}"
          f"{'factor+solve':>14}{'refactor+solve':>16}{'solveSparse':>13}{'fallbacks':>11}"
          f"{'copy of B':>11}")
    for stages in JTL_STAGES:
        a = jtl_matrix(stages, pulse_phases(stages, 0))
        sf, _ = solver_for(a)
        ax = a.data.copy()
        b = np.random.default_rng(0).standard_normal(stages)
        x = b.copy()

        # The pulse travels the line: the refactorisations must all stand.
        sf.factor(ax)
        before = sf.factorCount
        for at in np.linspace(0, stages, 50):
            sf.refactor(jtl_matrix(stages, pulse_phases(stages, at)).data)
            np.copyto(x, b)
            sf.solveFactored(x)
            assert sf.status == 0
        fallbacks = sf.factorCount - before
        sf.refactor(ax)
        np.copyto(x, b)
        sf.solveFactored(x)
        assert np.allclose(a @ x, b)

        # Each solve overwrites x, so x gets b back first (repeated solves of
        # one x would shrink it into the denormals, which are slow).
        def solve():
            np.copyto(x, b)
            sf.solveFactored(x)

        def sparse():
            np.copyto(x, b)
            sf.solveSparseMatrix(ax, x)

        rounds = 4 if stages >= 5_000 else 7
        fac, refac, sol, fac_sol, refac_sol, fresh, copy = per_call([
            lambda: sf.factor(ax),
            lambda: sf.refactor(ax),
            solve,
            lambda: (sf.factor(ax), solve()),
            lambda: (sf.refactor(ax), solve()),
            sparse,
            lambda: np.copyto(x, b),
        ], rounds=rounds)
        sol, fac_sol, refac_sol, fresh = (t - copy for t in (sol, fac_sol, refac_sol, fresh))
        print(f"{stages:>7}{a.nnz:>8}{us(fac, 10)}{us(refac, 10)}{us(sol, 10)}"
              f"{us(fac_sol, 14)}{us(refac_sol, 16)}{us(fresh, 13)}{fallbacks:>8}/50"
              f"{us(copy, 11)}")


def main():
    if "--jtl-only" in sys.argv[1:]:
        kept_factors()
        return
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
    kept_factors()


if __name__ == "__main__":
    main()
