"""What thermal noise costs a run: a 100-stage Josephson transmission line
over 1 ns (0.25 ps steps, the demo's line and pulse) noise-free and at 4.2 K
with noise bandwidths from the default 1 GHz to 4 THz (a new value every
step), in fixed and in adaptive steps. Prints the best wall time of a few
runs, the accepted steps, the rejected ones and the time relative to the
noise-free run.
"""

import argparse
import time

from quenda.analysis import Transient
from quenda.demos.jtl import PS, jtl


def best(circuit, runs, **kwargs):
    sim = Transient(circuit)
    wall = []
    for _ in range(runs):
        started = time.perf_counter()
        res = sim.run(record=[], seed=1, **kwargs)
        wall.append(time.perf_counter() - started)
    return min(wall), res.timing


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--stages", type=int, default=100)
    parser.add_argument("--tstop", type=float, default=1000.0, help="ps")
    parser.add_argument("--runs", type=int, default=3, help="runs per case (the best counts)")
    args = parser.parse_args()
    cases = [(0.0, None), (4.2, 1e9), (4.2, 1e11), (4.2, 1e12), (4.2, 4e12)]
    print(f"{'steps':>8} {'T [K]':>6} {'neb [Hz]':>9} {'wall [s]':>9} {'accepted':>9} "
          f"{'rejected':>9} {'relative':>9}")
    for adaptive in (False, True):
        reference = None
        for temperature, neb in cases:
            circuit = jtl(args.stages)
            circuit.temperature = temperature
            if neb is not None:
                circuit.neb = neb
            wall, t = best(circuit, args.runs, tstop=args.tstop * PS, step=0.25 * PS,
                           ramp=10 * PS, adaptive=adaptive)
            reference = reference or wall
            print(f"{'adaptive' if adaptive else 'fixed':>8} {temperature:6.1f} "
                  f"{'-' if neb is None else f'{neb:.0e}':>9} {wall:9.3f} {t['steps']:9d} "
                  f"{t['rejected']:9d} {wall / reference:9.2f}")


if __name__ == "__main__":
    main()
