"""mirelo: quantitative research for equity portfolios.

``backtest`` runs target weights over date-indexed price frames and returns a ``Result``
(value path, trades, excursions, operations, statistics, plot); ``read_prices`` loads
price tables from CSV or Parquet; ``sweep`` runs a grid of backtests on one market (on
threads or on Ray) and returns a ``SweepResult``; ``cross_validate`` chooses a trial of a
grid on training windows and measures it on test windows (``WalkForward``,
``CombinatorialPurgedCV``) and returns a ``CVResult``. The compiled engine is
``mirelo.core``.
"""

from __future__ import annotations

import importlib
from typing import TYPE_CHECKING, Any

if TYPE_CHECKING:
    from mirelo._backtest import backtest as backtest
    from mirelo._prices import read_prices as read_prices
    from mirelo._result import Result as Result
    from mirelo._sweep import SweepResult as SweepResult
    from mirelo._sweep import sweep as sweep
    from mirelo._validate import CombinatorialPurgedCV as CombinatorialPurgedCV
    from mirelo._validate import CVResult as CVResult
    from mirelo._validate import WalkForward as WalkForward
    from mirelo._validate import cross_validate as cross_validate

# Public name -> private module. Imported on first use, so that importing the compiled
# core (mirelo.core.*) does not load pandas and the statistics library.
_EXPORTS = {
    "backtest": "mirelo._backtest",
    "read_prices": "mirelo._prices",
    "Result": "mirelo._result",
    "sweep": "mirelo._sweep",
    "SweepResult": "mirelo._sweep",
    "cross_validate": "mirelo._validate",
    "CVResult": "mirelo._validate",
    "WalkForward": "mirelo._validate",
    "CombinatorialPurgedCV": "mirelo._validate",
}

__all__ = ["CVResult", "CombinatorialPurgedCV", "Result", "SweepResult", "WalkForward",
           "backtest", "cross_validate", "read_prices", "sweep"]


def __getattr__(name: str) -> Any:
    if name not in _EXPORTS:
        raise AttributeError(f"module 'mirelo' has no attribute {name!r}")
    value = getattr(importlib.import_module(_EXPORTS[name]), name)
    globals()[name] = value
    return value


def __dir__() -> list[str]:
    return sorted(list(globals()) + __all__)
