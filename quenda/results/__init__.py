"""Results of simulations: waveforms by name (results.py), measurements on
them (measure.py), files (output.py) and plots (plot.py)."""

from .results import Results

__all__ = ["Results"]
