"""A Josephson transmission line: the circuit the demo, the physics tests
and the transient benchmark share.

Stage k: junction Bk from node nk to ground (critical current `ic`, shunt
`r`, capacitance `c`), bias IBk into nk, inductor Lk from nk to the next
stage's node. One single-flux-quantum pulse enters at the first stage as a
short current pulse IIN into n1; every junction then switches once, in turn.
"""

import math

from ..circuit import PWL, Circuit

PS = 1e-12


def jtl(stages=20, ic=250e-6, r=2.8, c=0.175e-12, bias=175e-6, l=3e-12, pulse_at=20 * PS,
        pulse=500e-6, pulse_width=4 * PS):
    if stages < 1:
        raise ValueError("a transmission line needs at least one stage")
    circuit = Circuit(f"{stages}-stage Josephson transmission line")
    half = pulse_width / 2
    circuit.current_source("IIN", "0", "n1", PWL([(0, 0), (pulse_at, 0), (pulse_at + half, pulse),
                                                  (pulse_at + 2 * half, 0)]))
    for k in range(1, stages + 1):
        node = f"n{k}"
        circuit.junction(f"B{k}", node, "0", ic=ic, r=r, c=c)
        circuit.current_source(f"IB{k}", "0", node, bias)
        if k < stages:
            circuit.inductor(f"L{k}", node, f"n{k + 1}", l)
    return circuit


def switching_table(res, stages):
    """(junction, time its phase crosses pi, final quanta count) per stage."""
    return [(f"B{k}", res.crossing_time(f"B{k}", math.pi), int(res.quanta(f"B{k}")[-1]))
            for k in range(1, stages + 1)]
