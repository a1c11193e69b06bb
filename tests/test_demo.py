"""The demo: synthetic market, strategy wiring, report figures and command line.

Report figures are checked against values recomputed here from the returned
value path, trade records and excursion profiles with plain loops.
"""

import math
import re
import subprocess
import sys

import numpy as np
import pandas as pd
import pytest

from mirelo import demo
from mirelo.core import batch

SMALL = dict(seed=3, stocks=40, years=1.0)


@pytest.fixture(scope="module")
def run():
    result = demo.run_demo(**SMALL)
    summary = demo.summarize(result)
    return result, summary, demo.format_report(result, summary)


def report_number(report, label):
    """The first percentage or number printed after `label` in the report."""
    match = re.search(re.escape(label) + r"\s+(-?[0-9.]+)", report)
    assert match, f"{label!r} missing from the report"
    return float(match.group(1))


# ---------------------------------------------------------------- market data


@pytest.fixture(scope="module")
def market():
    return demo.make_market(seed=11, stocks=120, years=4.0)


class TestMarket:
    def test_shapes_calendar_and_names(self, market):
        assert market.close.shape == (1008, 120)
        for m in (market.open, market.high, market.low):
            assert m.shape == market.close.shape and m.dtype == np.float64
        assert market.dates.dtype == np.int64
        days = market.dates.astype("datetime64[ns]").astype("datetime64[D]")
        assert np.all(np.diff(market.dates) > 0)
        assert np.all(np.is_busday(days))
        assert market.names.dtype == object
        assert len(set(market.names)) == 120 and all(isinstance(n, str) for n in market.names)

    def test_ohlc_bounds_and_shared_gaps(self, market):
        o, h, l, c = market.open, market.high, market.low, market.close
        missing = np.isnan(c)
        for m in (o, h, l):
            assert np.array_equal(np.isnan(m), missing)
        ok = ~missing
        assert np.all(h[ok] >= np.maximum(o[ok], c[ok]))
        assert np.all(l[ok] <= np.minimum(o[ok], c[ok]))
        assert np.all(l[ok] > 0)

    def test_listings_suspensions_delistings(self, market):
        c = market.close
        n = market.n_bars
        late = listed_late = 0
        for s in range(market.n_stocks):
            valid = np.flatnonzero(~np.isnan(c[:, s]))
            first, last = valid[0], valid[-1]
            assert first == market.listing_bars[s]
            d = market.delisting_bars[s]
            if d >= 0:
                assert last == d and d < n - 1
            else:
                assert last == n - 1
            listed_late += first > 0
            late += len(valid) != last - first + 1  # a gap inside the listed life
        assert listed_late > 10
        assert np.count_nonzero(market.delisting_bars >= 0) > 2
        assert late >= 1 and late == market.suspended_stocks

    def test_seeded(self, market):
        again = demo.make_market(seed=11, stocks=120, years=4.0)
        other = demo.make_market(seed=12, stocks=120, years=4.0)
        assert np.array_equal(market.close, again.close, equal_nan=True)
        assert np.array_equal(market.names, again.names)
        assert not np.array_equal(market.close, other.close, equal_nan=True)

    def test_returns_look_like_equities(self, market):
        r = np.diff(np.log(market.close), axis=0)
        r = r[np.isfinite(r)]
        vol = r.std() * math.sqrt(252)
        kurt = ((r - r.mean()) ** 4).mean() / r.var() ** 2
        assert 0.1 < vol < 0.6
        assert kurt > 4.0  # fatter tails than a normal's 3


# ---------------------------------------------------------------- strategy


class TestStrategy:
    def test_month_ends(self):
        dates = demo.business_days("2021-01-25", 30)
        ends = demo.month_end_bars(dates)
        days = dates.astype("datetime64[ns]").astype("datetime64[D]")
        # 2021-01-29 (Fri), 2021-02-26 (Fri), then the final bar
        assert [str(days[i]) for i in ends] == ["2021-01-29", "2021-02-26", str(days[-1])]

    def test_weights_use_only_data_up_to_the_signal(self):
        market = demo.make_market(seed=5, stocks=60, years=2.0)
        bars = demo.month_end_bars(market.dates)
        weights, index = demo.momentum_weights(market, bars, 10, 126, 21)
        used = bars[bars >= 126]
        assert np.array_equal(index, market.dates[used])
        k = len(used) // 2
        t = used[k]
        # Scramble every close after the signal bar: that row must not change.
        market.close[t + 1:] = market.close[t + 1:][::-1]
        changed, _ = demo.momentum_weights(market, bars, 10, 126, 21)
        assert np.array_equal(changed[:k + 1], weights[:k + 1])

    def test_top_stocks_by_score_at_equal_weight(self):
        market = demo.make_market(seed=5, stocks=60, years=2.0)
        bars = demo.month_end_bars(market.dates)
        weights, _ = demo.momentum_weights(market, bars, 10, 126, 21)
        for row, t in zip(weights, bars[bars >= 126]):
            held = np.flatnonzero(row)
            assert np.allclose(row[held], 0.1) and len(held) <= 10
            c = market.close
            score = {s: c[t - 21, s] / c[t - 126, s] - 1.0 for s in range(60)
                     if not np.isnan(c[t, s]) and not np.isnan(c[t - 21, s])
                     and not np.isnan(c[t - 126, s])
                     and not (0 <= market.delisting_bars[s] <= t + 5)}
            best = sorted(score, key=score.get, reverse=True)[:10]
            assert sorted(best) == sorted(held.tolist())


# ---------------------------------------------------------------- run and report


class TestRun:
    def test_every_rule_of_the_engine_is_taken_and_others_refused(self):
        rules = {rule.name: rule.default for rule in batch.RULES}
        taken = demo.run_demo(**SMALL, **rules)
        assert taken.rules == taken.result.rules == rules
        with pytest.raises(TypeError, match="stop_los"):
            demo.run_demo(**SMALL, stop_los=0.1)
        with pytest.raises(ValueError, match="more years"):
            demo.run_demo(seed=1, stocks=10, years=0.1)

    def test_value_path_starts_flat_and_trades_follow_the_signals(self, run):
        result, _, _ = run
        res, m = result.result, result.market
        path = res.value.to_numpy()
        assert path.shape == (m.n_bars,) and np.all(np.isfinite(path))
        # Nothing is held before the first signal and on its bar.
        assert np.all(path[:res.start_bar + 1] == 1.0)
        assert res.start == result.weights.index[0]
        # The first rebalance fills on the bar after the first signal, buying
        # exactly the stocks of the first weight row.
        trades = res.trades
        first = set(trades.loc[trades["entry_date"] == res.index[res.start_bar + 1], "stock"])
        wanted = set(result.weights.columns[result.weights.iloc[0].to_numpy() != 0])
        assert first == wanted and len(first) == result.top
        # Every entry fills on the bar after a month-end signal.
        signal_bars = set(res.index.get_indexer(result.weights.index).tolist())
        assert all(bar - 1 in signal_bars for bar in res.index.get_indexer(trades["entry_date"]))

    def test_delisted_stocks_are_closed_by_their_last_bar(self):
        result = demo.run_demo(seed=2, stocks=150, years=3.0)
        m, res = result.market, result.result
        sid = {name: i for i, name in enumerate(m.names)}
        checked = 0
        for stock, exit_date in zip(res.trades["stock"], res.trades["exit_date"]):
            d = m.delisting_bars[sid[stock]]
            if d >= 0:
                assert pd.notna(exit_date) and res.index.get_loc(exit_date) <= d
                checked += 1
        assert checked > 0

    def test_figures_match_independent_computation(self, run):
        result, s, report = run
        res = result.result
        path = res.value.tolist()
        start = res.start_bar

        total = path[-1] / path[0] - 1.0
        assert s["total_return"] == pytest.approx(total, rel=1e-12)
        assert report_number(report, "Total return") == pytest.approx(100 * total, abs=0.006)

        n_years = (len(path) - 1 - start) / 252
        annual = (path[-1] / path[start]) ** (1 / n_years) - 1.0
        assert s["annual_return"] == pytest.approx(annual, rel=1e-9)
        assert report_number(report, "Annualised return") == pytest.approx(100 * annual, abs=0.006)

        daily = [path[i] / path[i - 1] - 1.0 for i in range(start + 1, len(path))]
        mean = sum(daily) / len(daily)
        var = sum((x - mean) ** 2 for x in daily) / (len(daily) - 1)
        vol = math.sqrt(var * 252)
        assert s["annual_volatility"] == pytest.approx(vol, rel=1e-9)
        assert report_number(report, "Annualised volatility") == pytest.approx(100 * vol, abs=0.006)
        assert report_number(report, "Sharpe ratio") == pytest.approx(
            mean / math.sqrt(var) * math.sqrt(252), abs=0.006)

        peak_bar, worst, worst_peak, worst_trough = 0, 0.0, 0, 0
        for i, v in enumerate(path):
            if v > path[peak_bar]:
                peak_bar = i
            fall = v / path[peak_bar] - 1.0
            if fall < worst:
                worst, worst_peak, worst_trough = fall, peak_bar, i
        assert s["max_drawdown"] == pytest.approx(worst, rel=1e-12)
        assert report_number(report, "Maximum drawdown") == pytest.approx(100 * worst, abs=0.006)
        dd_line = next(line for line in report.splitlines() if "Maximum drawdown" in line)
        assert demo.day(res.index[worst_peak]) in dd_line
        assert demo.day(res.index[worst_trough]) in dd_line

    def test_trade_figures_match_the_rows_and_profiles(self, run):
        result, s, report = run
        res = result.result
        trades, profiles = res.trades, res.run_result.profiles
        assert len(trades) == len(profiles) > result.top
        window, step = result.rules["excursion_window"], result.rules["excursion_window_step"]
        assert profiles.shape[1] == 6 * ((window - 1) // step + 2)

        returns = trades["return"].tolist()
        assert report_number(report, "Number of trades") == len(trades)
        open_count = int(trades["exit_date"].isna().sum())
        assert s["open_trades"] == open_count
        assert f"({open_count} still open)" in report

        wins = sum(1 for x in returns if x > 0) / len(returns)
        assert s["win_rate"] == pytest.approx(wins)
        assert report_number(report, "Win rate") == pytest.approx(100 * wins, abs=0.06)

        records = res.run_result.trades
        closed = [int(r["exit_bar"] - r["entry_bar"]) for r in records if r["exit_bar"] != -1]
        hold = sum(closed) / len(closed)
        assert s["avg_bars_held"] == pytest.approx(hold)
        assert report_number(report, "Average holding period") == pytest.approx(hold, abs=0.06)

        mae = sorted(profiles[:, -6].tolist())
        mfe = sorted(profiles[:, -5].tolist())
        mid = len(profiles) // 2
        median = (lambda v: v[mid] if len(v) % 2 else (v[mid - 1] + v[mid]) / 2)
        assert s["median_mae"] == pytest.approx(median(mae))
        assert s["median_mfe"] == pytest.approx(median(mfe))
        assert report_number(report, "Median maximum adverse excursion") == pytest.approx(
            100 * median(mae), abs=0.006)
        assert report_number(report, "Median maximum favourable excursion") == pytest.approx(
            100 * median(mfe), abs=0.006)
        assert all(p[-6] <= 0.0 <= p[-5] for p in profiles)

        order = sorted(range(len(trades)), key=lambda i: returns[i])
        text = report.split("Five best trades")[1]
        best_text, worst_text = text.split("Five worst trades")
        for i in order[-5:]:
            assert f"{100 * returns[i]:.2f}%" in best_text
            assert trades["stock"].iloc[i] in best_text
        for i in order[:5]:
            assert f"{100 * returns[i]:.2f}%" in worst_text.split("Excursions")[0]

    def test_trade_return_is_priced_as_the_report_notes_say(self, run):
        # The money the trades made adds up to the value path's gain, and a run with
        # another excursion window gives the same returns.
        result, _, report = run
        trades = result.result.run_result.trades
        made = np.sum(trades["exit_value"] - trades["entry_value"])
        assert result.result.value.iloc[-1] - 1.0 == pytest.approx(made, rel=1e-9)
        other = demo.run_demo(**SMALL, excursion_window=0)
        assert other.result.trades["return"].equals(result.result.trades["return"])
        assert f"window ({result.rules['excursion_window']} bars)" in report

    def test_final_operations_are_listed_by_name(self, run):
        result, _, report = run
        ops = result.result.operations
        section = report.split("Final operations")[1]
        assert len(ops["actions"]), "the final bar is a signal, so actions are due"
        for stock, label in ops["actions"].items():
            assert re.search(rf"^\s+{stock}\s+{re.escape(label)}\s", section, re.M)
        # The next weights are the last weight row minus the stocks stopped out.
        last_row = set(result.weights.columns[result.weights.iloc[-1].to_numpy() != 0])
        stopped = {k for k, label in ops["actions"].items() if label in ("sl_", "tp_", "sl", "tp")}
        assert set(ops["next_weights"].index) == last_row - stopped

    def test_rules_reach_the_engine(self):
        # With no exit rule at all, no stock can be stopped out between rebalances.
        loose = demo.run_demo(**SMALL, stop_loss=1.0, trail_stop=math.inf)
        labels = set(loose.result.operations["actions"])
        assert labels <= {"enter", "exit", "hold"}
        tight = demo.run_demo(**SMALL, stop_loss=0.02, touched_exit=True)
        assert len(tight.result.trades) > len(loose.result.trades)
        # Fees lower the value path bar for bar once trading starts.
        free = demo.run_demo(**SMALL, fee_ratio=0.0, tax_ratio=0.0)
        costly = demo.run_demo(**SMALL, fee_ratio=0.01, tax_ratio=0.01)
        assert free.result.value.iloc[-1] > costly.result.value.iloc[-1]

    def test_same_seed_same_run(self, run):
        result, _, report = run
        again = demo.run_demo(**SMALL)
        assert np.array_equal(again.result.value, result.result.value)
        strip = lambda text: text.split("Run time")[0]
        assert strip(demo.format_report(again)) == strip(report)


# ---------------------------------------------------------------- command line


CLI = [sys.executable, "-m", "mirelo.demo", "--stocks", "30", "--years", "1"]


def test_cli_prints_the_report():
    done = subprocess.run(CLI, capture_output=True, text=True, timeout=120)
    assert done.returncode == 0, done.stderr
    for label in ("Total return", "Maximum drawdown", "Number of trades",
                  "Five worst trades", "Median maximum adverse excursion", "Final operations"):
        assert label in done.stdout


def test_cli_reports_bad_options():
    done = subprocess.run(CLI[:3] + ["--years", "0.1"], capture_output=True, text=True, timeout=120)
    assert done.returncode == 2 and "more years" in done.stderr
    done = subprocess.run(CLI + ["--exit", "sideways"], capture_output=True, text=True, timeout=120)
    assert done.returncode == 2 and "--exit" in done.stderr


def test_plot_writes_a_png(tmp_path, capsys):
    pytest.importorskip("matplotlib")
    target = tmp_path / "demo.png"
    assert demo.main(["--stocks", "30", "--years", "1", "--plot", str(target)]) == 0
    data = target.read_bytes()
    assert data[:8] == b"\x89PNG\r\n\x1a\n" and len(data) > 10_000
    assert str(target) in capsys.readouterr().out


def test_report_is_written_against_the_market_index(tmp_path, capsys):
    pytest.importorskip("matplotlib")
    target = tmp_path / "demo.html"
    assert demo.main(["--stocks", "30", "--years", "1", "--report", str(target)]) == 0
    page = target.read_text(encoding="utf-8")
    assert "market (equal weight)" in page and page.count("<svg") == 5
    assert 'id="group-contributors"' in page and "sector 8" in page
    assert str(target) in capsys.readouterr().out
    assert demo.main(["--sweep", "--report", str(target)]) == 2
    assert "drop --sweep" in capsys.readouterr().err
    # The index is the mean of the listed stocks' returns, bar by bar.
    market = demo.make_market(seed=3, stocks=5, years=0.2)
    index = demo.market_benchmark(market)
    bar = 7
    moves = market.close[bar] / market.close[bar - 1] - 1
    assert index.iloc[0] == 0 and index.iloc[bar] == pytest.approx(np.nanmean(moves))


def test_plot_without_matplotlib_says_how_to_install(tmp_path, monkeypatch, capsys):
    monkeypatch.setitem(sys.modules, "matplotlib", None)  # import now fails
    target = tmp_path / "demo.png"
    assert demo.main(["--stocks", "30", "--years", "1", "--plot", str(target)]) == 2
    err = capsys.readouterr().err
    assert "pip install matplotlib" in err and "[plot]" in err
    assert not target.exists()


# ---------------------------------------------------------------- sweep


@pytest.fixture(scope="module")
def swept():
    result = demo.run_sweep_demo(**SMALL)
    return result, demo.format_sweep_report(result)


class TestSweep:
    def test_trials_are_the_demo_backtest_with_the_grid_rules(self, swept):
        result, _ = swept
        table = result.sweep.table
        assert len(table) == 36 and (table["status"] == "ok").all()
        for i in (0, 17, 35):
            rules = {k: table.loc[i, k] for k in demo.SWEEP_GRID}
            single = demo.run_demo(**SMALL, **rules).result.stats()
            assert table.loc[i, single.index].tolist() == single.tolist()

    def test_report_lists_the_best_trials_and_the_overfitting_figures(self, swept):
        result, report = swept
        table = result.sweep.table.sort_values("sharpe", ascending=False, kind="stable")
        rows = report.split("Top 5 trials by Sharpe ratio")[1].splitlines()[2:7]
        for line, (_, trial) in zip(rows, table.head(5).iterrows()):
            assert line.split()[2] == f"{trial['sharpe']:.2f}"
            assert line.split()[5] == str(trial["trades"])
        assert result.deflated_sharpe == result.sweep.deflated_sharpe()
        assert result.pbo == result.sweep.pbo(demo.PBO_SPLITS)
        assert report_number(report, "Deflated Sharpe ratio") == round(result.deflated_sharpe, 3)
        assert report_number(report, "PBO") == round(result.pbo, 3)

    def test_cli_sweep_draws_the_heatmap_and_refuses_a_fixed_stop(self, tmp_path, capsys):
        pytest.importorskip("matplotlib")
        target = tmp_path / "grid.png"
        args = ["--stocks", "30", "--years", "1", "--sweep"]
        assert demo.main(args + ["--plot", str(target)]) == 0
        assert target.read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"
        out = capsys.readouterr().out
        assert "Deflated Sharpe ratio" in out and str(target) in out
        assert demo.main(args + ["--stop-loss", "0.2"]) == 2
        assert "drop --stop-loss" in capsys.readouterr().err


# ---------------------------------------------------------------- validation


class TestValidate:
    def test_report_prints_the_folds_and_both_validations(self):
        from mirelo import demo_validate

        result = demo_validate.run_validate_demo(**SMALL)
        report = demo_validate.format_validate_report(result)
        folds = result.forward.folds
        assert result.walk_forward.train_size == 4 and len(folds) > 3
        rows = report.split("rank\n")[1].splitlines()[:len(folds)]
        for line, fold in zip(rows, folds.itertuples()):
            fields = line.split()
            assert fields[0] == str(fold.split)
            assert fields[5:8] == [demo._number(s) for s in (fold.train_score,
                                                             fold.slice_test_score,
                                                             fold.test_score)]
        assert f"{len(result.cpcv.splits)} splits, {result.cpcv.n_paths} paths" in report
        assert report_number(report, "Sharpe ratio over paths  mean") == round(
            result.cpcv.summary()["sharpe_mean"], 2)

    def test_cli_validate_and_its_refusal_of_a_fixed_stop(self, capsys):
        args = ["--stocks", "30", "--years", "1", "--validate"]
        assert demo.main(args) == 0
        out = capsys.readouterr().out
        assert "Walk-forward: train 4 months" in out and "Combinatorial purged" in out
        assert demo.main(args + ["--take-profit", "0.2"]) == 2
        assert "--validate takes the stop-loss" in capsys.readouterr().err
