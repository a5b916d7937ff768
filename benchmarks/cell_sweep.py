"""Many short runs of a small cell, as margin and yield analyses make them.

1000 runs of a 10-stage Josephson transmission line (benchmarks/transient.py's
line) for 300 ps in 0.25 ps steps, each with its own bias (0.8 to 1.2 times
the nominal 175 uA, so that each run builds its circuit anew, as a sweep
does), recording the last junction's waveforms. Prints the total wall and
processor time, the time per run split into building the circuit, preparing
the run (assembly, models, solver) and stepping it, and how many runs
carried the pulse through all ten junctions. The issue's target: under 10 s
for the 1000 runs on one core.
"""

import argparse
import os
import time

from quenda.analysis import Transient
from quenda.demos.jtl import PS, jtl

STAGES, TSTOP, STEP = 10, 300 * PS, 0.25 * PS


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--runs", type=int, default=1000)
    parser.add_argument("--loop", default="compiled", choices=("compiled", "python", "auto"))
    args = parser.parse_args()
    build = prepare = step = 0.0
    through = 0
    wall, cpu = time.perf_counter(), time.process_time()
    for k in range(args.runs):
        started = time.perf_counter()
        circuit = jtl(STAGES, bias=175e-6 * (0.8 + 0.4 * k / max(args.runs - 1, 1)))
        built = time.perf_counter()
        res = Transient(circuit).run(tstop=TSTOP, step=STEP, ramp=10 * PS, record=[f"B{STAGES}"],
                                     loop=args.loop)
        ended = time.perf_counter()
        build += built - started
        step += res.timing["total"]
        prepare += ended - built - res.timing["total"]
        through += int(res.quanta(f"B{STAGES}")[-1] == 1)
    wall, cpu = time.perf_counter() - wall, time.process_time() - cpu
    per = 1e3 / args.runs
    print(f"machine load (1, 5, 15 min): {' '.join(f'{x:.2f}' for x in os.getloadavg())} "
          f"on {os.cpu_count()} cores")
    print(f"{args.runs} runs of a {STAGES}-stage line for {TSTOP / PS:g} ps on the {args.loop} "
          f"loop: {wall:.2f} s wall, {cpu:.2f} s processor (target: under 10 s)")
    print(f"per run: {wall * per:.2f} ms = build {build * per:.2f} + prepare {prepare * per:.2f} "
          f"+ run {step * per:.2f} ms; the pulse went through in {through} runs")


if __name__ == "__main__":
    main()
