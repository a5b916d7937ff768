"""Fits the tunnel-junction tables that ship in quenda/tjm/data and writes them.

    python3 tools/make-tjm-tables.py

Niobium at 4.2 K: the gap from the BCS gap equation with Tc = 9.25 K, 8 and
20 terms. Prints each table's fit errors (V_g / R_N).
"""

import sys
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent.parent))

from quenda import tjm  # noqa: E402
from quenda.tjm.shipped import DATA, to_json  # noqa: E402

TEMPERATURE, TC = 4.2, 9.25

for terms in (8, 20):
    name = f"Nb_4.2K_{terms}"
    start = time.perf_counter()
    table = tjm.fit_bcs(round(tjm.reduced_temperature(TEMPERATURE, tc=TC), 4), terms)
    table.description = (f"Nb at {TEMPERATURE} K (BCS gap, Tc = {TC} K, "
                         f"kT/Delta = {table.kt_over_delta:.4f}), {terms} terms")
    (DATA / f"{name}.json").write_text(
        to_json(name, table, temperature=TEMPERATURE, tc=TC))
    print(f"{name}: {time.perf_counter() - start:.1f} s; " +
          ", ".join(f"{k} {v:.2e}" for k, v in table.errors.items()))
