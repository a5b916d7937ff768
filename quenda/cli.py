"""The command line: python -m quenda (or `quenda`).

Without arguments it simulates the demo, a 20-stage Josephson transmission
line driven by one single-flux-quantum pulse, prints when each junction
switches, and writes the waveforms to CSV (and to PNG when matplotlib is
installed).
"""

import argparse
import importlib.util
import sys
from pathlib import Path

from .analysis import SimulationError, Transient
from .circuit import CircuitError
from .demos.jtl import PS, jtl, switching_table


def demo_parser():
    parser = argparse.ArgumentParser(
        prog="python -m quenda",
        description="Simulate a Josephson transmission line (the demo) and write its waveforms.")
    parser.add_argument("--stages", type=int, default=20)
    parser.add_argument("--tstop", type=float, default=100.0, help="simulated time [ps]")
    parser.add_argument("--step", type=float, default=0.25, help="time step [ps]")
    parser.add_argument("--adaptive", action="store_true",
                        help="choose the steps by local truncation error (--step is the first)")
    parser.add_argument("--out", default="out", help="directory for jtl.csv and jtl.png")
    return parser


def run_demo(args):
    circuit = jtl(args.stages)
    res = Transient(circuit).run(tstop=args.tstop * PS, step=args.step * PS, ramp=10 * PS,
                                 adaptive=args.adaptive)
    steps = "adaptive steps" if args.adaptive else f"steps of {args.step} ps"
    print(f"{circuit.title}: {len(res.time) - 1} points in {steps}, "
          f"{res.timing['iterations'] / res.timing['steps']:.2f} Newton iterations per step")
    print(f"{'junction':>8}  {'switches at [ps]':>16}  {'quanta':>6}")
    previous = None
    for name, when, count in switching_table(res, args.stages):
        shown = f"{when / PS:16.3f}" if when is not None else f"{'never':>16}"
        delay = f"  (+{(when - previous) / PS:.3f})" if when is not None and previous is not None else ""
        print(f"{name:>8}  {shown}  {count:6d}{delay}")
        previous = when if when is not None else previous
    out = Path(args.out)
    out.mkdir(parents=True, exist_ok=True)
    res.to_csv(out / "jtl.csv")
    if importlib.util.find_spec("matplotlib") is None:
        print(f"waveforms written to {out / 'jtl.csv'} (for a plot, install matplotlib: "
              "pip install 'quenda[plot]')")
    else:
        res.plot(out / "jtl.png")
        print(f"waveforms written to {out / 'jtl.csv'} and {out / 'jtl.png'}")
    return 0


def main(argv=None):
    argv = sys.argv[1:] if argv is None else list(argv)
    if argv and argv[0] in ("margins", "yield", "sweep"):
        from .cli_analyses import main as analyses

        return analyses(argv)
    args = demo_parser().parse_args(argv)
    try:
        return run_demo(args)
    except (CircuitError, SimulationError, ValueError) as err:
        print(f"quenda: {err}", file=sys.stderr)
        return 1
