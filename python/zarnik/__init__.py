"""zarnik: factor research toolkit for equity markets.

Factor formulas are expression trees (``zarnik.interface``, ``zarnik.rolling``)
evaluated over a dates x instruments panel; ``zarnik.analysis.assayer`` runs
the analysis pipeline over the resulting FactorFrames.
"""

from __future__ import annotations

from .exception import InvalidUserFactor, ZarnikUserException

__version__ = "0.1.0"

__all__ = ["InvalidUserFactor", "ZarnikUserException", "__version__"]
