"""Driver costs of the element-model kernel.

Prints the fixed cost of one driver call with no elements and, for 10^4 and
10^5 elements of each class, nanoseconds per element for each driver.
BuildStaticMatrix is timed twice: the kernel's own work (parameter refresh
limited to an empty source list) and with the host's UpdateParameters called
on every element, which is Python work of the host. Then the per-step drivers
for 10^4 tunnel junctions with 8 and 20 kernel terms, and for 10^4
transmission lines with delays of 8 and 100 steps. Run with `make bench`.
"""

import argparse
import time

import numpy as np

from quenda import SimulationParameters as SP
from quenda import qdconfig
from quenda import qdglobals as G
from quenda import stampcore as sc


class Element:
    def __init__(self, model):
        self.model = model

    def UpdateParameters(self):
        pass


def setup_host(nodes, elements, nslots):
    """Host arrays for `nodes` unknowns and `elements` elements."""
    for name in ("NodePhase", "NodeVoltage", "NodeDVoltage"):
        setattr(G, name, np.random.default_rng(1).random(nodes))
    for name in ("ElementPhase", "ElementVoltage", "ElementCurrent"):
        setattr(G, name, np.zeros(elements))
    G.ElementN = np.zeros(elements, dtype=np.int32)
    G.ElementInc = np.zeros(elements, dtype=np.uint8)
    G.ElementDec = np.zeros(elements, dtype=np.uint8)
    G.TotalNodes = nodes
    # The timed calls alternate between current points (rows of X, of the
    # voltages and of their derivatives), so that no call sees the phases and
    # voltages of the one before, as in a Newton loop; UpdateRHS has points
    # of its own, as it follows a step that moved the solution.
    rng = np.random.default_rng(2)
    SP.X, SP.DXprev = rng.random((5, nodes)), rng.random(nodes)
    dx, ddx = rng.random((4, nodes)), rng.random((4, nodes))
    points = [{"Xind": k + 1, "DX": dx[k], "DDX": ddx[k]} for k in range(4)]
    SOLUTIONS.update(matrix=points[:2], rhs=points[2:])
    next_solution("matrix")
    SP.InterpCoeffDt = [2.0 / 0.25]
    SP.InterpCoeffDDt = [4.0 / 0.25**2]
    SP.TimeSteps = [0.25]
    SP.InitialSmoothFactor = 1.0
    SP.PHASE_HISTERESIS = 0.1
    return [np.zeros(nslots) for _ in range(3)], np.zeros(nodes)


SOLUTIONS = {}


def next_solution(cycle):
    points = SOLUTIONS[cycle]
    points.reverse()
    for name, value in points[0].items():
        setattr(G if name == "CurrentTime" else SP, name, value)


def two_terminal_chain(cls, count, params, setup="SetParameters"):
    """`count` elements in a chain 1-2, 2-3, ...; slot positions 4 per element,
    parameters given by the model's method `setup`."""
    nodes = count + 1
    (a0, a1, a2), b = setup_host(nodes, count, 4 * count)
    models = []
    for e in range(count):
        m = cls(e + 1, e + 2, e)
        m.InitModel(4 * e, 4 * e + 1, 4 * e + 2, 4 * e + 3)
        getattr(m, setup)(params)
        models.append(m)
    return models, (a0, a1, a2), b


def branch_chain(nslots):
    """`count` elements in a chain 1-2, 2-3, ..., element e with branch row
    count + 2 + e and `nslots` slot positions."""

    def build(cls, count, params):
        nodes = 2 * count + 1
        (a0, a1, a2), b = setup_host(nodes, count, nslots * count)
        models = []
        for e in range(count):
            m = cls(e + 1, e + 2, count + 2 + e, e)
            m.InitModel(*range(nslots * e, nslots * (e + 1)))
            m.SetParameters(params)
            models.append(m)
        return models, (a0, a1, a2), b

    return build


def line_chain(count, params, step):
    """`count` lines in a chain, line e from node e+1 to node e+2 (each port
    to ground), 8 slot positions each, with a history of TD / step points."""
    nodes = count + 1
    (a0, a1, a2), b = setup_host(nodes, count, 8 * count)
    models = []
    for e in range(count):
        m = sc.TransmissionLineModel(e + 1, 0, e + 2, 0, e)
        m.InitModel(*range(8 * e, 8 * e + 8))
        m.SetParameters(params)
        models.append(m)
    collect(models)
    G.OptimizeSimulation = False
    sc.BuildStaticMatrix(a0)
    for k in range(int(params[0] / step) + 2):
        G.CurrentTime = k * step
        sc.UpdateValues()
    # Each timed call solves a point of the next step anew (as the first
    # iteration of a step does: the sources are interpolated once per point).
    t = G.CurrentTime
    for cycle, fractions in (("matrix", (0.5, 1.0)), ("rhs", (0.25, 0.75))):
        for point, f in zip(SOLUTIONS[cycle], fractions):
            point["CurrentTime"] = t + f * step
    return (a0, a1, a2), b


def collect(models):
    G.ElementList = [Element(m) for m in models]
    G.SourceElementList = []
    G.TotalElements = len(models)
    G.TotalSourceElements = 0
    sc.InitElementModels()


def per_call(fn, repeat):
    """Best-of-five mean seconds per call."""
    best = float("inf")
    for _ in range(5):
        t0 = time.perf_counter()
        for _ in range(repeat):
            fn()
        best = min(best, (time.perf_counter() - t0) / repeat)
    return best


def static_build_without_refresh(a0):
    """BuildStaticMatrix with the refresh limited to an empty source list."""
    G.OptimizeSimulation, G.CurrentTime, SP.INITIAL_RAMP = True, 1.0, 0.0
    sc.BuildStaticMatrix(a0)


def static_build_with_refresh(a0):
    G.OptimizeSimulation = False
    sc.BuildStaticMatrix(a0)


def drivers(a, b, alternate=True):
    """The timed calls; with `alternate`, each first switches the solution arrays."""
    a0, a1, a2 = a
    step = next_solution if alternate else (lambda cycle: None)
    return {
        "BuildStaticMatrix": lambda: static_build_without_refresh(a0),
        "(+host refresh)": lambda: static_build_with_refresh(a0),
        "BuildMatrix": lambda: (step("matrix"), sc.BuildMatrix(a1, a2, b)),
        "UpdateMatrix": lambda: (step("matrix"), sc.UpdateMatrix(a2, b)),
        "UpdateRHS": lambda: (step("rhs"), sc.UpdateRHS(b)),
        "UpdateValues": lambda: sc.UpdateValues(),
    }


CLASSES = [
    ("ResistorModel", lambda: sc.ResistorModel, (2.0,)),
    ("CapacitorModel", lambda: sc.CapacitorModel, (0.5,)),
    ("InductorModel", lambda: sc.InductorModel, (0.25,)),
    ("CurrentSourceModel", lambda: sc.CurrentSourceModel, (1.5,)),
    ("InductorImpedanceModel", lambda: sc.InductorImpedanceModel, (0.25,), branch_chain(5)),
    ("PhaseSourceModel", lambda: sc.PhaseSourceModel, (0.5,), branch_chain(4)),
    ("VoltageSourceModel", lambda: sc.VoltageSourceModel, (0.5,), branch_chain(4)),
    ("JunctionModel", lambda: sc.JunctionModel, (1.0, 2.0, 0.5)),
    # the node voltages (0 to 1) straddle the gap voltage 0.5 of the shunt
    ("JunctionRSJNModel", lambda: sc.JunctionRSJNModel, (1.0, 2.0, 0.5, 10.0, 0.5)),
    # the accepted voltages (UpdateValues, 0 to 1) fall in all three pieces
    ("JunctionPWLModel", lambda: sc.JunctionPWLModel, (1.0, 5.0, 0.5, 0.5, 0.1, 3.0, 0.5, 0.0)),
    # couples branch rows e+1 and e+2: the two-terminal chain's numbering
    ("MutualInductanceModel", lambda: sc.MutualInductanceModel, (0.1,), two_terminal_chain),
]


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--elements", default="10000,100000",
                        help="comma-separated element counts (default: 10000,100000)")
    parser.add_argument("--junctions", type=int, default=10_000)
    args = parser.parse_args()

    collect([])
    a, b = setup_host(1, 0, 1)
    print("Fixed cost of one driver call with 0 elements (microseconds)")
    for name, fn in drivers(a, b, alternate=False).items():
        print(f"  {name:18s} {per_call(fn, 20000) * 1e6:8.3f}")

    names = list(drivers(a, b))
    for n in (int(x) for x in args.elements.split(",")):
        print(f"\nNanoseconds per element, {n} elements of one class")
        print(f"  {'class':24s}" + "".join(f"{d:>18s}" for d in names))
        for label, cls, params, *build in CLASSES:
            models, a, b = (build[0] if build else two_terminal_chain)(cls(), n, params)
            collect(models)
            fns = drivers(a, b)
            row = [per_call(fns[d], max(5, 2_000_000 // n)) * 1e9 / n for d in names]
            print(f"  {label:24s}" + "".join(f"{v:18.2f}" for v in row))

    n = args.junctions
    names = ["BuildMatrix", "UpdateMatrix", "UpdateRHS", "UpdateValues"]
    print(f"\nNanoseconds per junction, {n} JunctionTJMModel junctions")
    print(f"  {'kernel terms':24s}" + "".join(f"{d:>18s}" for d in names))
    for table in ("test_gap_8", "test_gap_20"):
        params = (table, 1.0, 1.0, 4.126984126984127, 0.6, 0.1)
        models, a, b = two_terminal_chain(sc.JunctionTJMModel, n, params, "InitTJMModel")
        collect(models)
        fns = drivers(a, b)
        fns["BuildStaticMatrix"]()  # the history starts at rest
        row = [per_call(fns[d], 20) * 1e9 / n for d in names]
        terms = len(qdconfig.tjm_models[table][0])
        print(f"  {terms:<24d}" + "".join(f"{v:18.2f}" for v in row))

    step = 0.25
    print(f"\nNanoseconds per line, {n} TransmissionLineModel lines (UpdateValues: one step on)")
    print(f"  {'TD / step':24s}" + "".join(f"{d:>18s}" for d in names))
    for steps in (8, 100):
        a, b = line_chain(n, (steps * step, 1.0, step), step)
        fns = drivers(a, b)

        def advance():
            G.CurrentTime += step
            sc.UpdateValues()

        fns["UpdateValues"] = advance
        row = [per_call(fns[d], 20) * 1e9 / n for d in names]
        print(f"  {steps:<24d}" + "".join(f"{v:18.2f}" for v in row))
        for point in SOLUTIONS["matrix"] + SOLUTIONS["rhs"]:
            point.pop("CurrentTime")


if __name__ == "__main__":
    main()
