"""The layout of an excursion profile, row i of ``RunResult.profiles`` (trade i): groups of
six figures, one group per offset sampled after the entry and a last group at the exit
bar."""

from __future__ import annotations

from typing import Any

import numpy as np
import numpy.typing as npt

# The figures of a group, in the engine's order.
FIELDS = ("mae", "mfe", "mfe_before_mae", "drawdown", "profitable_bars", "return")
GROUP_SIZE = len(FIELDS)


def at_exit(profiles: Any, name: str) -> npt.NDArray[np.float64]:
    """Figure `name` of each trade's exit group (the last group of its profile)."""
    column: npt.NDArray[np.float64] = profiles[:, FIELDS.index(name) - GROUP_SIZE]
    return column


def group_count(profiles: Any) -> int:
    """The groups of each profile: the sampled offsets, then the exit bar."""
    return int(profiles.shape[1]) // GROUP_SIZE
