"""Pass or fail: does a run do what the nominal run did?

A single-flux-quantum circuit works when its junctions switch as designed:
the same junctions, in the same direction, in the same order, at about the
same times. SwitchingCheck records from a nominal run every junction's
switching events (changes of its count of 2 pi phase quanta) and passes
another run when they happen again, each within `window` of its nominal
time.

Events of one junction closer together than `merge` form one transition,
judged by its net change and its first event's time: a junction whose phase
overshoots and comes back within one pulse (+1, +1, -1 in a DC-to-SFQ
converter) makes one +1 transition, as does the same junction in a run where
it does not overshoot. A transition with net change 0 (a slip and its
return) leaves the circuit's state as it was and is not judged.

Any other check is a plain callable: check(results) -> true when it passes.
"""

DEFAULT_WINDOW = 5e-12
PS = 1e-12


def transitions(times, steps, merge):
    """(time, net change) of each group of events closer than merge to the last."""
    out = []
    start, net, last = None, 0, None
    for t, dn in zip(times, steps):
        if last is not None and t - last <= merge:
            net += int(dn)
        else:
            if net:
                out.append((start, net))
            start, net = float(t), int(dn)
        last = t
    if net:
        out.append((start, net))
    return out


def counting_elements(results):
    """The recorded elements that count phase quanta (junctions and phase and
    voltage sources)."""
    found = []
    for name in results.element_names:
        try:
            results.quanta(name)
        except KeyError:
            continue
        found.append(name)
    return found


class SwitchingCheck:
    """Passes a run whose switching transitions match the nominal ones.

        check = SwitchingCheck.record(nominal_results, window=5e-12)
        check(other_results)          # True or False
        check.explain(other_results)  # None, or why it fails
    """

    def __init__(self, nominal, window=DEFAULT_WINDOW, merge=None):
        window = float(window)
        if not window > 0:
            raise ValueError(f"the time window must be positive (got {window!r} s)")
        self.nominal = {name: [(float(t), int(n)) for t, n in events]
                        for name, events in nominal.items()}
        self.window = window
        self.merge = window if merge is None else float(merge)
        if not self.merge >= 0:
            raise ValueError(f"merge must not be negative (got {merge!r} s)")

    @classmethod
    def record(cls, results, window=DEFAULT_WINDOW, elements=None, merge=None):
        """The check of the transitions in results (of the named elements;
        default every element that counts phase quanta)."""
        merge_gap = float(window) if merge is None else float(merge)
        names = counting_elements(results) if elements is None else list(elements)
        nominal = {name: transitions(*results.switching(name), merge_gap) for name in names}
        return cls(nominal, window, merge)

    def transitions(self, results):
        return {name: transitions(*results.switching(name), self.merge) for name in self.nominal}

    def explain(self, results):
        """None when the run passes, otherwise what differs first in time."""
        first = None
        for name, expected in self.nominal.items():
            try:
                seen = transitions(*results.switching(name), self.merge)
            except KeyError as err:
                return f"{name}: {err.args[0]}"
            found = _difference(name, expected, seen, self.window)
            if found is not None and (first is None or found[0] < first[0]):
                first = found
        return None if first is None else first[1]

    def __call__(self, results):
        return self.explain(results) is None

    def __repr__(self):
        count = sum(len(v) for v in self.nominal.values())
        return (f"<SwitchingCheck: {count} transitions of {len(self.nominal)} elements, "
                f"window {self.window / PS:g} ps>")


def _difference(name, expected, seen, window):
    """(time, text) of the first difference between two transition lists, or None."""
    for k in range(max(len(expected), len(seen))):
        if k >= len(seen):
            t, n = expected[k]
            return t, (f"{name}: no {n:+d} transition near {t / PS:.2f} ps "
                       f"(it made {len(seen)} of the nominal {len(expected)})")
        if k >= len(expected):
            t, n = seen[k]
            return t, (f"{name}: an extra {n:+d} transition at {t / PS:.2f} ps "
                       f"(nominal: {len(expected)})")
        (t0, n0), (t1, n1) = expected[k], seen[k]
        if n0 != n1:
            return min(t0, t1), (f"{name}: a {n1:+d} transition at {t1 / PS:.2f} ps where the "
                                 f"nominal run makes {n0:+d} at {t0 / PS:.2f} ps")
        if abs(t1 - t0) > window:
            return min(t0, t1), (f"{name}: its {n0:+d} transition at {t1 / PS:.2f} ps is "
                                 f"{(t1 - t0) / PS:+.2f} ps from the nominal {t0 / PS:.2f} ps "
                                 f"(window {window / PS:g} ps)")
    return None


def as_check(check, nominal_results, window=DEFAULT_WINDOW):
    """The check an analysis applies: "nominal" records a SwitchingCheck from
    the nominal results; a callable is used as it is."""
    if isinstance(check, str) and check == "nominal":
        return SwitchingCheck.record(nominal_results, window)
    if not callable(check):
        raise TypeError(f"check must be 'nominal' or a callable taking Results (got {check!r})")
    return check


def nominal_verdict(check, nominal_results):
    """Raises ValueError when the nominal run fails its own check: margins
    and yield are measured from a working circuit."""
    if check(nominal_results):
        return
    explain = getattr(check, "explain", None)
    why = explain(nominal_results) if explain is not None else None
    raise ValueError("the circuit fails its check at nominal values"
                     + (f": {why}" if why else "") + "; margins and yield need a working circuit")
