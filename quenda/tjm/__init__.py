"""Tunnel-junction coefficient tables from the BCS theory.

The tunnel-junction model (JunctionTJMModel) takes its memory kernel from a
named table of qdconfig.tjm_models: sums of damped complex exponentials that
stand for the pair and quasiparticle response functions of the junction.
This package computes those functions for a BCS superconductor
(`responses`, with the gap from `gap`), fits them (`fit`, which also
registers the table by name) and ships fitted tables for niobium at 4.2 K:

- "Nb_4.2K_20" (the default, `DEFAULT`) and "Nb_4.2K_8": kT/Delta from the
  BCS gap equation with Tc = 9.25 K. Their fit errors are in
  `table(name).errors`.

Units of a table: time tau = omega_g t (omega_g = e V_g / hbar), currents in
V_g / R_N, voltages x = V / V_g.
"""

from .gap import BCS_RATIO, K_B, gap, gap_ratio, reduced_temperature
from .registry import GAP_WINDOW, X_MAX, fit, fit_bcs, model_name, register, table
from .response import responses
from .shipped import DEFAULT, shipped
from .table import Table

__all__ = ["BCS_RATIO", "DEFAULT", "GAP_WINDOW", "K_B", "X_MAX", "Table", "fit", "fit_bcs",
           "gap", "gap_ratio", "model_name", "reduced_temperature", "register", "responses",
           "shipped", "table"]
