"""mirelo.backtest and Result: a hand-worked case, agreement with the engine's records,
statistics against empyrical-reloaded, excursions, operations and the plot."""

import math

import empyrical
import numpy as np
import pandas as pd
import pytest

import mirelo
from framecase import FREE, day, frame, random_market, weights
from mirelo._stats import STAT_LABELS, drawdown_dates
from mirelo.core import batch, tradesim

# The development stand-in for the compiled batch module is a .py file and fakes `reason`.
needs_compiled_batch = pytest.mark.skipif(
    batch.__file__.endswith(".py"), reason="trade reasons need the compiled batch module")


@pytest.fixture(scope="module")
def hand_worked():
    # A and B at half each on bar 1; bar 3 moves all into B (A +20%, B +25% so far); bar 4
    # sells everything. No costs.
    close = frame([[10, 20], [10, 20], [12, 20], [12, 25], [9, 25]])
    w = weights([[0.5, 0.5], [0.0, 1.0], [0.0, 0.0]], [0, 2, 3])
    return mirelo.backtest(close, w, **FREE)


def test_hand_worked_case(hand_worked):
    r = hand_worked
    assert r.value.tolist() == pytest.approx([1.0, 1.0, 1.1, 1.225, 1.225], rel=1e-12)
    assert r.returns.tolist() == pytest.approx([0.0, 0.0, 0.1, 1.225 / 1.1 - 1, 0.0], rel=1e-12)
    got = r.trades.sort_values(["entry_date", "stock"]).to_dict("records")
    want = [("A", day(1), day(3), 0.5, 2, 0.2), ("B", day(1), day(3), 0.5, 2, 0.25),
            ("B", day(3), day(4), 1.0, 1, 0.0)]
    assert [(t["stock"], t["entry_date"], t["exit_date"], t["position"], t["bars_held"],
             round(t["return"], 12)) for t in got] == want
    assert set(r.trades["side"]) == {"long"}
    s = r.stats(periods_per_year=4)  # four returns: one year
    assert list(s.index) == list(STAT_LABELS)
    assert (s["start"], s["end"]) == (day(0), day(4))
    assert s["total_return"] == pytest.approx(0.225)
    # Money traded over the value before the bar: 1.0 bought of 1.0 on bar 1; on bar 3 A
    # (0.6) sold and 0.6 of B bought, of 1.1; all of B (1.225) sold on bar 4; halved.
    assert s["turnover"] == pytest.approx((1.0 + 1.2 / 1.1 + 1.0) / 2)
    assert s["exposure"] == 0.75  # held at the close of bars 1, 2, 3
    assert s["costs"] == 0.0
    assert (s["trades"], s["win_rate"], s["profit_factor"]) == (3, 2 / 3, math.inf)
    assert s["avg_bars_held"] == pytest.approx(5 / 3)
    assert s["max_drawdown"] == 0.0 and pd.isna(s["max_drawdown_peak"])


def test_the_same_case_through_backtest_():
    close = frame([[10, 20], [10, 20], [12, 20], [12, 25], [9, 25]])
    w = weights([[0.5, 0.5], [0.0, 1.0], [0.0, 0.0]], [0, 2, 3])
    inputs = mirelo._inputs.prepare_inputs(close, w)
    args = {**inputs.market.arguments(), **inputs.targets.arguments()}
    del args["delisting_bars"]
    want = tradesim.backtest_(**args, **FREE)
    np.testing.assert_array_equal(mirelo.backtest(close, w, **FREE).value.to_numpy(), want)


@pytest.fixture(scope="module")
def market_run():
    prices, w = random_market(seed=3)
    rules = dict(stop_loss=0.05, touched_exit=True, excursion_window=10, excursion_window_step=4)
    result = mirelo.backtest(prices["close"], w, open=prices["open"], high=prices["high"],
                             low=prices["low"], trade_at="open", **rules)
    return prices, w, rules, result


def test_result_agrees_with_the_engine(market_run):
    prices, w, rules, r = market_run
    core = r.inputs.market.build().run(**r.inputs.targets.arguments(), **rules)
    np.testing.assert_array_equal(r.value.to_numpy(), core.value)
    assert np.shares_memory(r.value.to_numpy(), r.run_result.value)
    records, profiles = core.trades, core.profiles
    t = r.trades
    assert len(t) == len(records) > 10
    assert t["stock"].tolist() == [w.columns[s] for s in records["sid"]]
    assert t["entry_date"].tolist() == [prices["close"].index[b] for b in records["entry_bar"]]
    closed = records["exit_bar"] >= 0
    assert t["exit_date"].isna().tolist() == (~closed).tolist()
    assert t["exit_date"][closed].tolist() == \
        [prices["close"].index[b] for b in records["exit_bar"][closed]]
    np.testing.assert_array_equal(t["position"], records["position"])
    np.testing.assert_array_equal(t[["mae", "mfe"]], profiles[:, [-6, -5]])
    assert t["reason"].tolist() == records["reason"].tolist()


def test_stats_are_empyricals_on_the_returns_after_the_start(market_run):
    _, _, _, r = market_run
    s = r.stats()
    returns = r.returns[r.returns.index > r.start]
    assert r.start == r.inputs.weight_index[0] and s["periods_per_year"] == 252
    expected = {
        "total_return": empyrical.cum_returns_final(returns),
        "annual_return": empyrical.annual_return(returns),
        "annual_volatility": empyrical.annual_volatility(returns),
        "sharpe": empyrical.sharpe_ratio(returns),
        "sortino": empyrical.sortino_ratio(returns),
        "max_drawdown": empyrical.max_drawdown(returns),
        "calmar": empyrical.calmar_ratio(returns),
    }
    for label, value in expected.items():
        assert s[label] == pytest.approx(value, rel=1e-12), label
    assert s["max_drawdown"] < 0
    assert r.value[s["max_drawdown_trough"]] / r.value[s["max_drawdown_peak"]] - 1 == \
        pytest.approx(s["max_drawdown"])
    assert s["avg_mae"] == pytest.approx(r.trades["mae"].mean())
    weekly = r.value.resample("W").last()
    assert mirelo._stats.infer_periods_per_year(weekly.index) == 52


def test_a_month_end_row_on_a_saturday_fills_on_the_next_bar():
    # resample("ME") dates February's row on Saturday 2020-02-29: the last bar before it
    # (Friday) schedules it, so it fills on Monday 2020-03-02, not with March's row on
    # 2020-04-01; the statistics start on that Friday, so they count the fill's fee.
    index = pd.bdate_range("2020-01-01", "2020-04-30")
    close = pd.DataFrame({"A": np.linspace(10.0, 14.0, len(index))}, index=index)
    w = pd.DataFrame({"A": 1.0}, index=index).loc["2020-02":].resample("ME").last()
    assert w.index[0] == pd.Timestamp("2020-02-29")
    r = mirelo.backtest(close, w, fee_ratio=0.001, tax_ratio=0.0)
    assert r.trades["entry_date"].iloc[0] == pd.Timestamp("2020-03-02")
    assert (r.value[:"2020-02-28"] == 1.0).all() and r.value["2020-03-02"] < 1.0
    assert r.start == pd.Timestamp("2020-02-28")
    assert r.stats()["total_return"] == pytest.approx(r.value.iloc[-1] - 1.0, rel=1e-12)


def test_trade_returns_are_the_money_made_whatever_the_window():
    # A is bought on bar 1, where it has no price (suspended), for 0.5 and held at 0.4995;
    # it is first priced at 10 on bar 2 and sold at 11 on bar 4, for
    # 0.4995 * 1.1 * 0.996 = 0.5472522: +9.45%, though the excursion profile (and MAE,
    # MFE) has no entry price.  B loses 2% less costs.  Win rate and profit factor count
    # A as the winner it is, with or without an excursion window.
    close = frame([[9, 10], [np.nan, 10], [10, 10], [10.5, 10], [11, 9.8], [11, 9.8]])
    w = weights([[0.5, 0.5], [0.0, 0.0]], [0, 3])
    for window in (0, 10):
        r = mirelo.backtest(close, w, fee_ratio=0.001, tax_ratio=0.003,
                            excursion_window=window)
        t = r.trades
        a_gain = 0.4995 * 1.1 * 0.996 - 0.5
        b_gain = 0.4995 * 0.98 * 0.996 - 0.5
        assert t["return"].tolist() == pytest.approx([a_gain / 0.5, b_gain / 0.5], rel=1e-12)
        assert r.value.iloc[-1] - 1.0 == pytest.approx(a_gain + b_gain, rel=1e-12)
        assert t[["mae", "mfe"]].iloc[0].isna().all() and t[["mae", "mfe"]].iloc[1].notna().all()
        s = r.stats()
        assert s["win_rate"] == 0.5
        assert s["profit_factor"] == pytest.approx(a_gain / -b_gain, rel=1e-12)


def test_drawdown_dates():
    value = pd.Series([1.0, 1.2, 0.9, 1.1, 1.3, 1.0], index=pd.bdate_range("2024-01-01", periods=6))
    peak, trough, recovery = drawdown_dates(value)
    assert (peak, trough, recovery) == tuple(value.index[[1, 2, 4]])
    assert pd.isna(drawdown_dates(value.iloc[:4])[2])  # not back at 1.2 yet


def test_excursions_are_the_profiles_in_rows(market_run):
    _, _, rules, r = market_run
    x, t = r.excursions, r.trades
    groups = (rules["excursion_window"] - 1) // rules["excursion_window_step"] + 2  # 0, 4, 8, exit
    assert len(x) == groups * len(t)
    first = x[x["trade"] == 0]
    assert first["offset"].tolist()[:-1] == [0, 4, 8]
    exits = x[x["at_exit"]].reset_index(drop=True)
    assert exits["offset"].tolist() == t["bars_held"].tolist()
    np.testing.assert_array_equal(exits[["mae", "mfe"]], t[["mae", "mfe"]])
    # Offsets past the last bar have no data: entries in the last 8 bars at offset 8.
    late = t.index[t["entry_date"] > r.index[-9]]
    beyond = x[x["trade"].isin(late) & ~x["at_exit"] & (x["offset"] == 8)]
    assert len(beyond) > 0 and beyond[["mae", "mfe", "return"]].isna().all().all()
    inside = x[~x["trade"].isin(late)]
    assert inside[["mae", "mfe", "return"]].notna().all().all()


def test_operations_by_stock(market_run):
    _, w, _, r = market_run
    ops = r.operations
    assert set(ops["next_weights"].index) <= set(w.columns[w.iloc[-1] > 0])
    assert set(ops["actions"]) <= {"enter", "exit", "hold", "sl_", "tp_", "sl", "tp",
                                   "sl_enter", "tp_enter"}
    core = r.run_result.operations
    assert ops["weight_date"] == w.index[core["weight_time"]]
    assert dict(ops["weights"]) == {w.columns[s]: v for s, v in core["weights"].items()}


def test_plot_writes_a_png(market_run, tmp_path):
    pytest.importorskip("matplotlib")
    target = tmp_path / "result.png"
    result = market_run[3]
    fig = result.plot(str(target), title="test")
    assert target.read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"
    assert len(fig.axes) == 3 and fig.axes[2].get_title().endswith(f"{len(result.trades)} trades")


@needs_compiled_batch
@pytest.mark.parametrize("columns", [["A", "B"], ["B", "A"]])
def test_trades_say_why_they_closed(columns):
    # Weights columns in another order than close's: the delisting still hits B.
    close = frame([[10, 10], [10, 10], [8, 10], [8, 10], [8, 10]])
    w = weights([[0.5, 0.5]], [0], columns=columns)
    r = mirelo.backtest(close, w, stop_loss=0.1, delisted={"B": day(3)}, **FREE)
    assert sorted(zip(r.trades["stock"], r.trades["reason"])) == [("A", "stop_loss"),
                                                                  ("B", "delisting")]
    only_b = mirelo.backtest(close, w[["B"]], delisted={"B": day(3)}, **FREE)
    assert list(only_b.trades["reason"]) == ["delisting"]
