"""Result.stats(benchmark=...) and plot(benchmark=...): alignment of prices and returns on
the result's bars, the figures against empyrical-reloaded, and the refusals."""

import math

import empyrical
import numpy as np
import pandas as pd
import pytest

import mirelo
from framecase import FREE, frame, random_market, weights
from mirelo._benchmark import BENCHMARK_LABELS
from mirelo._stats import STAT_LABELS


@pytest.fixture(scope="module")
def run():
    prices, w = random_market(seed=5, bars=300)
    result = mirelo.backtest(prices["close"], w, stop_loss=0.05)
    index = prices["close"].mean(axis=1).rename("index")
    return result, index


def test_the_portfolio_against_itself(run):
    result, _ = run
    s = result.stats(benchmark=result.value.rename("itself"))
    assert list(s.index) == list(STAT_LABELS) + list(BENCHMARK_LABELS)
    for label in ("total_return", "annual_return", "sharpe", "max_drawdown", "calmar"):
        assert s[f"benchmark_{label}"] == pytest.approx(s[label], rel=1e-12), label
    assert s["beta"] == pytest.approx(1.0) and s["alpha"] == pytest.approx(0.0, abs=1e-12)
    assert s["correlation"] == pytest.approx(1.0) and s["tracking_error"] == 0.0
    assert s["up_capture"] == pytest.approx(1.0) and s["down_capture"] == pytest.approx(1.0)


def test_figures_are_empyricals_on_the_same_bars(run):
    result, index = run
    s = result.stats(benchmark=index)
    ours = result.returns[result.returns.index > result.start].to_numpy()
    theirs = index.pct_change()[result.returns.index > result.start].to_numpy()
    active = ours - theirs
    alpha, beta = empyrical.alpha_beta(ours, theirs)
    assert (s["alpha"], s["beta"]) == (pytest.approx(alpha), pytest.approx(beta))
    assert s["information_ratio"] == \
        pytest.approx(empyrical.excess_sharpe(ours, theirs) * math.sqrt(252))
    assert s["tracking_error"] == pytest.approx(active.std(ddof=1) * math.sqrt(252))
    assert s["correlation"] == pytest.approx(np.corrcoef(ours, theirs)[0, 1])
    assert s["up_capture"] == pytest.approx(empyrical.up_capture(ours, theirs))
    assert s["down_capture"] == pytest.approx(empyrical.down_capture(ours, theirs))
    assert s["benchmark_total_return"] == \
        pytest.approx(index.iloc[-1] / index[result.start] - 1.0)
    # The same benchmark as returns (told apart by their sign), or said to be returns.
    returns = index.pct_change()
    for kind in ("auto", "returns"):
        again = result.stats(benchmark=returns, benchmark_kind=kind)
        assert again[list(BENCHMARK_LABELS)].astype(float).to_numpy() == \
            pytest.approx(s[list(BENCHMARK_LABELS)].astype(float).to_numpy(), rel=1e-9)


def test_returns_between_bars_compound_into_the_next_bar():
    # A result on every other business day; the benchmark's returns are daily.
    daily = pd.bdate_range("2024-01-01", periods=41)
    rng = np.random.default_rng(1)
    level = pd.Series(100 * np.cumprod(1 + rng.normal(0, 0.01, 41)), index=daily)
    bars = daily[::2]
    close = frame(level[bars].to_numpy()[:, None] * [1.0, 1.1], index=bars)
    result = mirelo.backtest(close, weights([[0.5, 0.5]], [0]).set_axis(bars[:1]), **FREE)
    from_prices = result.stats(benchmark=level)
    from_returns = result.stats(benchmark=level.pct_change().iloc[1:])
    assert from_returns["benchmark_total_return"] == pytest.approx(level.iloc[-1] / level.iloc[0] - 1)
    for label in BENCHMARK_LABELS:
        assert from_returns[label] == pytest.approx(from_prices[label], rel=1e-9), label


def test_misaligned_or_unusable_benchmarks_are_refused(run):
    result, index = run
    gaps = index.drop(index.index[[40, 41, 90]])
    with pytest.raises(ValueError, match=r"no price for 3 of the result's dates: "
                                         rf"{index.index[40]:%Y-%m-%d}, {index.index[41]:%Y-%m-%d}"):
        result.stats(benchmark=gaps)
    returns = index.pct_change()
    returns.iloc[60] = np.nan
    with pytest.raises(ValueError, match=f"no return for 1 .*{index.index[60]:%Y-%m-%d}"):
        result.stats(benchmark=returns)
    # Dates before the start are not needed.
    assert result.stats(benchmark=index[result.start:])["beta"] == result.stats(
        benchmark=index)["beta"]
    with pytest.raises(ValueError, match="prices must be positive"):
        result.stats(benchmark=index - index.iloc[100], benchmark_kind="prices")
    with pytest.raises(TypeError, match="Series of prices or returns"):
        result.stats(benchmark=index.to_frame())
    with pytest.raises(TypeError, match="benchmark index must be a DatetimeIndex"):
        result.stats(benchmark=index.reset_index(drop=True))
    with pytest.raises(ValueError, match="benchmark_kind"):
        result.stats(benchmark=index, benchmark_kind="levels")


def test_plot_draws_the_benchmark_from_the_start(run):
    pytest.importorskip("matplotlib")
    result, index = run
    fig = result.plot(benchmark=index)
    lines = fig.axes[0].get_lines()
    assert [line.get_label() for line in lines] == ["portfolio", "index"]
    ys = lines[1].get_ydata()
    assert ys[0] == 1.0 and ys[-1] == pytest.approx(index.iloc[-1] / index[result.start])
