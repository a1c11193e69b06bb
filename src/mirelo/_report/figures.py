"""The report's figures, drawn with matplotlib (without pyplot) and kept as inline SVG.

Text stays text in the SVG (the browser's sans-serif font draws it), so the figures are
small, searchable and need no embedded font.
"""

from __future__ import annotations

import io
from typing import TYPE_CHECKING

import pandas as pd

from mirelo._plot import BENCHMARK_COLOR, PLOT_HINT

if TYPE_CHECKING:
    from matplotlib.axes import Axes
    from matplotlib.figure import Figure

PORTFOLIO_COLOR = "tab:blue"
WIDE = (10.0, 3.6)


def new_figure(size: tuple[float, float] = WIDE) -> tuple[Figure, Axes]:
    try:
        from matplotlib.figure import Figure
    except ImportError as err:
        raise ImportError(PLOT_HINT) from err
    fig = Figure(figsize=size)
    ax = fig.add_subplot()
    ax.grid(True, alpha=0.3)
    return fig, ax


def svg(fig: Figure) -> str:
    """The figure as an ``<svg>`` element for an HTML page (no XML prologue)."""
    import matplotlib

    buffer = io.StringIO()
    with matplotlib.rc_context({"svg.fonttype": "none"}):
        fig.tight_layout()
        fig.savefig(buffer, format="svg", metadata={"Date": None})
    document = buffer.getvalue()
    return document[document.index("<svg"):]


def value_path(value: pd.Series, benchmark: pd.Series | None) -> str:
    """Value of the portfolio (1.0 = start) and of the benchmark from the same start."""
    fig, ax = new_figure()
    ax.plot(value.index, value.to_numpy(), color=PORTFOLIO_COLOR, lw=1.2, label="portfolio")
    if benchmark is not None:
        ax.plot(benchmark.index, benchmark.to_numpy(), color=BENCHMARK_COLOR, lw=1.2,
                label=str(benchmark.name))
        ax.legend(loc="upper left")
    ax.set_ylabel("value (start = 1)")
    return svg(fig)


def drawdowns(value: pd.Series, benchmark: pd.Series | None) -> str:
    """Fall from the running peak, in percent, of the portfolio (and of the benchmark)."""
    fig, ax = new_figure((10.0, 2.6))
    under = (value / value.cummax() - 1.0) * 100.0
    ax.fill_between(value.index, under.to_numpy(), 0.0, color="tab:red", alpha=0.45, lw=0,
                    label="portfolio")
    if benchmark is not None:
        theirs = (benchmark / benchmark.cummax() - 1.0) * 100.0
        ax.plot(theirs.index, theirs.to_numpy(), color=BENCHMARK_COLOR, lw=1.0,
                label=str(benchmark.name))
        ax.legend(loc="lower left")
    ax.set_ylabel("drawdown %")
    return svg(fig)


def rolling_sharpe(ours: pd.Series, theirs: pd.Series | None, window: int) -> str:
    fig, ax = new_figure((10.0, 2.8))
    ax.plot(ours.index, ours.to_numpy(), color=PORTFOLIO_COLOR, lw=1.0, label="portfolio")
    if theirs is not None:
        ax.plot(theirs.index, theirs.to_numpy(), color=BENCHMARK_COLOR, lw=1.0,
                label=str(theirs.name))
        ax.legend(loc="upper left")
    ax.axhline(0.0, color="black", lw=0.6)
    ax.set_ylabel(f"Sharpe ratio, {window} bars")
    return svg(fig)


def excursions(trades: pd.DataFrame) -> str:
    """Maximum adverse against maximum favourable excursion per trade, by outcome."""
    fig, ax = new_figure((6.4, 5.0))
    won = (trades["return"] > 0).to_numpy()
    mae = trades["mae"].to_numpy() * 100.0
    mfe = trades["mfe"].to_numpy() * 100.0
    ax.scatter(mae[won], mfe[won], s=10, alpha=0.55, color="tab:green", label="winning trade")
    ax.scatter(mae[~won], mfe[~won], s=10, alpha=0.55, color="tab:red", label="losing trade")
    ax.set_xlabel("maximum adverse excursion %")
    ax.set_ylabel("maximum favourable excursion %")
    if len(trades):
        ax.legend(loc="upper left")
    else:
        ax.text(0.5, 0.5, "no trades", transform=ax.transAxes, ha="center")
    return svg(fig)


EXPOSURE_LINES = (("gross", "tab:gray"), ("long", "tab:green"), ("short", "tab:red"),
                  ("net", PORTFOLIO_COLOR))


def exposure(exposure: pd.DataFrame) -> str:
    """Long, short, gross and net exposure over time, in percent of the value."""
    fig, ax = new_figure((10.0, 2.8))
    for column, color in EXPOSURE_LINES:
        ax.plot(exposure.index, exposure[column].to_numpy() * 100.0, color=color, lw=1.0,
                label=column)
    ax.axhline(0.0, color="black", lw=0.6)
    ax.set_ylabel("% of the value")
    ax.legend(loc="upper left", ncol=len(EXPOSURE_LINES))
    return svg(fig)
