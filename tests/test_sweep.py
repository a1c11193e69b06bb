"""mirelo.sweep on the threads engine: rows, failures, weights axis, progress,
arguments, and what SweepResult offers."""

import sys

import numpy as np
import pandas as pd
import pytest

import mirelo
from mirelo._sweep import rows
from sweepcase import CLOSE, FAILING, GRID, WEIGHTS, count_runs, outcome, run


@pytest.fixture(scope="module")
def swept():
    return run(keep_returns=True)


def same(a, b):
    """Equal lists, a missing value (NaN, NaT) equal to a missing one."""
    return [x if x == x else "missing" for x in a] == [x if x == x else "missing" for x in b]


class TestRows:
    def test_each_row_is_its_trial_and_failures_stay_in_their_row(self, swept):
        table = swept.table
        assert list(table.columns[:6]) == ["key", "stop_loss", "position_limit", "status",
                                           "error", "elapsed"]
        assert [tuple(r) for r in table[["stop_loss", "position_limit"]].to_numpy()] == [
            (s, p) for s in GRID["stop_loss"] for p in GRID["position_limit"]]
        failed = table[table.status == "error"]
        assert list(failed.position_limit) == [-1.0] * FAILING
        with pytest.raises(ValueError) as raised:
            swept.run(0)
        assert set(failed.error) == {f"ValueError: {raised.value}"}
        assert failed.sharpe.isna().all()
        for i in table.index[table.status == "ok"]:
            rules = table.loc[i, ["stop_loss", "position_limit"]].to_dict()
            stats = mirelo.backtest(CLOSE, WEIGHTS, **rules, holdings=False).stats()
            assert same(table.loc[i, stats.index], stats)
            assert swept.run(i).stats().equals(stats)
            assert pd.isna(table.loc[i, "error"]) and table.loc[i, "elapsed"] > 0
            assert np.array_equal(swept.returns[i].to_numpy(),
                                  swept.run(i).returns.to_numpy(dtype=np.float32))
        assert swept.returns[failed.index].isna().all().all()

    def test_a_trial_whose_statistics_fail_is_a_row_too(self, monkeypatch, swept):
        metrics = rows.metrics

        def failing(setup, trial, run_result):
            if trial.params["stop_loss"] == 0.1:
                raise RuntimeError("no statistics today")
            return metrics(setup, trial, run_result)

        monkeypatch.setattr(rows, "metrics", failing)
        table = run().table
        broken = (table.stop_loss == 0.1) & (table.position_limit >= 0)
        assert list(table.error[broken]) == ["RuntimeError: no statistics today"] * 2
        untouched = table.stop_loss != 0.1
        pd.testing.assert_frame_equal(outcome(swept)[untouched], table[untouched].drop(
            columns="elapsed"))

    def test_weights_mapping_is_the_outer_axis_on_one_market(self, monkeypatch, swept):
        markets = count_runs(monkeypatch)
        table = run(weights={"full": WEIGHTS, "half": WEIGHTS * 0.5}).table
        assert len(markets) == 1
        assert list(table.weights) == ["full"] * 9 + ["half"] * 9
        half = run(weights=WEIGHTS * 0.5).table
        for part, alone in ((table[:9], swept.table), (table[9:], half)):
            pd.testing.assert_frame_equal(
                part.drop(columns=["key", "weights", "elapsed"]).reset_index(drop=True),
                alone.drop(columns=["key", "elapsed"]).reset_index(drop=True))


    def test_frames_with_other_columns_and_a_delisting_share_the_market(self, monkeypatch):
        markets = count_runs(monkeypatch)
        frames = {"all": WEIGHTS, "some": WEIGHTS[["S4", "S1", "S0"]]}
        delisted = {"S1": CLOSE.index[10]}  # held from bar 1
        swept = run({"stop_loss": [0.05, 1.0]}, weights=frames, delisted=delisted)
        assert len(markets) == 1
        for i, row in swept.table.iterrows():
            trades = swept.run(i).trades
            assert trades.loc[trades.stock == "S1", "reason"].iloc[0] == "delisting"
            alone = mirelo.backtest(CLOSE, frames[row.weights], delisted=delisted,
                                    stop_loss=row.stop_loss, holdings=False).stats()
            assert same(row[alone.index], alone)

    def test_with_the_holdings_record_rows_are_those_of_backtest(self, swept):
        # Exact turnover, exposure and costs, as mirelo.backtest gives them by default; the
        # estimates without the record differ.
        recorded = run({"stop_loss": [0.05, 1.0]}, holdings=True)
        for i, row in recorded.table.iterrows():
            stats = mirelo.backtest(CLOSE, WEIGHTS, stop_loss=row.stop_loss).stats()
            assert same(row[stats.index], stats) and stats["costs"] > 0
            assert recorded.run(i).has_holdings
        ok = swept.table[swept.table.status == "ok"]
        assert not swept.run(int(ok.index[0])).has_holdings
        estimated = ok.set_index("stop_loss").loc[1.0]
        assert (estimated["turnover"] != row["turnover"]).all()
        assert estimated["costs"].isna().all()


class TestProgress:
    def test_progress_false_prints_nothing(self, capfd):
        run(progress=False)
        assert capfd.readouterr() == ("", "")

    def test_progress_bar_shows_trials_failures_and_the_running_best(self, capfd, swept):
        run(progress=True)
        err = capfd.readouterr().err
        best = swept.table.sharpe.max()
        assert "9/9" in err and "3 failed" in err and f"best sharpe {best:.4g}" in err


class TestArguments:
    @pytest.mark.parametrize("options, error, message", [
        (dict(engine="dask"), ValueError, "engine must be one of 'threads', 'ray', got 'dask'"),
        (dict(workers=0), ValueError, "workers must be a positive int or None, got 0"),
        (dict(ray_address="auto"), ValueError, 'ray_address is used by engine="ray" only'),
    ])
    def test_refused(self, options, error, message):
        with pytest.raises(error) as raised:
            run(**options)
        assert str(raised.value) == message

    def test_ray_engine_without_ray_names_the_extra(self, monkeypatch):
        monkeypatch.setitem(sys.modules, "ray", None)
        with pytest.raises(ImportError, match=r'pip install "mirelo-core\[cluster\]"'):
            run(engine="ray")


class TestSweepResult:
    def test_best(self, swept):
        table = swept.table
        assert swept.best().name == table.sharpe.idxmax()
        assert swept.best("max_drawdown", largest=False).name == table.max_drawdown.idxmin()
        with pytest.raises(ValueError, match="metric: 'stop_loss' is not a statistic"):
            swept.best("stop_loss")

    def test_run_and_pbo_refusals(self, swept):
        with pytest.raises(IndexError, match=r"i: no trial 9 \(the sweep has 9\)"):
            swept.run(9)
        with pytest.raises(ValueError, match="run the sweep with keep_returns=True"):
            run().pbo()

    def test_heatmap_cells_are_the_metric(self, swept):
        pytest.importorskip("matplotlib")
        import matplotlib

        matplotlib.use("Agg")
        ax = swept.plot("stop_loss", "position_limit", "sharpe")
        cells = ax.images[0].get_array()
        expected = swept.table.sharpe.to_numpy().reshape(3, 3).T  # rows: position_limit
        assert np.array_equal(np.ma.filled(cells, np.nan), expected, equal_nan=True)
        with pytest.raises(ValueError, match="plot needs one trial per"):
            run(grid={**GRID, "take_profit": [0.1, 0.2]}).plot("stop_loss", "position_limit")
