"""Factor mining: screen many formulas at once, keep results in a factor store, scale out on Dask.

``mine(formulas, universe, start, end)`` evaluates the formulas in batches (fields loaded once,
shared subtrees once per batch), runs each factor through the analysis steps and returns a
leaderboard, one row per formula; ``load_factor`` reads a stored factor back as a FactorFrame.
"""

from .formulas import read_formulas
from .screen import COLUMNS, default_steps, mine
from .store import FactorStore, data_fingerprint, load_factor

__all__ = ["mine", "read_formulas", "default_steps", "load_factor", "FactorStore", "data_fingerprint", "COLUMNS"]
