"""Transient simulation speed on Josephson transmission lines.

Lines of 10, 100, 1000 and 5000 stages (junction Ic = 250 uA, 2.8 ohm shunt,
0.175 pF; bias 175 uA ramped in over 10 ps; 3 pH to the next stage; one SFQ
pulse injected at the first stage), 0.25 ps steps over 1 ns. Prints
microseconds per time step, split into the kernel's drivers, the solver and
the Python host (everything else in the loop), Newton iterations per step, the
host's budget of 30 us + 50 ns per element, and how many junctions switched
by the end (the pulse travels about 600 stages in 1 ns). No waveforms are
recorded, so the host figure is the loop's own work.

Then the 4-bit Kogge-Stone adder of the example netlists (about 2100
junctions, 241 transmission lines between its cells) as its netlist runs it:
1 ns in 0.25 ps steps, wall time and microseconds per accepted step.
"""

import argparse
import time
import warnings
from pathlib import Path

from quenda import qdglobals
from quenda.demos.jtl import PS, jtl
from quenda.analysis import Transient

# The shared netlists beside the repository, or the workplace's.
ADDER = next((p for p in (Path(__file__).resolve().parents[2] / "shared", Path("/work/shared"))
              if p.is_dir()), Path("/work/shared")) / "netlists/josim-examples/ex_ksa4bit.cir"


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--stages", default="10,100,1000,5000")
    parser.add_argument("--tstop", type=float, default=1000.0, help="ps")
    parser.add_argument("--adder", type=Path, default=ADDER,
                        help="the adder's netlist (skipped when it is not there)")
    args = parser.parse_args()
    print(f"{'stages':>7} {'elements':>9} {'unknowns':>9} {'us/step':>9} {'kernel':>8} "
          f"{'solver':>8} {'host':>8} {'budget':>8} {'iter/step':>9} {'switched':>9}")
    for stages in (int(s) for s in args.stages.split(",")):
        circuit = jtl(stages)
        sim = Transient(circuit)
        res = sim.run(tstop=args.tstop * PS, step=0.25 * PS, ramp=10 * PS, record=[])
        t = res.timing
        steps = t["steps"]
        per = lambda key: t[key] / steps * 1e6
        host = per("total") - per("kernel") - per("solver")
        elements = len(circuit.elements)
        # Final phase-quanta counts of the junctions, straight from the host state.
        index = {name: k for k, name in enumerate(circuit.elements)}
        switched = sum(1 for k in range(1, stages + 1)
                       if qdglobals.ElementN[index[f"B{k}"]] == 1)
        print(f"{stages:7d} {elements:9d} {sim.size:9d} {per('total'):9.1f} {per('kernel'):8.1f} "
              f"{per('solver'):8.1f} {host:8.1f} {30 + 0.05 * elements:8.1f} "
              f"{t['iterations'] / steps:9.2f} {switched:9d}")
    if args.adder.is_file():
        adder(args.adder)


def adder(path):
    from quenda.netlist import NetlistWarning, read_netlist, run

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
          f"{net.tran.stop / PS:g} ps in {t['steps']} steps: {wall:.1f} s wall, "
          f"{per('total'):.0f} us/step (kernel {per('kernel'):.0f}, solver {per('solver'):.0f}), "
          f"{t['iterations'] / t['steps']:.2f} iter/step, {switched} junctions switched")


if __name__ == "__main__":
    main()
