"""quenda.SparseFactor against numpy.linalg.solve, through its whole lifecycle."""
import gc
import os
import pickle
import sys
import textwrap
import threading
import weakref
from array import array

import numpy as np
import pytest
import scipy.sparse as sp

from conftest import run_isolated
from quenda import SparseFactor as module
from quenda.SparseFactor import SparseFactor

# ---- circuit-like matrices ---------------------------------------------------


def chain(n):
    """Node matrix of an RC ladder: each node tied to its neighbours and to ground."""
    return sp.diags([-np.ones(n - 1), np.full(n, 2.1), -np.ones(n - 1)], [-1, 0, 1])


def grid(k):
    """Node matrix of a k x k mesh of resistors with a conductance to ground at every node."""
    lap = chain(k) - 0.1 * sp.eye(k)
    return sp.kron(lap, sp.eye(k)) + sp.kron(sp.eye(k), lap) + 0.1 * sp.eye(k * k)


def branch_rows(m=6, sources=(0, 3)):
    """A ladder with voltage sources on branch rows of their own, whose diagonal entries
    are stored zeros: only pivoting gets past them."""
    c, k = sp.coo_matrix(chain(m)), len(sources)
    branch = list(range(m, m + k))
    rows = [*c.row, *sources, *branch, *branch]
    cols = [*c.col, *branch, *sources, *branch]
    return sp.csc_matrix(([*c.data] + [1.0] * 2 * k + [0.0] * k, (rows, cols)))


MATRICES = {"3x3": lambda: sp.csc_matrix([[4.0, 1, 0], [1, 3, 1], [0, 2, 2]]),
            "chain": lambda: chain(50), "grid": lambda: grid(8),
            "branch rows": branch_rows}


def pattern(a):
    """(n, Ap, Ai, values) of a sparse matrix, as the host hands them over."""
    a = sp.csc_matrix(a)
    a.sort_indices()
    return a.shape[0], array("i", a.indptr.astype(np.int32)), array("i", a.indices.astype(np.int32)), a.data.copy()


def entries(a):
    """Row and column of each stored entry of a, in their order."""
    n, ap, ai, _ = pattern(a)
    return np.asarray(ai), np.repeat(np.arange(n), np.diff(ap))


def analysed(a):
    n, ap, ai, ax = pattern(a)
    sf = SparseFactor()
    sf.analyze(n, ap, ai)
    return sf, ax


# Each solve method with (values of the stored entries, dense matrix, rhs) made into its arguments.
METHODS = {
    "solve": lambda sf, ax, dense, b: sf.solve(array("d", ax), b),
    "solveSparseMatrix": lambda sf, ax, dense, b: sf.solveSparseMatrix(ax, b),
    "solveMatrix": lambda sf, ax, dense, b: sf.solveMatrix(dense, b),
}


def rhs(method, values):
    return array("d", values) if method == "solve" else np.array(values, dtype=float)


def run(sf, method, ax, dense, b):
    assert METHODS[method](sf, ax, dense, b) is None
    return np.asarray(b)


# ---- solutions ---------------------------------------------------------------------


@pytest.mark.parametrize("method", METHODS)
@pytest.mark.parametrize("name", MATRICES)
def test_solutions_match_dense_solve(name, method):
    a = MATRICES[name]()
    sf, ax = analysed(a)
    # solveMatrix reads the pattern's entries only, of a matrix that may be larger than n x n.
    padded = np.pad(a.toarray(order="C"), ((0, 1), (0, 2)))
    noise = np.full(padded.shape, 1e3)
    noise[entries(a)] = 0.0
    rng = np.random.default_rng(0)
    for _ in range(3):  # repeated solves on one analysis, each with new values
        scale = rng.uniform(0.5, 2.0)
        b = rng.standard_normal(a.shape[0])
        x = run(sf, method, ax * scale, padded * scale + noise, rhs(method, b))
        np.testing.assert_allclose(x, np.linalg.solve(a.toarray() * scale, b), rtol=1e-10, atol=1e-12)
        assert sf.status == 0


def test_reanalysis_replaces_pattern_and_scratch():
    sf, _ = analysed(chain(2))
    assert sf.__del__() is None
    for a in (chain(7), grid(5), chain(3)):
        n, ap, ai, ax = pattern(a)
        sf.analyze(n, ap, ai)
        b = np.arange(1.0, n + 1)
        sf.solveMatrix(a.toarray(), b)
        np.testing.assert_allclose(a @ b, np.arange(1.0, n + 1))


# ---- lifecycle ------------------------------------------------------------------------

A3 = pattern(chain(3))

NO_OP_STATES = {  # how an object comes to have nothing to solve with, and the status it shows
    "new": (lambda sf: None, 0),
    "released": (lambda sf: (sf.analyze(*A3[:3]), sf.__del__()), 0),
    "refused pattern": (lambda sf: sf.analyze(3, array("i", [0, 2, 1, 3]), array("i", [0, 1, 2])), -3),
    "empty pattern": (lambda sf: sf.analyze(0, array("i", [0]), array("i")), -3),
}


@pytest.mark.parametrize("method", METHODS)
@pytest.mark.parametrize("state", NO_OP_STATES)
def test_solves_without_an_analysis_leave_b_alone(state, method):
    sf = SparseFactor(1, 2, key=3)  # arguments are ignored
    enter, status = NO_OP_STATES[state]
    enter(sf)
    b = rhs(method, [1.0, 2.0, 3.0])
    x = run(sf, method, np.ones(1), np.eye(1), b)  # lengths are not held against a no-op
    assert list(x) == [1.0, 2.0, 3.0] and sf.status == status


@pytest.mark.parametrize("method", METHODS)
def test_singular_matrix_leaves_b_and_reports_until_a_regular_one(method):
    a = chain(4)
    sf, ax = analysed(a)
    singular = a.toarray()
    singular[:2, :2] = 1.0  # columns 0 and 1 alike
    singular[2, 1] = 0.0
    b = rhs(method, [1.0, 2.0, 3.0, 4.0])
    run(sf, method, singular[entries(a)], singular, b)
    assert list(b) == [1.0, 2.0, 3.0, 4.0] and sf.status == 1
    x = run(sf, method, ax, a.toarray(), b)
    np.testing.assert_allclose(a @ x, [1.0, 2.0, 3.0, 4.0])
    assert sf.status == 0


@pytest.mark.parametrize("ap, ai, analysed_status, solved_status", [
    ([0, 1, 1, 2], [0, 2], 0, 1),  # an empty column: analysed, then structurally singular
    ([1, 1, 2, 3], [0, 1, 2], -3, -3),  # column starts not from 0
    ([0, 1, 2, 3], [0, 1, 3], -3, -3),  # a row beyond n
    ([0, 1, 2, 3], [0, -1, 2], -3, -3),  # a negative row
    ([0, 2, 2, 3], [0, 0, 2], -3, -3),  # a repeated entry
])
def test_patterns_klu_cannot_solve(ap, ai, analysed_status, solved_status):
    sf = SparseFactor()
    sf.analyze(3, array("i", ap), array("i", ai))
    assert sf.status == analysed_status
    b = np.ones(3)
    sf.solveSparseMatrix(np.ones(len(ai)), b)
    assert list(b) == [1.0, 1.0, 1.0] and sf.status == solved_status


def test_module_values_and_pickling():
    assert module.np is np and module.array is sys.modules["array"]
    assert module.dbl_array_template == array("d")
    sf, _ = analysed(chain(3))
    for refuse in (lambda: pickle.dumps(sf), lambda: sf.__reduce__(), lambda: sf.__setstate__(())):
        with pytest.raises(TypeError, match=r"^no default __reduce__ due to non-trivial __cinit__$"):
            refuse()
    with pytest.raises(AttributeError):
        sf.status = 0


def test_collector_breaks_cycles_through_the_pattern_arrays():
    class Owned(array):
        pass

    class Sub(SparseFactor):
        pass

    sf = Sub()
    n, ap, ai, _ = pattern(chain(3))
    ap = Owned("i", ap)
    ap.owner = sf  # sf -> Ap -> sf: only the collector can free this
    sf.analyze(n, ap, ai)
    ref = weakref.ref(sf)
    del sf, ap
    gc.collect()
    assert ref() is None


# ---- kept factors ----------------------------------------------------------------------


def perturbed(ax, rng):
    """The values moved by up to 10 %, as a circuit's Jacobian moves from step to step."""
    return ax * rng.uniform(0.9, 1.1, len(ax))


@pytest.mark.parametrize("how", ["factor", "refactor"])
@pytest.mark.parametrize("name", MATRICES)
def test_kept_factors_solve_like_a_fresh_factorisation(name, how):
    a = MATRICES[name]()
    sf, ax = analysed(a)
    n, rng = a.shape[0], np.random.default_rng(1)
    rows, cols = entries(a)
    for k in range(3):
        values = perturbed(ax, rng)
        getattr(sf, how)(values)
        dense = np.zeros((n, n))
        dense[rows, cols] = values
        for _ in range(2):  # one factorisation serves many right-hand sides
            b = rng.standard_normal(n)
            x = b.copy()
            sf.solveFactored(x)
            np.testing.assert_allclose(x, np.linalg.solve(dense, b), rtol=1e-10, atol=1e-12)
        assert sf.status == 0 and sf.factored
    # The first refactor has nothing kept and factorises; the others reuse its pivots.
    assert (sf.factorCount, sf.refactorCount) == ((3, 0) if how == "factor" else (1, 2))


FULL_2X2 = (2, array("i", [0, 2, 4]), array("i", [0, 1, 0, 1]))


@pytest.mark.parametrize("first, second", [
    ([[1e-6, 1.0], [1.0, 1.0]], [[1.0, 1.0], [1e-12, 1.0]]),  # the kept pivot became tiny
    ([[0.0, 1.0], [1.0, 1.0]], [[1.0, 1.0], [0.0, 1.0]]),  # and here zero
], ids=["growth", "zero pivot"])
def test_refactor_falls_back_when_the_kept_pivot_order_goes_bad(first, second):
    sf = SparseFactor()
    sf.analyze(*FULL_2X2)
    sf.factor(np.array(first).T.ravel())  # column 0 pivots on row 1
    sf.refactor(np.array(second).T.ravel())
    x = np.array([1.0, 2.0])
    sf.solveFactored(x)
    # With the old order the first case solves to about 1e-4 only.
    np.testing.assert_allclose(x, np.linalg.solve(second, [1.0, 2.0]), rtol=1e-14)
    assert (sf.status, sf.factorCount, sf.refactorCount) == (0, 2, 1)


@pytest.mark.parametrize("how", ["factor", "refactor"])
def test_singular_matrix_drops_the_kept_factors_and_b_stays(how):
    a = chain(4)
    sf, ax = analysed(a)
    sf.factor(ax)
    singular = a.toarray()
    singular[:2, :2] = 1.0
    singular[2, 1] = 0.0
    getattr(sf, how)(singular[entries(a)])
    b = np.array([1.0, 2.0, 3.0, 4.0])
    sf.solveFactored(b)
    assert list(b) == [1.0, 2.0, 3.0, 4.0] and sf.status == 1 and not sf.factored
    sf.refactor(ax)  # nothing kept: a full factorisation
    sf.solveFactored(b)
    np.testing.assert_allclose(a @ b, [1.0, 2.0, 3.0, 4.0])
    assert (sf.status, sf.factorCount, sf.refactorCount) == (0, 3, int(how == "refactor"))


NO_FACTOR_STATES = {  # how an object comes to have no factors kept, and the status it shows
    "new": (lambda sf, ax: None, -3),
    "released": (lambda sf, ax: (sf.analyze(*A3[:3]), sf.factor(ax), sf.__del__()), -3),
    "analysed again": (lambda sf, ax: (sf.analyze(*A3[:3]), sf.factor(ax), sf.analyze(*A3[:3])), -3),
    "factorised singular": (lambda sf, ax: (sf.analyze(*A3[:3]), sf.factor(0 * ax)), 1),
}


@pytest.mark.parametrize("state", NO_FACTOR_STATES)
def test_without_kept_factors_b_stays_and_status_says_so(state):
    sf = SparseFactor()
    enter, status = NO_FACTOR_STATES[state]
    enter(sf, A3[3])
    b = np.array([1.0, 2.0])  # lengths are not held against a no-op
    sf.solveFactored(b)
    assert list(b) == [1.0, 2.0] and sf.status == status and not sf.factored


def test_factorisation_runs_without_the_interpreter_lock_and_refuses_company():
    a = chain(100_000)
    sf, ax = analysed(a)
    n, ap, ai, _ = pattern(a)
    errors, done = [], threading.Event()

    def work():
        for _ in range(20):
            sf.refactor(ax)
        done.set()

    worker = threading.Thread(target=work)
    worker.start()
    b = np.ones(n)
    while not done.is_set():  # runs only while the worker's KLU work lets it
        for call in (lambda: sf.solveFactored(b), lambda: sf.analyze(n, ap, ai), sf.__del__):
            try:
                call()
            except RuntimeError as e:
                errors.append(str(e))
    worker.join()
    assert errors and set(errors) <= {
        f"{m}(): this SparseFactor is in use by another thread; give each thread a SparseFactor of its own"
        for m in ("solveFactored", "analyze", "__del__")}
    sf.analyze(n, ap, ai)
    sf.refactor(ax)
    x = np.ones(n)
    sf.solveFactored(x)
    np.testing.assert_allclose(a @ x, np.ones(n))


# ---- errors ------------------------------------------------------------------------------

NP, AR = np.ones(3), array("d", [1.0, 1.0, 1.0])

# (call, exception, text, which unsound case a missing check would open: run those isolated)
ERRORS = [
    (lambda sf: sf.analyze(3, A3[1]), TypeError, "analyze() takes exactly 3 positional arguments (2 given)", ""),
    (lambda sf: sf.analyze(Ap=A3[1], Ai=A3[2]), TypeError, "analyze() takes exactly 3 positional arguments (0 given)", ""),
    (lambda sf: sf.analyze(3, A3[1], A3[2], n=3), TypeError, "analyze() got multiple values for keyword argument 'n'", ""),
    (lambda sf: sf.solve(AR, AR, C=1), TypeError, "solve() got an unexpected keyword argument 'C'", ""),
    (lambda sf: sf.solveSparseMatrix(NP), TypeError, "solveSparseMatrix() takes exactly 2 positional arguments (1 given)", ""),
    (lambda sf: sf.__del__(1), TypeError, "__del__() takes no arguments (1 given)", ""),
    (lambda sf: sf.__setstate__(), TypeError, "__setstate__() takes exactly one argument (0 given)", ""),
    (lambda sf: sf.analyze(3, [0, 1], A3[2]), TypeError, "Argument 'Ap' has incorrect type (expected array.array, got list)", ""),
    (lambda sf: sf.solve(AR, NP), TypeError, "Argument 'B' has incorrect type (expected array.array, got numpy.ndarray)", ""),
    (lambda sf: sf.solveMatrix(np.eye(3), None), TypeError, "Argument 'B' has incorrect type (expected numpy.ndarray, got NoneType)", ""),
    (lambda sf: sf.analyze(3, A3[1], None), TypeError, "Argument 'Ai' has incorrect type (expected array.array, got NoneType)", "none"),
    (lambda sf: sf.analyze(3, None, A3[2]), TypeError, "Argument 'Ap' has incorrect type (expected array.array, got NoneType)", "none"),
    (lambda sf: sf.solve(None, AR), TypeError, "Argument 'Ax' has incorrect type (expected array.array, got NoneType)", "none"),
    (lambda sf: sf.solve(AR, None), TypeError, "Argument 'B' has incorrect type (expected array.array, got NoneType)", "none"),
    (lambda sf: sf.analyze("3", A3[1], A3[2]), TypeError, "an integer is required", ""),
    (lambda sf: sf.analyze(2**31, A3[1], A3[2]), OverflowError, "value too large to convert to int", ""),
    (lambda sf: sf.analyze(-1, A3[1], A3[2]), ValueError, "n must not be negative (got -1)", ""),
    (lambda sf: sf.analyze(3, array("l", A3[1]), A3[2]), TypeError, "Argument 'Ap' must hold 32-bit signed integers (type code 'i'), got type code 'l'", "type codes"),
    (lambda sf: sf.solve(array("f", A3[3]), AR), TypeError, "Argument 'Ax' must hold doubles (type code 'd'), got type code 'f'", "type codes"),
    (lambda sf: sf.solve(array("d", A3[3]), array("u", "abc")), TypeError, "Argument 'B' must hold doubles (type code 'd'), got type code 'u'", "type codes"),
    (lambda sf: sf.analyze(4, A3[1], A3[2]), IndexError, "Ap has 4 entries, but n = 4 needs n + 1 of them (Ap[n] is nnz)", "lengths"),
    (lambda sf: sf.analyze(1, array("i", [0, -2]), A3[2]), ValueError, "nnz = Ap[n] must not be negative (got -2)", "lengths"),
    (lambda sf: sf.analyze(3, A3[1], A3[2][:5]), ValueError, "Ai has 5 entries, but the pattern has nnz = 7 stored entries", "lengths"),
    (lambda sf: sf.solve(array("d", [1.0]), AR), ValueError, "Ax has 1 entry, but the pattern has nnz = 7 stored entries", "lengths"),
    (lambda sf: sf.solve(array("d", A3[3]), AR[:2]), ValueError, "B has 2 entries, but the matrix has n = 3 unknowns", "lengths"),
    (lambda sf: sf.solveMatrix(np.eye(3)[:, :2].copy(), NP), ValueError, "Ax is 3 x 2, but the matrix has n = 3 unknowns: at least 3 x 3 expected", "lengths"),
    (lambda sf: sf.solveMatrix(np.eye(3)[:2].copy(), NP), ValueError, "Ax is 2 x 3, but the matrix has n = 3 unknowns: at least 3 x 3 expected", "lengths"),
    (lambda sf: sf.solveMatrix(np.eye(3), NP[:2]), ValueError, "B has 2 entries, but the matrix has n = 3 unknowns", "lengths"),
    (lambda sf: sf.solveMatrix(A3[3], NP), ValueError, "Buffer has wrong number of dimensions (expected 2, got 1)", ""),
    (lambda sf: sf.solveSparseMatrix(A3[3].astype(np.float32), NP), ValueError, "Buffer dtype mismatch, expected 'double' but got 'float'", ""),
    (lambda sf: sf.solveSparseMatrix(A3[3], np.ones((3, 2))[:, 0]), ValueError, "ndarray is not C-contiguous", ""),
    (lambda sf: sf.solveSparseMatrix(A3[3], np.frombuffer(bytes(24))), ValueError, "buffer source array is read-only", ""),
    (lambda sf: sf.factor(), TypeError, "factor() takes exactly 1 positional argument (0 given)", ""),
    (lambda sf: sf.refactor(A3[3], Ax=A3[3]), TypeError, "refactor() got multiple values for keyword argument 'Ax'", ""),
    (lambda sf: sf.solveFactored(AR), TypeError, "Argument 'B' has incorrect type (expected numpy.ndarray, got array.array)", ""),
    (lambda sf: sf.refactor(None), TypeError, "Argument 'Ax' has incorrect type (expected numpy.ndarray, got NoneType)", ""),
    (lambda sf: sf.factor(A3[3].astype(np.float32)), ValueError, "Buffer dtype mismatch, expected 'double' but got 'float'", ""),
    (lambda sf: sf.refactor(A3[3][:6]), ValueError, "Ax has 6 entries, but the pattern has nnz = 7 stored entries", "lengths"),
    (lambda sf: (sf.factor(A3[3]), sf.solveFactored(NP[:2])), ValueError, "B has 2 entries, but the matrix has n = 3 unknowns", "lengths"),
    (lambda sf: (sf.factor(A3[3]), sf.solveFactored(np.frombuffer(bytes(24)))), ValueError, "buffer source array is read-only", ""),
]


def check_error(k):
    call, exc, text, _ = ERRORS[k]
    sf = SparseFactor()
    sf.analyze(*A3[:3])
    with pytest.raises(exc) as info:
        call(sf)
    assert str(info.value) == text
    assert list(NP) == list(AR) == [1.0, 1.0, 1.0]
    # A failed analyze keeps the analysis it had.
    b = np.ones(3)
    sf.solveMatrix(chain(3).toarray(), b)
    np.testing.assert_allclose(chain(3) @ b, np.ones(3))


@pytest.mark.parametrize("k", [k for k, e in enumerate(ERRORS) if not e[3]], ids=lambda k: ERRORS[k][2][:60])
def test_error_texts_and_nothing_changes(k):
    check_error(k)


# ---- checks whose absence would let KLU run outside the arrays: each in a fresh interpreter


def isolated(body):
    """Runs body with this module's names in a fresh interpreter: a crash fails one test."""
    here = os.path.dirname(os.path.abspath(__file__))
    prelude = f"import sys\nsys.path.insert(0, {here!r})\nfrom test_sparsefactor import *\n"
    code, _, err = run_isolated(prelude + textwrap.dedent(body))
    assert code == 0, err


@pytest.mark.parametrize("case", ["none", "type codes", "lengths"])
def test_refused_before_klu_sees_the_data(case):
    isolated(f"for k in {[k for k, e in enumerate(ERRORS) if e[3] == case]}: check_error(k)")


def test_pattern_changed_after_analyze_keeps_the_analysed_one():
    isolated("""
        a = grid(4)
        n, ap, ai, ax = pattern(a)
        sf = SparseFactor()
        sf.analyze(n, ap, ai)
        ai[:] = array("i", [1 << 30] * len(ai))  # rows far outside the matrix
        del ap[2:]  # and a pattern cut short
        for method in METHODS:
            x = run(sf, method, ax, a.toarray(), rhs(method, np.ones(n)))
            np.testing.assert_allclose(a @ x, np.ones(n))
    """)


def test_no_growth_over_many_solves_and_dropped_objects():
    isolated("""
        from conftest import heap_bytes

        a = chain(200)
        n, ap, ai, ax = pattern(a)
        dense, zeros = a.toarray(), np.zeros_like(ax)

        def work(rounds):
            for _ in range(rounds):
                sf = SparseFactor()
                sf.analyze(n, ap, ai)
                sf.analyze(n, ap, ai)  # replaces the first analysis
                sf.solveSparseMatrix(zeros, np.ones(n))  # a failed factorisation
                for method in METHODS:
                    run(sf, method, ax, dense, rhs(method, np.ones(n)))
                # dropped still analysed: destruction frees the analysis

        work(500)
        before, refs = heap_bytes(), [sys.getrefcount(o) for o in (ap, ai, ax, dense)]
        work(5000)
        assert heap_bytes() - before < 1 << 20, heap_bytes() - before
        assert refs == [sys.getrefcount(o) for o in (ap, ai, ax, dense)]
    """)
