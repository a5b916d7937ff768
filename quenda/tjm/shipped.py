"""The tables that ship with the package, read from quenda/tjm/data/*.json.

tools/make-tjm-tables.py writes them (it fits; importing quenda never does).
Each file holds one table: its name, description, kT / Delta, the fit errors
and the terms A, B, P as [real, imag] pairs.
"""

import functools
import json
from pathlib import Path

from .table import Table

DATA = Path(__file__).resolve().parent / "data"

#: The table a tunnel junction uses unless told otherwise: niobium at 4.2 K.
DEFAULT = "Nb_4.2K_20"


def to_json(name, table, **extra):
    """The text of a data file."""
    terms = {key: [[v.real, v.imag] for v in getattr(table, key)] for key in "ABP"}
    return json.dumps({"name": name, "description": table.description,
                       "kt_over_delta": table.kt_over_delta, **extra,
                       "errors": table.errors, **terms}, indent=1) + "\n"


def from_json(text):
    """(name, Table) of a data file's text."""
    d = json.loads(text)
    terms = {key: [complex(re, im) for re, im in d[key]] for key in "ABP"}
    return d["name"], Table(**terms, kt_over_delta=d["kt_over_delta"], errors=d["errors"],
                            description=d["description"])


@functools.cache
def shipped():
    """{name: Table} of the shipped tables."""
    return dict(from_json(path.read_text()) for path in sorted(DATA.glob("*.json")))


def entries():
    """{name: (A, B, P)} of the shipped tables, for qdconfig.tjm_models."""
    return {name: table.entry() for name, table in shipped().items()}
