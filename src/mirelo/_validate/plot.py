"""Figure of a validation: out-of-sample value paths against the in-sample best,
and training against test score per fold."""

from __future__ import annotations

from typing import TYPE_CHECKING

import numpy as np

from mirelo._plot import PLOT_HINT

if TYPE_CHECKING:
    from matplotlib.figure import Figure

    from .result import CVResult


def plot_validation(result: CVResult, path: str | None = None,
                    title: str | None = None) -> Figure:
    """Builds the figure without pyplot; writes it to `path` when given."""
    try:
        from matplotlib.figure import Figure
    except ImportError as err:
        raise ImportError(PLOT_HINT) from err

    paths = result.paths
    dates = paths.index
    values = (1.0 + paths.fillna(0.0)).cumprod()
    best = result.in_sample_best()
    best_value = np.cumprod(1.0 + best.fillna(0.0).to_numpy())

    fig = Figure(figsize=(13, 5.5))
    ax_paths, ax_scores = fig.subplots(1, 2, width_ratios=(1.6, 1))
    many = values.shape[1] > 1
    for k, column in enumerate(values.columns):
        ax_paths.plot(dates, values[column].to_numpy(), color="tab:blue", lw=0.8 if many else 1.2,
                      alpha=0.5 if many else 1.0,
                      label="out of sample" + (" (each path)" if many else "") if k == 0 else None)
    ax_paths.plot(dates, best_value, color="tab:orange", lw=1.2,
                  label=f"in-sample best (run {best.name}), same dates")
    ax_paths.set_ylabel("value (start = 1)")
    ax_paths.set_title(title or f"Out-of-sample paths ({result.mode} mode)")
    ax_paths.grid(True, alpha=0.3)
    ax_paths.legend(loc="upper left")

    folds = result.folds
    name = result.selection.name
    ax_scores.scatter(folds["train_score"].astype(float), folds["test_score"].astype(float),
                      s=18, alpha=0.7, color="tab:purple")
    ax_scores.axhline(0.0, color="grey", lw=0.8)
    ax_scores.set_xlabel(f"training {name}")
    ax_scores.set_ylabel(f"test {name}")
    ax_scores.set_title(f"Chosen trial per fold ({len(folds)})")
    ax_scores.grid(True, alpha=0.3)

    fig.tight_layout()
    if path is not None:
        fig.savefig(path, dpi=100)
    return fig
