"""Shared fixtures: a fresh host state per test and an isolated interpreter
for inputs that could crash one."""

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
