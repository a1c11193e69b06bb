"""Parameter sweeps: many backtests on one market, on threads or on Ray."""

from .api import sweep
from .result import SweepResult

__all__ = ["SweepResult", "sweep"]
