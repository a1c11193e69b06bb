"""Short, readable lists of labels for error messages."""

from __future__ import annotations

import datetime
from collections.abc import Iterable

import numpy as np

SHOWN = 5


def label_text(label: object) -> str:
    """A date as its plain text (2024-01-31), anything else as its repr ('AAPL', 7)."""
    if isinstance(label, (datetime.date, np.datetime64)):
        return str(label).removesuffix(" 00:00:00")
    return repr(label)


def some(labels: Iterable[object], limit: int = SHOWN) -> str:
    """The first `limit` labels, then how many more there are: "'A', 'B' and 3 more"."""
    items = list(labels)
    shown = ", ".join(label_text(x) for x in items[:limit])
    rest = len(items) - limit
    return f"{shown} and {rest} more" if rest > 0 else shown
