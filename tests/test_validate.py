"""mirelo.cross_validate: hand-worked slice and fresh windows, agreement with
mirelo.backtest, callable weights, failures, progress, store, and CVResult."""

import empyrical
import numpy as np
import pandas as pd
import pytest

import mirelo
from sweepcase import CLOSE, GRID, WEIGHTS, count_runs

FREE = dict(fee_ratio=0.0, tax_ratio=0.0)


def validate(grid=GRID, cv=None, weights=WEIGHTS, **options):
    options.setdefault("progress", False)
    return mirelo.cross_validate(CLOSE, weights, grid, cv or mirelo.WalkForward(40, 60),
                                 **options)


# One stock, bought with the first weights row on bar 0 and held.  Closes: flat, then
# +10% twice in training; the test windows (bars 4-7 and 8-11) move it on bars 4, 6, 8
# and 10.  Half the position (position_limit 0.5) keeps half in cash: it does better
# on the second test window, where the stock falls.
TINY_CLOSE = pd.DataFrame({"A": [10, 10, 11, 12.1, 24.2, 24.2, 36.3, 36.3,
                                 18.15, 18.15, 9.075, 9.075]},
                          index=pd.bdate_range("2022-01-03", periods=12), dtype=float)
TINY_WEIGHTS = pd.DataFrame({"A": [1.0]}, index=TINY_CLOSE.index[:1])


def tiny(mode):
    return mirelo.cross_validate(TINY_CLOSE, TINY_WEIGHTS, {"position_limit": [0.5, 1.0]},
                                 mirelo.WalkForward(4, 4), select="total_return", mode=mode,
                                 progress=False, **FREE)


class TestHandWorked:
    def test_slice_carries_the_position_in_and_fresh_starts_flat(self):
        sliced, fresh = tiny("slice"), tiny("fresh")
        for result in (sliced, fresh):
            folds = result.folds
            assert list(folds.trial) == [1, 1] and list(folds.position_limit) == [1.0, 1.0]
            assert list(folds.train_score) == pytest.approx([0.21, 2.0], rel=1e-6)
            assert list(folds.test_rank) == [1.0, 2.0]
        assert list(sliced.folds.test_score) == pytest.approx([2.0, -0.75], rel=1e-6)
        assert list(fresh.folds.slice_test_score) == pytest.approx([2.0, -0.75], rel=1e-6)
        # Fresh: flat on each window's first bar, in on its second at the close.
        assert list(fresh.folds.test_score) == pytest.approx([0.5, -0.5], rel=1e-6)
        assert sliced.paths[0].tolist() == pytest.approx([1, 0, .5, 0, -.5, 0, -.5, 0],
                                                         abs=1e-6)
        assert fresh.paths[0].tolist() == pytest.approx([0, 0, .5, 0, 0, 0, -.5, 0], abs=1e-6)

    def test_path_statistics_count_the_trades_entered_in_the_windows(self):
        sliced, fresh = tiny("slice").stats()[0], tiny("fresh").stats()[0]
        assert (sliced["trades"], sliced["exposure"]) == (0, 1.0)  # entered on bar 1
        assert (fresh["trades"], fresh["exposure"], fresh["win_rate"]) == (2, 1.0, 0.5)
        assert fresh["total_return"] == pytest.approx(1.5 * 0.5 - 1.0, rel=1e-6)
        assert fresh["start"] == TINY_CLOSE.index[5]  # a fresh window's first bar is flat
        # Turnover over the covered bars: none in slice mode (bought before the windows);
        # fresh, each window buys the whole value once (one-way 0.5), over 6 bars at 252 a
        # year.  Free trading costs nothing.
        assert (sliced["turnover"], sliced["costs"], fresh["costs"]) == (0.0, 0.0, 0.0)
        assert fresh["turnover"] == pytest.approx(2 * 0.5 / (6 / 252), rel=1e-12)

    def test_summary(self):
        summary = tiny("slice").summary()
        assert summary["paths"] == 1 and np.isnan(summary["sharpe_std"])
        assert summary["degradation"] == pytest.approx((0.21 + 2.0) / 2 - 0.625, rel=1e-5)
        assert summary["pbo"] == 0.5  # the worst of two on the second window


@pytest.fixture(scope="module")
def fresh():
    return validate(mode="fresh", cv=mirelo.WalkForward(40, 60, purged_size=5))


@pytest.fixture(scope="module")
def backtests():
    """The grid's trials that run (position_limit > 0), by trial number."""
    rules = [dict(stop_loss=s, position_limit=p) for s in GRID["stop_loss"]
             for p in GRID["position_limit"]]
    return {k: mirelo.backtest(CLOSE, WEIGHTS, **r) for k, r in enumerate(rules)
            if r["position_limit"] > 0}


class TestAgreesWithBacktest:
    def test_slice_scores_are_the_backtests_on_the_same_bars(self, fresh, backtests):
        def sharpe(result, bars):
            returns = result.returns.to_numpy()[bars[bars > result.start_bar]]
            return empyrical.sharpe_ratio(returns, annualization=252)

        for fold in fresh.folds.itertuples():
            split = fresh.splits[fold.split]
            training = {k: sharpe(r, split.train) for k, r in backtests.items()}
            assert fold.trial == max(training, key=training.get)
            assert fold.train_score == pytest.approx(training[fold.trial], rel=1e-5)
            assert fold.slice_test_score == pytest.approx(
                sharpe(backtests[fold.trial], split.groups[0]), rel=1e-5)

    def test_fresh_scores_are_backtests_on_the_test_windows_frames(self, fresh):
        for fold in fresh.folds.itertuples():
            first, last = fresh.calendar.get_indexer([fold.test_start, fold.test_end])
            window = CLOSE.iloc[first:last + 1]
            rows = WEIGHTS.index
            kept = WEIGHTS[(rows >= rows[rows <= window.index[0]][-1])
                           & (rows <= window.index[-1])]
            rebalance = window.index[:1].union(kept.index[kept.index >= window.index[0]])
            alone = mirelo.backtest(window, kept, rebalance=rebalance,
                                    stop_loss=fold.stop_loss,
                                    position_limit=fold.position_limit)
            assert fold.test_score == pytest.approx(
                alone.stats(periods_per_year=252)["sharpe"], rel=1e-5)
            np.testing.assert_array_equal(fresh.run(fold.split).value, alone.value)
            assert fresh.paths[0][window.index].to_numpy() == pytest.approx(
                alone.returns.to_numpy(), abs=1e-7)


class TestCPCV:
    def test_paths_are_the_chosen_trials_returns_on_every_fold(self):
        cv = mirelo.CombinatorialPurgedCV(6, 2, purged_size=3, embargo_size=3)
        result = validate(cv=cv)
        kept = mirelo.sweep(CLOSE, WEIGHTS, GRID, progress=False, keep_returns=True).returns
        assert result.paths.shape == (len(CLOSE), cv.n_test_paths)
        assert not result.paths.isna().any().any()
        assert len(result.folds) == 2 * cv.n_splits
        for fold in result.folds.itertuples():
            bars = result.splits[fold.split].groups[fold.group]
            np.testing.assert_array_equal(result.paths[fold.path].iloc[bars],
                                          kept[fold.trial].iloc[bars].astype(np.float64))
        sharpes = result.stats().loc["sharpe"].astype(float)
        summary = result.summary()
        assert summary["sharpe_mean"] == pytest.approx(sharpes.mean(), rel=1e-12)
        assert summary["sharpe_std"] == pytest.approx(sharpes.std(ddof=1), rel=1e-12)


class TestCallableWeights:
    def test_called_once_per_split_with_its_training_dates(self, monkeypatch):
        seen = []

        def top_half(train_dates):  # the stocks that rose most in training, held throughout
            score = CLOSE.loc[train_dates[-1]] / CLOSE.loc[train_dates[0]]
            top = (score >= score.median()).astype(float)
            return pd.DataFrame([top / top.sum()] * len(WEIGHTS), index=WEIGHTS.index)

        def momentum(train_dates):
            seen.append(train_dates)
            return top_half(train_dates)

        cv = mirelo.WalkForward(40, 60)
        markets = count_runs(monkeypatch)
        result = validate(grid={"stop_loss": [0.05, 1.0]}, weights=momentum, cv=cv)
        assert [list(d) for d in seen] == [list(CLOSE.index[t]) for t, _ in cv.split(CLOSE)]
        assert sum(m.jobs for m in markets) == 2 * len(seen) and len(markets) == 1
        assert list(result.table.weights) == [f"split {s}" for s in range(3) for _ in "ab"]
        for fold in result.folds.itertuples():
            alone = mirelo.backtest(CLOSE, top_half(seen[fold.split]), stop_loss=fold.stop_loss)
            np.testing.assert_array_equal(result.run(fold.split).value, alone.value)

    @pytest.mark.parametrize("frame, message", [
        (pd.DataFrame({"ZZ": [1.0]}, index=CLOSE.index[:1]),
         "weights(train_dates) of split 0 has stocks that are not in close: 'ZZ'"),
        (pd.DataFrame({"S0": [1.0]}, index=[CLOSE.index[-1] + pd.Timedelta(days=1)]),
         "weights(train_dates) of split 0 has rows dated outside the calendar"),
    ])
    def test_refused_naming_the_split(self, frame, message):
        with pytest.raises(ValueError, match=message.replace("(", r"\(").replace(")", r"\)")):
            validate(weights=lambda dates: frame)


class TestRunsAndFailures:
    def test_failed_trials_are_rows_and_never_chosen(self):
        result = validate()
        assert (result.table.status == "error").sum() == 3
        assert (result.folds.position_limit > 0).all() and (result.folds.ranked == 6).all()
        assert list(result.table.columns[:6]) == ["key", "stop_loss", "position_limit",
                                                  "status", "error", "elapsed"]

    def test_one_progress_bar_counts_every_run(self, capfd):
        validate(mode="fresh", progress=True)
        err = capfd.readouterr().err
        assert "validate" in err and "12/12" in err and "3 failed" in err

    def test_store_resumes_after_ctrl_c_and_then_runs_nothing(self, tmp_path, monkeypatch):
        def interrupt(chunk):
            if chunk == 3:
                raise KeyboardInterrupt

        store = tmp_path / "cv.parquet"
        markets = count_runs(monkeypatch, interrupt)
        with pytest.raises(KeyboardInterrupt):
            validate(mode="fresh", store=store, workers=1)
        done = sum(m.jobs for m in markets)
        markets = count_runs(monkeypatch)
        resumed = validate(mode="fresh", store=store, workers=1)
        assert sum(m.jobs for m in markets) == 9 + 3 - done
        pd.testing.assert_frame_equal(resumed.folds, validate(mode="fresh").folds)
        markets = count_runs(monkeypatch)
        again = validate(mode="fresh", store=store)
        assert sum(m.jobs for m in markets) == 0
        pd.testing.assert_frame_equal(again.folds, resumed.folds)


    def test_store_of_a_sweep_is_resumed_and_other_settings_are_refused(self, tmp_path,
                                                                        monkeypatch):
        store = tmp_path / "s.parquet"
        mirelo.sweep(CLOSE, WEIGHTS, GRID, store=store, keep_returns=True, progress=False)
        markets = count_runs(monkeypatch)
        resumed = validate(store=store)
        assert sum(m.jobs for m in markets) == 0
        pd.testing.assert_frame_equal(resumed.folds, validate().folds)
        with pytest.raises(ValueError, match="fixed rules differ"):
            validate(store=store, fee_ratio=0.0)


class TestArguments:
    @pytest.mark.parametrize("options, error, message", [
        (dict(select="win_rate"), ValueError, "select: 'win_rate' needs the trades of each "
                                              "window and cannot be scored from returns; "
                                              "available: total_return, annual_return, "
                                              "annual_volatility, sharpe, sortino, "
                                              "max_drawdown, calmar"),
        (dict(select="sharp"), ValueError, "select: unknown statistic 'sharp'; available: "
                                           "total_return, annual_return, annual_volatility, "
                                           "sharpe, sortino, max_drawdown, calmar"),
        (dict(mode="stale"), ValueError, "mode must be 'slice' or 'fresh', got 'stale'"),
        (dict(cv=object()), TypeError, "cv must be a splitter with a split(X) method"),
        (dict(select=lambda table: 99), ValueError, "select returned 99 for split 0, which "
                                                    "is not a trial of its table (0 to 8)"),
    ])
    def test_refused(self, options, error, message):
        with pytest.raises(error) as raised:
            validate(**options)
        assert str(raised.value).startswith(message)

    def test_select_minimises_or_picks_from_the_training_table(self):
        lowest = validate(select="-annual_volatility")
        picked = validate(select=lambda table: table.annual_volatility.idxmin())
        pd.testing.assert_series_equal(lowest.folds.trial, picked.folds.trial)
        assert (lowest.folds.position_limit == 0.3).all()


    def test_periods_per_year_annualises_every_window_and_run(self):
        monthly, daily = validate(mode="fresh", periods_per_year=12), validate(mode="fresh")
        assert set(monthly.table.periods_per_year.dropna()) == {12.0}
        assert set(monthly.fresh_table.periods_per_year) == {12.0}
        assert monthly.stats()[0]["periods_per_year"] == 12.0
        for column in ("train_score", "test_score"):
            np.testing.assert_allclose(monthly.folds[column],
                                       daily.folds[column] * np.sqrt(12 / 252), rtol=1e-12)


class TestCVResult:
    def test_run_refusals(self):
        result = validate(mode="fresh", cv=mirelo.CombinatorialPurgedCV(4, 2))
        with pytest.raises(IndexError, match=r"split: no split 6 \(there are 6\)"):
            result.run(6)
        with pytest.raises(ValueError, match="window: split 1 has 2 test windows"):
            result.run(1)  # folds 0 and 2: two windows
        assert len(result.run(0).index) == 90  # folds 0 and 1: one window
        with pytest.raises(ValueError, match='window is for mode="fresh"'):
            validate().run(0, window=0)

    def test_plot_draws_the_paths_over_the_in_sample_best_and_the_folds(self):
        pytest.importorskip("matplotlib")
        result = validate(cv=mirelo.CombinatorialPurgedCV(4, 2))
        paths, scores = result.plot().axes
        assert len(paths.lines) == result.n_paths + 1
        offsets = scores.collections[0].get_offsets()
        np.testing.assert_allclose(offsets, result.folds[["train_score", "test_score"]]
                                   .to_numpy(dtype=float))
