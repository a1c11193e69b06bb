"""The demo's ``--validate``: the stop-loss x take-profit grid of ``--sweep`` chosen on
training windows and measured on the windows after them.

Walk-forward: train on 36 months, test on the next 6, roll on by 6 (shorter
windows on a short market), with a month of bars purged between training and
test -- about one holding period of the monthly strategy, so that a position
opened at the end of training is not scored in both.  It runs in fresh mode:
each test window's chosen trial is also run alone from a flat start, and the
fold table shows both test scores.  Then combinatorial purged cross-validation
(10 folds, 2 test folds: 45 splits, 9 paths) in slice mode, summarised.

``python -m mirelo.demo --validate [--plot FILE.png]``
"""

from __future__ import annotations

import time
from dataclasses import dataclass
from typing import Any

import pandas as pd

import mirelo
from mirelo.demo import (DEFAULT_RULES, DEFAULT_SEED, DEFAULT_STOCKS, DEFAULT_TOP,
                              DEFAULT_YEARS, SWEEP_GRID, Strategy, _grid_value, _number,
                              _pct, build_strategy, day)

HOLDING_BARS = 21  # the strategy rebalances monthly
TRAIN_MONTHS, TEST_MONTHS = 36, 6
CPCV_FOLDS, CPCV_TEST_FOLDS = 10, 2


@dataclass
class ValidateDemo:
    strategy: Strategy
    grid: dict[str, list[float]]
    walk_forward: mirelo.WalkForward
    forward: mirelo.CVResult  # fresh mode
    cpcv: mirelo.CVResult  # slice mode
    seconds: float


def window_months(months: int) -> tuple[int, int]:
    """Training and test months: 36 and 6, shrunk on a short market so that it
    still has a few splits."""
    return min(TRAIN_MONTHS, max(2, int(0.4 * months))), min(TEST_MONTHS, max(1, months // 8))


def run_validate_demo(seed: int = DEFAULT_SEED, stocks: int = DEFAULT_STOCKS,
                      years: float = DEFAULT_YEARS, top: int = DEFAULT_TOP,
                      grid: dict[str, list[float]] | None = None, progress: bool = False,
                      **rules: Any) -> ValidateDemo:
    grid = SWEEP_GRID if grid is None else grid
    fixed = {k: v for k, v in {**DEFAULT_RULES, **rules}.items() if k not in grid}
    strategy = build_strategy(seed, stocks, years, top)
    args = dict(strategy.market_args)
    close = args.pop("close")
    train, test = window_months(len(close.index.to_period("M").unique()))
    walk_forward = mirelo.WalkForward(test, train, freq="ME", purged_size=HOLDING_BARS)
    cpcv = mirelo.CombinatorialPurgedCV(CPCV_FOLDS, CPCV_TEST_FOLDS, purged_size=HOLDING_BARS,
                                        embargo_size=HOLDING_BARS)
    start = time.perf_counter()
    forward = mirelo.cross_validate(close, strategy.weights, grid, walk_forward, mode="fresh",
                                    progress=progress, **args, **fixed)
    combinatorial = mirelo.cross_validate(close, strategy.weights, grid, cpcv,
                                          progress=progress, **args, **fixed)
    return ValidateDemo(strategy, grid, walk_forward, forward, combinatorial,
                        time.perf_counter() - start)


def _rank(rank: Any, ranked: Any) -> str:
    return "n/a" if pd.isna(rank) else f"{rank:g}/{ranked}"


def _fold_lines(result: mirelo.CVResult) -> list[str]:
    lines = [f"  {'split':>5}  {'training':<22}  {'test':<22}  {'stop':>5}  {'profit':>6}  "
             f"{'train':>6}  {'test':>6}  {'fresh':>6}  {'rank':>6}"]
    for fold in result.folds.itertuples():
        chosen = not pd.isna(fold.trial)
        lines.append(
            f"  {fold.split:>5}  {day(fold.train_start)}..{day(fold.train_end)}  "
            f"{day(fold.test_start)}..{day(fold.test_end)}  "
            f"{_grid_value(fold.stop_loss) if chosen else '-':>5}  "
            f"{_grid_value(fold.take_profit) if chosen else '-':>6}  "
            f"{_number(fold.train_score):>6}  {_number(fold.slice_test_score):>6}  "
            f"{_number(fold.test_score):>6}  {_rank(fold.test_rank, fold.ranked):>6}")
    return lines


def _summary_lines(summary: pd.Series) -> list[str]:
    return [
        f"  Training Sharpe (mean)  {_number(summary['train_score_mean']):>7}   "
        f"test Sharpe (mean) {_number(summary['test_score_mean'])}",
        f"  Degradation             {_number(summary['degradation']):>7}   rank correlation "
        f"of training and test {_number(summary['rank_correlation'])}",
        f"  PBO of the selection    {_number(summary['pbo'], 3):>7}   folds whose choice "
        "ranks no better than the median",
        f"  Deflated Sharpe ratio   {_number(summary['deflated_sharpe'], 3):>7}   of the "
        "out-of-sample path, the grid as trials",
    ]


def format_validate_report(demo: ValidateDemo) -> str:
    s, m = demo.strategy, demo.strategy.market
    wf, forward = demo.walk_forward, demo.forward
    bars = s.market_args["close"].index
    lines: list[str] = []
    add = lines.append
    add("mirelo demo: out-of-sample validation of the stop-loss x take-profit grid")
    add("=" * 76)
    add(f"Data       {m.n_stocks} stocks, {m.n_bars} daily bars, {day(bars[0])} to "
        f"{day(bars[-1])}")
    add(f"Strategy   top {s.top} by {s.lookback}-{s.skip} bar momentum, equal weight, "
        "monthly")
    add("Choice     the trial with the best Sharpe ratio on the training bars")
    for name, values in demo.grid.items():
        add(f"Grid       {name:<12} {' '.join(_grid_value(v) for v in values)}")
    add(f"Time       {demo.seconds:.2f} s for both validations")
    add("")
    add(f"Walk-forward: train {wf.train_size} months, test {wf.test_size}, "
        f"{wf.purged_size} bars purged between; {len(forward.splits)} splits")
    add("  test: the chosen trial's Sharpe ratio on the test bars of its run over the")
    add("  whole calendar; fresh: that trial run on the test window alone, from cash;")
    add("  rank: of its test Sharpe ratio among those of all the trials")
    lines.extend(_fold_lines(forward))
    stats = forward.stats()[0]
    add("")
    add(f"Out-of-sample path (fresh)  {day(stats['start'])} to {day(stats['end'])}")
    add(f"  Total return {_pct(stats['total_return'])}, annualised {_pct(stats['annual_return'])}, "
        f"volatility {_pct(stats['annual_volatility'])}")
    add(f"  Sharpe ratio {_number(stats['sharpe'])}, maximum drawdown "
        f"{_pct(stats['max_drawdown'])}, {stats['trades']} trades, win rate "
        f"{_pct(stats['win_rate'], 1)}")
    lines.extend(_summary_lines(forward.summary()))
    cpcv, summary = demo.cpcv, demo.cpcv.summary()
    sharpes = cpcv.stats().loc["sharpe"].astype(float)
    add("")
    add(f"Combinatorial purged cross-validation: {CPCV_FOLDS} folds, {CPCV_TEST_FOLDS} test "
        f"folds, {HOLDING_BARS} bars")
    add(f"purged and embargoed; {len(cpcv.splits)} splits, {cpcv.n_paths} paths (slice mode)")
    add(f"  Sharpe ratio over paths  mean {_number(summary['sharpe_mean'])}, spread "
        f"{_number(summary['sharpe_std'])}, from {_number(sharpes.min())} to "
        f"{_number(sharpes.max())}")
    lines.extend(_summary_lines(summary))
    return "\n".join(lines)


def plot_validate(demo: ValidateDemo, path: str) -> None:
    demo.forward.plot(path, title="Walk-forward: out-of-sample value (fresh windows)")


def validate_main(seed: int, stocks: int, years: float, top: int,
                  plot: str | None, rules: dict[str, Any]) -> str:
    """The report of ``--validate`` (its plot written to `plot` when given)."""
    shared = {k: v for k, v in rules.items() if k not in SWEEP_GRID}
    demo = run_validate_demo(seed=seed, stocks=stocks, years=years, top=top, progress=True,
                             **shared)
    if plot:
        plot_validate(demo, plot)
    return format_validate_report(demo) + (f"\nPlot written to {plot}" if plot else "")


__all__ = ["format_validate_report", "plot_validate", "run_validate_demo", "validate_main",
           "window_months"]
