"""Out-of-sample validation of a grid of backtests: walk-forward and combinatorial
purged cross-validation on the sweep engines."""

from .api import cross_validate
from .result import CVResult
from .splitters import CombinatorialPurgedCV, WalkForward

__all__ = ["CVResult", "CombinatorialPurgedCV", "WalkForward", "cross_validate"]
