"""The trials of a sweep: grid expansion and stable trial keys.

A trial is one backtest: a full set of rules (the fixed ones plus its grid
values) and, when the weights are a mapping, the name of its weights frame.

Trial keys identify a trial across runs, so that a store can be resumed.  A key
is the first 16 hex digits of the SHA-256 of a canonical text of the trial:
its rules sorted by name, every number written as the shortest repr of its
float value (so 20, 20.0 and numpy.float64(20) agree, and so do 0.1 and
numpy.float64(0.1)), booleans as ``true``/``false``, and the weights name.  The
key does not depend on the order of the grid, on the Python or NumPy version or
on the machine.  It does not cover the market data or the weights themselves:
those are in the store's fingerprint (``fingerprint.py``).
"""

from __future__ import annotations

import hashlib
import itertools
import numbers
from collections.abc import Iterable, Mapping
from dataclasses import dataclass
from typing import Any

import numpy as np

WEIGHTS_COLUMN = "weights"


@dataclass(frozen=True)
class Trial:
    index: int  # position in the sweep's trial order
    key: str
    weights: str | None  # name in the weights mapping, None for a single frame
    params: dict  # the grid values of this trial (its table columns)
    rules: dict  # everything the engine gets: fixed rules and grid values


def _plain(value: Any) -> Any:
    """NumPy scalars as the Python scalars they hold."""
    return value.item() if isinstance(value, np.generic) else value


def _canonical(name: str, value: Any) -> str:
    if isinstance(value, (bool, np.bool_)):
        return "true" if value else "false"
    if isinstance(value, numbers.Real):
        return repr(float(value))
    raise TypeError(f"rule {name!r} must be a number or a bool, got {type(value).__name__}")


def canonical_rules(rules: Mapping[str, Any]) -> list[str]:
    """``name=value`` for each rule, sorted by name, values written canonically."""
    return [f"{name}={_canonical(name, rules[name])}" for name in sorted(rules)]


def trial_key(rules: Mapping[str, Any], weights: str | None) -> str:
    parts = canonical_rules(rules)
    parts.append(f"weights={'' if weights is None else weights}")
    return hashlib.sha256(";".join(parts).encode()).hexdigest()[:16]


def _grid_values(name: str, values: Any) -> list:
    if isinstance(values, (str, bytes, Mapping)) or not isinstance(values, Iterable):
        raise TypeError(f"grid[{name!r}] must be a list of values, got "
                        f"{type(values).__name__}")
    values = [_plain(v) for v in values]
    if not values:
        raise ValueError(f"grid[{name!r}] has no values")
    return values


def _grid_points(grid: Any) -> tuple[list[dict], list[str]]:
    """The grid as a list of parameter mappings, and the parameter names in order."""
    if isinstance(grid, Mapping):
        names = [str(name) for name in grid]
        axes = [_grid_values(name, grid[name]) for name in names]
        return [dict(zip(names, point)) for point in itertools.product(*axes)], names
    if isinstance(grid, (str, bytes)) or not isinstance(grid, Iterable):
        raise TypeError(f"grid must be a mapping of rule -> values or a list of mappings, "
                        f"got {type(grid).__name__}")
    points: list[dict] = []
    seen: dict[str, None] = {}
    for i, point in enumerate(grid):
        if not isinstance(point, Mapping):
            raise TypeError(f"grid[{i}] must be a mapping of rule -> value, got "
                            f"{type(point).__name__}")
        points.append({str(k): _plain(v) for k, v in point.items()})
        seen.update(dict.fromkeys(points[-1]))
    if not points:
        raise ValueError("grid has no trials")
    return points, list(seen)


def _check_names(names: Iterable[str], known: Iterable[str], where: str) -> None:
    known = set(known)
    unknown = [n for n in names if n not in known]
    if unknown:
        raise TypeError(f"{where}: unknown rule(s) {', '.join(map(repr, unknown[:5]))}")


def expand_grid(grid: Any, weights_names: list[str] | None, fixed_rules: Mapping[str, Any],
                rule_names: Iterable[str]) -> tuple[list[Trial], list[str]]:
    """The trials of a sweep in table order and the table's grid columns.

    The weights mapping, when there is one, is the outermost axis; inside it
    the grid mapping's product varies its last rule fastest, or a list of
    mappings keeps its own order.
    """
    rule_names = tuple(rule_names)
    points, names = _grid_points(grid)
    _check_names(names, rule_names, "grid")
    _check_names(fixed_rules, rule_names, "fixed rules")
    both = [n for n in names if n in fixed_rules]
    if both:
        raise TypeError(f"rule(s) {', '.join(map(repr, both))} given both in grid and as "
                        "fixed rules")
    fixed = {k: _plain(v) for k, v in fixed_rules.items()}
    trials: list[Trial] = []
    seen: dict[str, int] = {}
    axis: list[str | None] = [None] if weights_names is None else list(weights_names)
    for weights in axis:
        for point in points:
            rules = {**fixed, **point}
            key = trial_key(rules, weights)
            if key in seen:
                raise ValueError(f"grid lists the same trial twice (trials {seen[key]} and "
                                 f"{len(trials)}: {point})")
            seen[key] = len(trials)
            trials.append(Trial(len(trials), key, weights, point, rules))
    columns = ([WEIGHTS_COLUMN] if weights_names is not None else []) + names
    return trials, columns
