"""Shared fixtures: a fresh host state per test, an isolated interpreter for
inputs that could crash one, and both time loops on the host's circuits."""

import ctypes
import os
import subprocess
import sys
import textwrap
from pathlib import Path

import numpy as np
import pytest

from quenda import SimulationParameters as SP
from quenda import qdglobals as G
from quenda import stampcore as sc

ROOT = Path(__file__).resolve().parent.parent

# A sanitized run (make test-asan) must test the sanitized modules, which live
# outside the source tree.
if os.environ.get("QUENDA_SANITIZED"):
    if Path(sc.__file__).parent == ROOT / "quenda":
        raise RuntimeError(f"a sanitized run imported the in-place module {sc.__file__}")
    if not hasattr(ctypes.CDLL(None), "__asan_init"):
        raise RuntimeError("a sanitized run without the AddressSanitizer runtime")


class Element:
    """The smallest host element object: a model and a parameter refresh."""

    def __init__(self, model, on_update=None):
        self.model = model
        self.updates = 0
        self.on_update = on_update

    def UpdateParameters(self):
        self.updates += 1
        if self.on_update:
            self.on_update()


class Host:
    """Fills the host modules the way a simulator would, for small circuits."""

    def arrays(self, nodes, elements, seed=None):
        rng = np.random.default_rng(seed)
        fill = (lambda n: rng.standard_normal(n)) if seed is not None else np.zeros
        G.NodePhase, G.NodeVoltage, G.NodeDVoltage = fill(nodes), fill(nodes), fill(nodes)
        G.ElementPhase = np.zeros(elements)
        G.ElementVoltage = np.zeros(elements)
        G.ElementCurrent = np.zeros(elements)
        G.ElementN = np.zeros(elements, dtype=np.int32)
        G.ElementInc = np.zeros(elements, dtype=np.uint8)
        G.ElementDec = np.zeros(elements, dtype=np.uint8)
        G.TotalNodes = nodes
        SP.X = np.vstack([fill(nodes) for _ in range(3)])
        SP.Xind = 1
        SP.DX, SP.DDX, SP.DXprev = fill(nodes), fill(nodes), fill(nodes)
        SP.InterpCoeffDt = [8.0]
        SP.InterpCoeffDDt = [64.0]
        SP.TimeSteps = [0.25]
        SP.InitialSmoothFactor = 1.0
        SP.PHASE_HISTERESIS = 0.1

    def collect(self, *models, sources=()):
        G.ElementList = [Element(m) for m in models]
        G.SourceElementList = [Element(m) for m in sources]
        G.TotalElements = len(models)
        G.TotalSourceElements = len(sources)
        sc.InitElementModels()
        return G.ElementList

    def build(self, nslots, nodes):
        """A0, A1, A2 and B of the collected models, each from cleared arrays."""
        a0, a1, a2, b = np.zeros(nslots), np.zeros(nslots), np.zeros(nslots), np.zeros(nodes)
        sc.BuildStaticMatrix(a0)
        sc.BuildMatrix(a1, a2, b)
        return a0, a1, a2, b


@pytest.fixture
def host():
    saved = {mod: dict(vars(mod)) for mod in (G, SP)}
    saved_threads = sc.NTHREADS
    h = Host()
    h.arrays(8, 8)
    yield h
    for mod, attrs in saved.items():
        for name in set(vars(mod)) - set(attrs):
            delattr(mod, name)
        vars(mod).update(attrs)
    sc.NTHREADS = saved_threads
    G.ElementList, G.SourceElementList = [], []
    G.TotalElements = G.TotalSourceElements = 0
    sc.InitElementModels()


# What a child interpreter inherits: where the package is and, in a sanitized
# run, the preloaded runtimes and their settings.
INHERITED = ("PYTHONPATH", "LD_PRELOAD", "ASAN_OPTIONS", "UBSAN_OPTIONS", "PYTHONMALLOC",
             "PYTHONSAFEPATH", "QUENDA_SANITIZED")


def isolated_env(**extra):
    env = {"PYTHONPATH": str(ROOT), "PATH": "/usr/bin:/bin"}
    env.update({k: os.environ[k] for k in INHERITED if k in os.environ})
    env.update(extra)
    return env


def run_isolated(code, timeout=120):
    """Runs code in a fresh interpreter; returns (exit code, stdout, stderr).
    A crash fails the calling test instead of the whole run."""
    proc = subprocess.run(
        [sys.executable, "-c", textwrap.dedent(code)],
        capture_output=True, text=True, timeout=timeout, env=isolated_env(),
    )
    return proc.returncode, proc.stdout, proc.stderr


def heap_bytes():
    """Memory the process holds: under the sanitizers the allocator's own count
    of live blocks (the quarantine of freed ones would swamp the resident set),
    otherwise the resident set."""
    if os.environ.get("QUENDA_SANITIZED"):
        live = ctypes.CDLL(None).__sanitizer_get_current_allocated_bytes
        live.restype = ctypes.c_size_t
        return live()
    return int(open("/proc/self/statm").read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


class _Mallinfo2(ctypes.Structure):
    _fields_ = [(name, ctypes.c_size_t) for name in
                ("arena", "ordblks", "smblks", "hblks", "hblkhd", "usmblks", "fsmblks",
                 "uordblks", "fordblks", "keepcost")]


def allocated_bytes():
    """Bytes the C allocator has handed out and not taken back, touched or not."""
    if os.environ.get("QUENDA_SANITIZED"):
        return heap_bytes()
    mallinfo2 = ctypes.CDLL(None).mallinfo2
    mallinfo2.restype = _Mallinfo2
    info = mallinfo2()
    return info.uordblks + info.hblkhd


# The host test files whose every run goes through both time loops, which
# must agree: every circuit they simulate is a test of the compiled loop
# against the Python one, the reference.
BOTH_LOOPS = {"test_transient.py", "test_physics.py", "test_host_models.py", "test_results.py",
              "test_circuit.py", "test_netlist_run.py", "test_line_physics.py",
              "test_netlist_lines.py", "test_noise.py"}


def same_results(a, b):
    """Both loops' Results agree: the same points, phases within 1e-9 rad,
    the other waveforms within 1e-9 of their scale, the same counts."""
    assert a.count == b.count
    np.testing.assert_array_equal(a.time, b.time)
    for name in ("_node_phase", "_phase"):
        np.testing.assert_allclose(getattr(b, name)[:b.count], getattr(a, name)[:a.count],
                                   rtol=0, atol=1e-9)
    for name in ("_node_voltage", "_voltage", "_current"):
        x, y = getattr(a, name)[:a.count], getattr(b, name)[:b.count]
        scale = np.abs(x).max() if x.size else 0.0
        np.testing.assert_allclose(y, x, rtol=0, atol=1e-9 * max(scale, 1.0))
    np.testing.assert_array_equal(a._quanta[:a.count], b._quanta[:b.count])


def same_steps(a, b):
    """Both loops took the same steps and did the same work on them."""
    keys = ("steps", "rejected", "iterations", "factorisations", "refactorisations")
    assert {k: a.timing[k] for k in keys} == {k: b.timing[k] for k in keys}


@pytest.fixture(autouse=True)
def both_loops(request, monkeypatch):
    """In the host test files, a Transient.run that leaves the loop to
    choose runs on the Python loop and, when it can, on the compiled one:
    the same results or the same error (with the same partial results)."""
    if request.node.path.name not in BOTH_LOOPS:
        yield
        return
    from quenda.analysis import compiled, transient

    original = transient.Transient.run

    def run(self, *args, **kwargs):
        if args or "loop" in kwargs:
            return original(self, *args, **kwargs)
        outcomes = []
        for loop in ("python", "compiled"):
            try:
                outcomes.append((original(self, loop=loop, **kwargs), None))
            except (Exception, KeyboardInterrupt) as err:
                outcomes.append((None, err))
            res, err = outcomes[0]
            if loop == "python" and compiled.unsupported(self.assembly):
                if err is not None:
                    raise err
                return res
            # The same noise for both: the seed the first run drew.
            seed = getattr(res if err is None else getattr(err, "results", None), "seed", None)
            if seed is not None:
                kwargs.setdefault("seed", seed)
        (a, a_err), (b, b_err) = outcomes
        if a_err is not None or b_err is not None:
            assert type(a_err) is type(b_err) and str(a_err) == str(b_err), (a_err, b_err)
            partial = [getattr(e, "results", None) for e in (a_err, b_err)]
            assert (partial[0] is None) == (partial[1] is None)
            if partial[0] is not None:
                same_results(*partial)
            assert getattr(a_err, "time", None) == getattr(b_err, "time", None)
            raise b_err
        same_results(a, b)
        same_steps(a, b)
        return b

    monkeypatch.setattr(transient.Transient, "run", run)
    yield
