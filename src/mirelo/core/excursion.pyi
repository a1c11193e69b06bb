"""Per-trade excursion analytics of the last backtest.

The engine records every trade while it runs; afterwards these lists hold one
element per trade, in the order the trades closed (then the trades still open
at the end, in ascending position column):

- ``trades[i]``: ``[sid, entry_bar, exit_bar]`` (exit_bar -1 for an open trade);
- ``trade_positions[i]``: the signed weight recorded at the trade's entry;
- ``excursion[i]``: the trade's excursion profile, a float64 array of groups of
  six values (maximum adverse excursion, maximum favourable excursion,
  favourable excursion before the adverse extreme, drawdown, profitable bars,
  return), one group per sampled offset and the exit bar's group last.

The lists are the same objects for the whole process: each run empties and
refills them.  The native entry points are published in ``__pyx_capi__``.
"""

from typing import Any

import numpy as np
import numpy.typing as npt

trades: list[list[Any]]
trade_positions: list[np.float64]
excursion: list[npt.NDArray[np.float64]]
org_np: Any
__pyx_capi__: dict[str, Any]
