"""Reference and memory checks of every driver and solver method.

Each entry point is called many times on a circuit with one model of every
class (or on a solver with an analysed pattern); afterwards the process holds
no more memory than before and the reference counts of the arguments, the
models and the host arrays are as they were. Each error path that takes a
buffer is run as well, after which the arrays it was handed can be resized
(NumPy and array.array refuse that while a buffer is still exported).

    python tests/leakcheck.py [CALLS]

prints one line per entry point and exits non-zero on a failed check; the
memory tests run it in a fresh interpreter.
"""

import array
import gc
import os
import sys

import numpy as np

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

from conftest import Element, Host, heap_bytes  # noqa: E402
from quenda import SimulationParameters as SP  # noqa: E402
from quenda import qdconfig as C  # noqa: E402
from quenda import qdglobals as G  # noqa: E402
from quenda import stampcore as sc  # noqa: E402
from quenda.SparseFactor import SparseFactor  # noqa: E402

NODES, SLOTS = 9, 64
HOST_ARRAYS = (G, ("NodePhase", "NodeVoltage", "NodeDVoltage", "ElementPhase", "ElementVoltage",
                   "ElementCurrent", "ElementN", "ElementInc", "ElementDec")), \
              (SP, ("X", "DX", "DDX", "DXprev"))
# Growth allowed over a whole run: the sanitizer allocator counts live bytes
# exactly; the resident set moves by whole pages and allocator arenas.
SLACK = 256 << 10 if os.environ.get("QUENDA_SANITIZED") else 1 << 20


def circuit():
    """One bound model of every class on 6 nodes and branch rows 7 to 9; the
    transmission line last."""
    Host().arrays(NODES, 12, seed=1)
    C.tjm_models = {"t": ([1 + 0.5j, 0.3j], [0.5 + 0j, 0.1j], [-1 + 0.5j, -2 - 1j])}
    models = [sc.ResistorModel(1, 2, 0), sc.CapacitorModel(2, 3, 1), sc.InductorModel(3, 0, 2),
              sc.CurrentSourceModel(1, 0, 3), sc.JunctionModel(4, 5, 4),
              sc.JunctionRSJNModel(0, 5, 5), sc.JunctionTJMModel(6, 4, 6),
              sc.InductorImpedanceModel(1, 6, 7, 7), sc.PhaseSourceModel(2, 0, 8, 8),
              sc.VoltageSourceModel(0, 3, 9, 9), sc.MutualInductanceModel(7, 8, 10),
              sc.TransmissionLineModel(2, 4, 0, 6, 11)]
    slots = {sc.InductorImpedanceModel: 5, sc.TransmissionLineModel: 8}
    for k, m in enumerate(models):
        m.InitModel(*range(5 * k, 5 * k + slots.get(type(m), 4)))
        if isinstance(m, sc.JunctionTJMModel):
            m.InitTJMModel(["t", 1.0, 0.5, 4.0, 0.6, 0.1])
        else:
            m.SetParameters([1.5] * 5)
    G.ElementList = [Element(m) for m in models]
    G.SourceElementList = G.ElementList[3:4]
    G.TotalElements, G.TotalSourceElements = len(models), 1
    G.OptimizeSimulation, G.CurrentTime, SP.INITIAL_RAMP = False, 0.0, 1.0
    sc.InitElementModels()
    return models


def host_arrays():
    return [getattr(mod, name) for mod, names in HOST_ARRAYS for name in names]


def pattern(n):
    """A tridiagonal n x n pattern with its values and a dense copy."""
    ap, ai, ax = array.array("i", [0]), array.array("i"), array.array("d")
    for c in range(n):
        for r in range(max(c - 1, 0), min(c + 2, n)):
            ai.append(r)
            ax.append(4.0 if r == c else -1.0)
        ap.append(len(ai))
    dense = np.zeros((n, n))
    for c in range(n):
        for k in range(ap[c], ap[c + 1]):
            dense[ai[k], c] = ax[k]
    return ap, ai, ax, dense


class Checker:
    def __init__(self):
        self.failures = []

    def repeat(self, name, call, calls, watched):
        """Runs call calls times (after a tenth as warm-up) and checks the
        growth of the heap and the reference counts of watched."""
        for _ in range(calls // 10):
            call()
        gc.collect()
        refs = [sys.getrefcount(o) for o in watched]
        before = heap_bytes()
        for _ in range(calls):
            call()
        gc.collect()
        grown = heap_bytes() - before
        same = [sys.getrefcount(o) for o in watched] == refs
        print(f"{name:28s} {calls:7d} calls  memory {grown:+9d} B  "
              f"references {'unchanged' if same else 'CHANGED'}")
        if grown > SLACK or not same:
            self.failures.append(name)

    def error_path(self, name, calls, call, make=list):
        """Runs call(*arrays) calls times, arrays = make(), each call raising;
        then checks that the arrays keep their reference counts and can be
        resized (no buffer of theirs is held)."""
        arrays = make()
        refs = [sys.getrefcount(o) for o in arrays]
        for _ in range(calls):
            try:
                call(*arrays)
            except Exception:  # noqa: BLE001 - each path raises its own error
                pass
            else:
                self.failures.append(name)
                print(f"{name}: did not raise")
                return
        same = [sys.getrefcount(o) for o in arrays] == refs
        self.released(f"{name} ({calls} errors)", arrays, same)

    def released(self, name, arrays, same=True):
        """Resizes each of arrays, the only holder of them: NumPy refuses that
        while another reference exists, array.array while a buffer is exported."""
        count, stuck = len(arrays), []
        while arrays:
            a = arrays.pop()
            try:
                a.resize(a.size + 1) if isinstance(a, np.ndarray) else a.append(a[0])
            except (BufferError, ValueError) as e:
                stuck.append(str(e).splitlines()[0])
        print(f"{name:40s} references {'unchanged' if same else 'CHANGED'}, "
              f"{count} arrays {stuck or 'resizable'}")
        if not same or stuck:
            self.failures.append(name)


def check_drivers(ck, calls):
    models = circuit()
    a0, a1, a2, b = np.zeros(SLOTS), np.zeros(SLOTS), np.zeros(SLOTS), np.zeros(NODES)
    watched = [a0, a1, a2, b] + models + host_arrays() + G.ElementList
    ck.repeat("InitElementModels", sc.InitElementModels, calls, watched)
    ck.repeat("BuildStaticMatrix", lambda: sc.BuildStaticMatrix(a0), calls, watched)
    ck.repeat("BuildMatrix", lambda: sc.BuildMatrix(a1, a2, b), calls, watched)
    ck.repeat("UpdateMatrix", lambda: sc.UpdateMatrix(a2, b), calls, watched)
    ck.repeat("UpdateRHS", lambda: sc.UpdateRHS(b), calls, watched)
    ck.repeat("UpdateValues", sc.UpdateValues, calls, watched)

    def advance():
        G.CurrentTime += 0.25  # the line's history turns over
        sc.UpdateValues()

    ck.repeat("UpdateValues, time advancing", advance, calls, watched)
    ck.repeat("SetParameters", lambda: models[0].SetParameters([2.0]), calls, watched)
    resized = iter(range(calls * 2))  # the line's history resized at every call
    ck.repeat("SetParameters, line",
              lambda: models[-1].SetParameters([3.0, 1.5, 0.5 if next(resized) % 2 else 0.1]),
              calls, watched)
    ck.repeat("InitModel", lambda: models[0].InitModel(0, 1, 2, 3), calls, watched)


def check_driver_errors(ck, calls):
    models = circuit()
    slots, nodes = (lambda: np.zeros(SLOTS)), (lambda: np.zeros(NODES))
    ck.error_path("BuildStaticMatrix short A0", calls, sc.BuildStaticMatrix,
                  lambda: [np.zeros(3)])
    ck.error_path("BuildMatrix short B", calls, sc.BuildMatrix,
                  lambda: [slots(), slots(), np.zeros(3)])
    ck.error_path("BuildMatrix read-only B", calls,
                  lambda a1, a2: sc.BuildMatrix(a1, a2, FROZEN), lambda: [slots(), slots()])
    ck.error_path("UpdateMatrix float32 A2", calls, sc.UpdateMatrix,
                  lambda: [np.zeros(SLOTS, dtype=np.float32), nodes()])
    dx, SP.DX = SP.DX, np.zeros(2)
    ck.error_path("UpdateMatrix short SP.DX", calls, sc.UpdateMatrix, lambda: [slots(), nodes()])
    SP.DX = dx
    ddx, SP.DDX = SP.DDX, np.zeros((NODES, 1))
    ck.error_path("UpdateRHS 2-D SP.DDX", calls, sc.UpdateRHS, lambda: [nodes()])
    SP.DDX = ddx
    del dx, ddx  # the host's alone again
    total, G.TotalElements = G.TotalElements, 99
    ck.error_path("UpdateValues beyond the models", calls, sc.UpdateValues)
    G.TotalElements = total
    # InitModel takes every host array, then finds eindex beyond them.
    beyond = sc.ResistorModel(1, 2, 50)
    ck.error_path("InitModel eindex beyond", calls, lambda: beyond.InitModel(0, 1, 2, 3))
    # A read-only element array is refused after the arrays before it were taken.
    G.ElementCurrent.flags.writeable = False
    ck.error_path("InitModel read-only array", calls, lambda: beyond.InitModel(0, 1, 2, 3))
    G.ElementCurrent.flags.writeable = True
    # The host's arrays, once the host and the models let go of them.
    del models
    G.ElementList = G.SourceElementList = []
    G.TotalElements = G.TotalSourceElements = 0
    sc.InitElementModels()
    gc.collect()
    taken = host_arrays()
    for mod, names in HOST_ARRAYS:
        for name in names:
            setattr(mod, name, None)
    ck.released("host arrays after the errors", taken)


FROZEN = np.zeros(NODES)
FROZEN.flags.writeable = False


def check_solver(ck, calls):
    n = 40
    ap, ai, ax, dense = pattern(n)
    sf = SparseFactor()
    b = array.array("d", [1.0] * n)
    bn = np.ones(n)
    axn = np.array(ax)
    watched = [sf, ap, ai, ax, dense, b, bn, axn]
    ck.repeat("analyze", lambda: sf.analyze(n, ap, ai), calls, watched)
    ck.repeat("solve", lambda: sf.solve(ax, b), calls, watched)
    ck.repeat("solveSparseMatrix", lambda: sf.solveSparseMatrix(axn, bn), calls, watched)
    ck.repeat("solveMatrix", lambda: sf.solveMatrix(dense, bn), calls, watched)
    ck.repeat("factor", lambda: sf.factor(axn), calls, watched)
    ck.repeat("refactor", lambda: sf.refactor(axn), calls, watched)
    # Each call falls back to a full factorisation: the kept pivots are the zeros of the
    # other matrix (off the diagonal, or on it).
    diagonal, off = np.where(axn == 4.0, axn, 0.0), np.where(axn == 4.0, 0.0, axn)
    ck.repeat("refactor falling back", lambda: (sf.refactor(diagonal), sf.refactor(off)),
              calls // 2, watched + [diagonal, off])
    ck.repeat("solveFactored", lambda: sf.solveFactored(bn), calls, watched)
    ck.repeat("factor singular", lambda: sf.factor(np.zeros_like(axn)), calls, watched)
    ck.repeat("__del__ and analyze", lambda: (sf.__del__(), sf.analyze(n, ap, ai)), calls, watched)


def check_solver_errors(ck, calls):
    n = 40
    ap, ai, ax, dense = pattern(n)
    sf = SparseFactor()
    sf.analyze(n, ap, ai)
    ck.error_path("solve short B", calls, sf.solve,
                  lambda: [array.array("d", ax), array.array("d", [1.0])])
    ck.error_path("solve float B", calls, sf.solve,
                  lambda: [array.array("d", ax), array.array("f", [1.0] * n)])
    ck.error_path("solveMatrix small Ax", calls, sf.solveMatrix,
                  lambda: [np.ones((n - 1, n)), np.ones(n)])
    ck.error_path("solveSparseMatrix read-only B", calls,
                  lambda a: sf.solveSparseMatrix(a, FROZEN), lambda: [np.array(ax)])
    ck.error_path("analyze n beyond Ap", calls, lambda p, i: sf.analyze(n + 5, p, i),
                  lambda: [array.array("i", ap), array.array("i", ai)])
    ck.error_path("analyze 64-bit Ai", calls, lambda p, i: sf.analyze(n, p, i),
                  lambda: [array.array("i", ap), array.array("l", ai)])
    ck.error_path("refactor short Ax", calls, sf.refactor, lambda: [np.ones(5)])
    sf.factor(np.array(ax))
    ck.error_path("solveFactored short B", calls, sf.solveFactored, lambda: [np.ones(n - 1)])
    ck.error_path("solveFactored read-only B", calls, lambda: sf.solveFactored(FROZEN))


def main(calls):
    ck = Checker()
    check_drivers(ck, calls)
    check_driver_errors(ck, calls // 10)
    check_solver(ck, calls)
    check_solver_errors(ck, calls // 10)
    if ck.failures:
        print("FAILED:", ", ".join(ck.failures))
        sys.exit(1)


if __name__ == "__main__":
    main(int(sys.argv[1]) if len(sys.argv) > 1 else 100_000)
