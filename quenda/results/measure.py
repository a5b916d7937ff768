"""Measurements on waveforms: small functions shared by results, the command
line, the analyses and the tests."""

import numpy as np

TWO_PI = 2.0 * np.pi


def crossing_times(t, y, level, direction="rising"):
    """Every time y crosses `level`, interpolated linearly between samples.
    direction: "rising" (from below to at or above), "falling" or "both"."""
    if direction not in ("rising", "falling", "both"):
        raise ValueError(f"direction must be 'rising', 'falling' or 'both' (got {direction!r})")
    t, y = np.asarray(t, dtype=float), np.asarray(y, dtype=float)
    below = y[:-1] < level
    rising = below & (y[1:] >= level)
    falling = ~below & (y[1:] < level)
    hit = {"rising": rising, "falling": falling, "both": rising | falling}[direction]
    k = np.flatnonzero(hit)
    frac = (level - y[k]) / (y[k + 1] - y[k])
    return t[k] + frac * (t[k + 1] - t[k])


def switching_events(t, phase, quanta):
    """(times, steps) of the changes of a phase-quanta count: when the count
    changed (the phase interpolated to the half-quantum it passed) and by how
    much."""
    quanta = np.asarray(quanta)
    k = np.flatnonzero(np.diff(quanta))
    steps = np.diff(quanta)[k]
    times = np.empty(k.size)
    since = 0
    for m, (i, dn) in enumerate(zip(k, steps)):
        # The count follows |phase| / 2 pi rounded: it moves at odd multiples
        # of pi, but its hold band can keep it a few samples past the
        # crossing: the crossing is the last one of that level before the
        # change (and after the previous change).
        n_from, n_to = int(quanta[i]), int(quanta[i + 1])
        level = np.sign(n_to + n_from) * (max(abs(n_from), abs(n_to)) - 0.5) * TWO_PI
        side = phase[since:i + 2] >= level
        crossed = np.flatnonzero(side[:-1] != side[1:])
        if crossed.size:
            j = since + int(crossed[-1])
            p0, p1 = phase[j], phase[j + 1]
            frac = (level - p0) / (p1 - p0) if p1 != p0 else 1.0
            times[m] = t[j] + min(max(frac, 0.0), 1.0) * (t[j + 1] - t[j])
        else:
            times[m] = t[i + 1]
        since = i + 1
    return times, steps
