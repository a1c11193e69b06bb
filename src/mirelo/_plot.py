"""Figure of a backtest result: value path (beside a benchmark's) over its drawdown, and
trade excursions."""

from __future__ import annotations

from typing import TYPE_CHECKING

if TYPE_CHECKING:
    import pandas as pd
    from matplotlib.figure import Figure

BENCHMARK_COLOR = "tab:gray"

PLOT_HINT = ("plotting needs matplotlib, which is not installed: pip install matplotlib "
             "(or, from the mirelo checkout, the plot extra: pip install '.[plot]')")


def plot_result(value: pd.Series, trades: pd.DataFrame, path: str | None = None,
                title: str | None = None, benchmark: pd.Series | None = None) -> Figure:
    """The figure of a run's `value` path and `trades` (``Result.trades``), with the value
    path of a `benchmark` when given; built without pyplot (no global state, no display
    backend needed) and written to `path` when given."""
    try:
        from matplotlib.figure import Figure
    except ImportError as err:
        raise ImportError(PLOT_HINT) from err

    drawdown = value / value.cummax() - 1.0
    won = (trades["return"] > 0).to_numpy()
    mae = trades["mae"].to_numpy() * 100.0
    mfe = trades["mfe"].to_numpy() * 100.0

    fig = Figure(figsize=(13, 6.5))
    grid = fig.add_gridspec(2, 2, height_ratios=(3, 1), width_ratios=(1.6, 1))
    ax_value = fig.add_subplot(grid[0, 0])
    ax_dd = fig.add_subplot(grid[1, 0], sharex=ax_value)
    ax_exc = fig.add_subplot(grid[:, 1])

    ax_value.plot(value.index, value.to_numpy(), color="tab:blue", lw=1.0, label="portfolio")
    if benchmark is not None:
        ax_value.plot(benchmark.index, benchmark.to_numpy(), color=BENCHMARK_COLOR, lw=1.0,
                      label=str(benchmark.name or "benchmark"))
        ax_value.legend(loc="upper left")
    ax_value.set_ylabel("portfolio value (start = 1)")
    ax_value.set_title(title or "Portfolio value")
    ax_value.grid(True, alpha=0.3)
    ax_dd.fill_between(value.index, drawdown.to_numpy() * 100.0, 0.0, color="tab:red",
                       alpha=0.5, lw=0)
    ax_dd.set_ylabel("drawdown %")
    ax_dd.grid(True, alpha=0.3)

    ax_exc.scatter(mae[won], mfe[won], s=10, alpha=0.5, color="tab:green", label="winning trade")
    ax_exc.scatter(mae[~won], mfe[~won], s=10, alpha=0.5, color="tab:red", label="losing trade")
    ax_exc.set_xlabel("maximum adverse excursion %")
    ax_exc.set_ylabel("maximum favourable excursion %")
    ax_exc.set_title(f"Excursions of {len(trades)} trades")
    ax_exc.grid(True, alpha=0.3)
    ax_exc.legend(loc="upper left")

    fig.tight_layout()
    if path is not None:
        fig.savefig(path, dpi=100)
    return fig
