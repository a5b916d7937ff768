"""The front door: BCS tables fitted on demand, registered by name in
qdconfig.tjm_models, and the tables that ship with the package.

    from quenda import tjm
    table = tjm.fit(8, temperature=4.2, tc=9.25)   # or vg=2.8e-3 for the gap
    table.errors, table.critical_current(), table.dc_current(1.5)
    tjm.table("Nb_4.2K_20")                         # a shipped table

A fit depends on the temperature through kT / Delta alone, rounded to four
decimals; each (kT / Delta, terms) is fitted once per process.
"""

import math

import numpy as np

from .gap import reduced_temperature
from .response import responses
from .shipped import DEFAULT, shipped
from .table import Table

#: Voltages fitted, x = V / V_g from near 0 to X_MAX; beyond, a table's
#: responses fall as 1 / x (the BCS ones as log(x) / x).
X_MAX = 6.0
#: The response is logarithmically infinite at the gap: errors are reported
#: outside |x - 1| < GAP_WINDOW.
GAP_WINDOW = 0.02
#: No kernel term decays more slowly than exp(-MIN_DAMPING tau), an e-fold
#: in some fifty gap periods: it bounds how long a start-up lingers.
MIN_DAMPING = 3e-3

_fitted = {}  # name -> Table, this process's fits


def _samples():
    """Voltages of the fit and their weights: even below 2 V_g (the structure
    is at the gap and, at finite temperature, near zero), geometric above;
    weighted at low voltage, most of all next to zero, where the pair
    response is the static critical current."""
    x = np.unique(np.concatenate([[1e-4], np.linspace(0.004, 2.0, 300),
                                  np.geomspace(2.0, X_MAX, 37)]))
    x = x[np.abs(x - 1) > 2e-3]
    weight = np.where(x < 0.1, 10.0, 1.0)
    weight[0] = 30.0
    return x, weight


def _errors(table, t):
    """Deviations of the table from the BCS responses off the gap, and of its
    critical current from the Ambegaokar-Baratoff value, in V_g / R_N."""
    x = np.linspace(0.005, X_MAX, 2400)
    x = x[np.abs(x - 1) > GAP_WINDOW]
    jq, jp = responses(x, t)
    dq, dp = table.quasiparticle_response(x) - jq, table.pair_response(x) - jp
    ab = math.pi / 4 * (math.tanh(1 / (2 * t)) if t > 0 else 1.0)
    return {"pair_rms": float(np.sqrt(np.mean(np.abs(dp) ** 2))),
            "pair_max": float(np.abs(dp).max()),
            "quasiparticle_rms": float(np.sqrt(np.mean(np.abs(dq) ** 2))),
            "quasiparticle_max": float(np.abs(dq).max()),
            "dc_current_max": float(np.abs(dq.imag).max()),
            "critical_current": table.critical_current() - ab}


def _check_terms(terms):
    if not isinstance(terms, int) or not 4 <= terms <= 20:
        raise ValueError(f"a table has 4 to 20 terms, not {terms!r}")


def fit_bcs(kt_over_delta, terms):
    """The table of `terms` terms (4 to 20) fitted to the BCS responses at
    kT / Delta, with its errors."""
    _check_terms(terms)
    t = float(kt_over_delta)
    x, weight = _samples()
    jq, jp = responses(x, t)
    table = Table.from_responses(x, jq, jp, terms, weight=weight, min_damping=MIN_DAMPING,
                                 kt_over_delta=t,
                                 description=f"BCS, kT/Delta = {t:.4f}, {terms} terms")
    table.errors = _errors(table, t)
    return table


def register(name, table):
    """Makes `table` the tunnel-junction model `name` (qdconfig.tjm_models)."""
    from .. import qdconfig

    if not isinstance(name, str) or not name:
        raise ValueError(f"a table's name is a non-empty string, not {name!r}")
    if name in shipped():
        raise ValueError(f"{name!r} is a shipped table; register yours under another name")
    if len(table.P) > 20:
        raise ValueError(f"table {name!r} has {len(table.P)} terms; a junction holds 20")
    qdconfig.tjm_models[name] = table.entry()
    _fitted[name] = table
    return table


def fit_name(kt_over_delta, terms):
    return f"bcs-t{kt_over_delta:.4f}-{terms}"


def _shipped_fit(kt_over_delta, terms):
    """The shipped table of that kT / Delta and terms, if any: a fit would
    only repeat it (make-tjm-tables.py fits with fit_bcs)."""
    for table in shipped().values():
        if (table.terms == terms and table.kt_over_delta is not None
                and round(table.kt_over_delta, 4) == kt_over_delta):
            return table
    return None


def fit(terms=20, *, temperature=0.0, tc=None, vg=None, name=None):
    """The BCS table of `terms` terms (4 to 20) for a junction at `temperature`
    kelvin, registered in qdconfig.tjm_models under `name` (default
    "bcs-t<kT/Delta>-<terms>") and returned.

    The gap comes from the BCS gap equation with critical temperature `tc`
    (K), or is given by the gap voltage `vg` = 2 Delta / e (V) at that
    temperature; at zero temperature neither is needed. A fit takes a few
    seconds; the same kT / Delta and terms are fitted only once, and not at
    all when a shipped table has them."""
    _check_terms(terms)
    t = round(reduced_temperature(temperature, tc=tc, vg=vg), 4)
    key = fit_name(t, terms)
    table = _fitted.get(key) or _shipped_fit(t, terms) or fit_bcs(t, terms)
    register(key, table)
    if name is not None and name != key:
        register(name, table)
    return table


def model_name(table=None, *, temperature=None, tc=None, vg=None, terms=20):
    """The qdconfig.tjm_models name a junction asks for: `table` if given
    (it must be registered), else the BCS fit at `temperature` (K) with the
    gap from `tc` or `vg` (fitted and registered on first use), else DEFAULT."""
    from .. import qdconfig

    if table is not None:
        if temperature is not None:
            raise ValueError("give a tunnel junction either a table or a temperature, not both")
        if table not in qdconfig.tjm_models:
            raise KeyError(f"no tunnel-junction table {table!r} (known: "
                           f"{', '.join(sorted(map(str, qdconfig.tjm_models)))}); "
                           "quenda.tjm.fit makes others")
        return table
    if temperature is None:
        return DEFAULT
    t = round(reduced_temperature(temperature, tc=tc, vg=vg), 4)
    fit(terms, temperature=temperature, tc=tc, vg=vg)
    return fit_name(t, terms)


def table(name):
    """The Table registered or shipped under `name`."""
    if name in _fitted:
        return _fitted[name]
    tables = shipped()
    if name in tables:
        return tables[name]
    raise KeyError(f"no tunnel-junction table {name!r}: the shipped ones are "
                   f"{', '.join(sorted(tables))}; quenda.tjm.fit makes others")
