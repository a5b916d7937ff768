"""Transient simulation speed on Josephson transmission lines, both time loops.

Lines of 10, 100, 1000, 5000 and 20000 stages (junction Ic = 250 uA, 2.8 ohm
shunt, 0.175 pF; bias 175 uA ramped in over 10 ps; 3 pH to the next stage;
one SFQ pulse injected at the first stage), 0.25 ps steps over 1 ns, on the
compiled loop and on the Python loop. Prints microseconds per time step,
split into the element models (kernel), KLU with the checks that decide to
factorise (solver) and everything else (host), Newton iterations, full
factorisations and refactorisations per step, the memory the run added to
the process (peak resident set over the one after the circuit was prepared),
how many junctions switched by the end (the pulse travels about 600 stages
in 1 ns), and the peer simulator's time per step on this machine kind
(issue 14) with the ratio to it. No waveforms are recorded, so the host
figure is the loop's own work.

Then the 4-bit Kogge-Stone adder of the example netlists (about 2100
junctions, 241 transmission lines between its cells) as its netlist runs it:
1 ns in 0.25 ps steps, wall time and microseconds per accepted step.

Each configuration runs in a fresh interpreter (so that memory figures are
its own), `--repeat` times; the best counts. The time per step is the
processor time of the running thread, which other work on a shared machine
disturbs less than the wall time (printed beside it). The split into
kernel, solver and host comes from the same runs with the compiled loop's
clock readings on (they cost a few percent on the smallest lines), as
shares of that time.
"""

import argparse
import json
import os
import resource
import subprocess
import sys
import time
import warnings
from pathlib import Path

#: The peer simulator's microseconds per step (issue 14), by stages.
PEER = {10: 1.4, 100: 10, 1000: 124, 5000: 800, 20000: 3300}

# The shared netlists beside the repository, or the workplace's.
ADDER = next((p for p in (Path(__file__).resolve().parents[2] / "shared", Path("/work/shared"))
              if p.is_dir()), Path("/work/shared")) / "netlists/josim-examples/ex_ksa4bit.cir"


def measure(stages, loop, tstop_ps, repeat):
    """One configuration, in this interpreter: a dict of figures."""
    import numpy as np

    from quenda import qdglobals
    from quenda.analysis import Transient, compiled
    from quenda.demos.jtl import PS, jtl

    circuit = jtl(stages)
    sim = Transient(circuit)
    base = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
    junctions = np.array([k for k, e in enumerate(circuit.elements.values()) if e.kind == "B"])

    def run(profile):
        compiled.PROFILE = profile
        wall, cpu = time.perf_counter(), time.thread_time()
        res = sim.run(tstop=tstop_ps * PS, step=0.25 * PS, ramp=10 * PS, record=[], loop=loop)
        return time.perf_counter() - wall, time.thread_time() - cpu, res.timing

    best_wall = best_cpu = float("inf")
    split = None
    for _ in range(repeat):
        wall, cpu, timing = run(profile=False)
        best_wall, best_cpu = min(best_wall, wall), min(best_cpu, cpu)
        if loop == "python":
            split = timing if split is None or timing["total"] < split["total"] else split
    if loop == "compiled":
        for _ in range(repeat):
            _, _, timing = run(profile=True)
            split = timing if split is None or timing["total"] < split["total"] else split
    steps = split["steps"]
    kernel, solver = split["kernel"] / split["total"], split["solver"] / split["total"]
    total = best_cpu / steps * 1e6
    return dict(
        stages=stages, loop=loop, elements=len(circuit.elements), unknowns=sim.size,
        total=total, wall=best_wall / steps * 1e6, kernel=total * kernel, solver=total * solver,
        iterations=split["iterations"] / steps, factorisations=split["factorisations"] / steps,
        refactorisations=split["refactorisations"] / steps,
        memory=(resource.getrusage(resource.RUSAGE_SELF).ru_maxrss - base) / 1024,
        switched=int(np.count_nonzero(qdglobals.ElementN[junctions] == 1)))


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--stages", default="10,100,1000,5000,20000")
    parser.add_argument("--loops", default="compiled,python")
    parser.add_argument("--tstop", type=float, default=1000.0, help="ps")
    parser.add_argument("--repeat", type=int, default=3, help="runs per configuration")
    parser.add_argument("--adder", type=Path, default=ADDER,
                        help="the adder's netlist (skipped when it is not there)")
    parser.add_argument("--one", help=argparse.SUPPRESS)  # stages,loop: measure in this process
    args = parser.parse_args()
    if args.one:
        stages, loop = args.one.split(",")
        print(json.dumps(measure(int(stages), loop, args.tstop, args.repeat)))
        return
    print(f"machine load (1, 5, 15 min): {' '.join(f'{x:.2f}' for x in os.getloadavg())} "
          f"on {os.cpu_count()} cores")
    print(f"{'stages':>7} {'loop':>9} {'unknowns':>9} {'us/step':>9} {'wall':>9} {'kernel':>8} "
          f"{'solver':>8} {'host':>8} {'iter':>6} {'fact':>6} {'refact':>6} {'MiB':>7} "
          f"{'switched':>8} {'peer':>7} {'x peer':>7}")
    env = dict(os.environ, OPENBLAS_NUM_THREADS="1")  # NumPy's BLAS threads would spin on a core
    for stages in (int(s) for s in args.stages.split(",")):
        for loop in args.loops.split(","):
            out = subprocess.run([sys.executable, __file__, "--one", f"{stages},{loop}",
                                  "--tstop", str(args.tstop), "--repeat", str(args.repeat)],
                                 capture_output=True, text=True, env=env)
            if out.returncode:
                print(f"{stages:7d} {loop:>9} failed:\n{out.stderr[-2000:]}")
                continue
            r = json.loads(out.stdout)
            host = r["total"] - r["kernel"] - r["solver"]
            peer = PEER.get(stages)
            print(f"{stages:7d} {loop:>9} {r['unknowns']:9d} {r['total']:9.1f} {r['wall']:9.1f} "
                  f"{r['kernel']:8.1f} "
                  f"{r['solver']:8.1f} {host:8.1f} {r['iterations']:6.2f} "
                  f"{r['factorisations']:6.3f} {r['refactorisations']:6.3f} {r['memory']:7.1f} "
                  f"{r['switched']:8d} {peer if peer else '':>7} "
                  f"{r['total'] / peer if peer else float('nan'):7.2f}")
    if args.adder.is_file():
        adder(args.adder)


def adder(path):
    from quenda.analysis import Transient, compiled
    from quenda.demos.jtl import PS
    from quenda.netlist import NetlistWarning, read_netlist, run

    compiled.PROFILE = True
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", NetlistWarning)
        net = read_netlist(path)
    started = time.perf_counter()
    res = run.simulate(net, main=False, summary=True)
    wall = time.perf_counter() - started
    t = res.timing
    per = lambda key: t[key] / t["steps"] * 1e6  # noqa: E731
    lines = sum(1 for e in net.circuit.elements.values() if e.kind == "T")
    switched = sum(1 for row in run.switching_summary(net, res) if row[2] or row[3])
    print(f"\n{path.name}: {len(run.junctions(net))} junctions, {lines} lines, "
          f"{len(net.circuit.elements)} elements, {Transient(net.circuit).size} unknowns; "
          f"{net.tran.stop / PS:g} ps in {t['steps']} steps on the {t['loop']} loop: "
          f"{wall:.1f} s wall, {per('total'):.0f} us/step (kernel {per('kernel'):.0f}, solver "
          f"{per('solver'):.0f}), {t['iterations'] / t['steps']:.2f} iter/step, "
          f"{switched} junctions switched")


if __name__ == "__main__":
    main()
