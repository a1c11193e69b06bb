"""What a result held: positions, exposure, turnover, costs and contributions, worked out by
hand, and reconciled with the value path on a market with costs, shorts, stops, delistings
and rebalances."""

import numpy as np
import pandas as pd
import pytest

import mirelo
from framecase import FREE, day, frame, random_market, weights


@pytest.fixture(scope="module")
def hand_worked():
    # A and B at half each on bar 1; A +20% on bar 2; bar 3 sells A (0.6) and buys B with it
    # (B +25%: 0.625 + 0.6); bar 4 sells B. No costs; value 1, 1, 1.1, 1.225, 1.225.
    close = frame([[10, 20], [10, 20], [12, 20], [12, 25], [9, 25]])
    w = weights([[0.5, 0.5], [0.0, 1.0], [0.0, 0.0]], [0, 2, 3])
    return mirelo.backtest(close, w, **FREE)


def test_positions_and_exposure_by_hand(hand_worked):
    r = hand_worked
    money = [[0, 0], [0.5, 0.5], [0.6, 0.5], [0, 1.225], [0, 0]]
    np.testing.assert_allclose(r.positions_value, money, rtol=1e-12)
    np.testing.assert_allclose(r.positions, [[0, 0], [0.5, 0.5], [0.6 / 1.1, 0.5 / 1.1],
                                             [0, 1], [0, 0]], rtol=1e-12)
    assert list(r.positions.columns) == ["A", "B"] and r.positions.index.equals(r.index)
    e = r.exposure
    assert list(e.columns) == ["long", "short", "gross", "net", "cash", "holdings"]
    np.testing.assert_allclose(e[["long", "gross", "net"]], [[0] * 3, [1] * 3, [1] * 3,
                                                             [1] * 3, [0] * 3], atol=1e-15)
    assert e["short"].eq(0).all() and e["holdings"].tolist() == [0, 2, 2, 1, 0]
    np.testing.assert_allclose(e["cash"], [1, 0, 0, 0, 1], atol=1e-15)


def test_turnover_costs_and_contribution_by_hand(hand_worked):
    r = hand_worked
    np.testing.assert_allclose(r.turnover, [0, 1, 0, 1.2 / 1.1, 1], rtol=1e-12)
    assert r.costs.eq(0).all()
    c = r.contribution()
    assert list(c.columns) == ["A", "B", "costs"]
    # Bar 2: A moved 0.6 - 0.5 of 1.0; bar 3: A sold at its value (no move), B moved
    # 1.225 - 0.5 - 0.6 (bought) of 1.1.
    np.testing.assert_allclose(c, [[0, 0, 0], [0, 0, 0], [0.1, 0, 0], [0, 0.125 / 1.1, 0],
                                   [0, 0, 0]], atol=1e-15)
    by_group = r.contribution(by={"A": "x", "B": "y"}, freq="M")
    assert list(by_group.columns) == ["x", "y", "costs"] and len(by_group) == 1
    np.testing.assert_allclose(by_group.iloc[0], [0.1, 0.125 / 1.1, 0], atol=1e-15)


@pytest.fixture(scope="module")
def eventful():
    # Fees and tax, longs and shorts, touched stops, a delisting and monthly rebalances.
    prices, w = random_market(seed=11, bars=220, stocks=10)
    w = w.copy()
    w.iloc[:, -3:] = -w.iloc[:, :3].to_numpy()  # short three stocks against the first three
    r = mirelo.backtest(prices["close"], w, open=prices["open"], high=prices["high"],
                        low=prices["low"], trade_at="open", stop_loss=0.08, take_profit=0.15,
                        touched_exit=True, stop_trading_next_period=False,
                        delisted={"S5": day(150)}, fee_ratio=0.001, tax_ratio=0.003)
    reasons = set(r.trades["reason"])
    assert {"rebalance", "stop_loss", "take_profit", "delisting"} <= reasons
    assert (r.positions < 0).any().any() and (r.positions > 0).any().any()
    return r


def test_contributions_add_up_to_the_returns(eventful):
    r = eventful
    c = r.contribution()
    np.testing.assert_allclose(c.sum(axis=1), r.returns, rtol=0, atol=1e-14)
    assert (c["costs"] < 0).sum() > 20 and (c["costs"] <= 0).all()
    sectors = pd.Series({s: "odd" if int(s[1:]) % 2 else "even" for s in r.positions.columns},
                        name="sector")
    grouped = r.contribution(by=sectors)
    assert list(grouped.columns) == ["even", "odd", "costs"]
    assert grouped.columns.name == "sector"
    np.testing.assert_allclose(grouped.sum(axis=1), r.returns, rtol=0, atol=1e-14)
    np.testing.assert_allclose(grouped["odd"], c[["S1", "S3", "S5", "S7", "S9"]].sum(axis=1),
                               rtol=0, atol=1e-15)
    monthly = r.contribution(by=sectors, freq="M")
    assert len(monthly) == len(r.index.to_period("M").unique())
    np.testing.assert_allclose(monthly.sum(axis=1).to_numpy(),
                               r.returns.groupby(r.index.to_period("M")).sum().to_numpy(),
                               rtol=0, atol=1e-13)
    np.testing.assert_allclose(r.contribution(freq="ME").to_numpy(),
                               r.contribution(freq="M").to_numpy(), rtol=0, atol=0)


def test_exposure_and_positions_reconcile_with_the_value(eventful):
    r = eventful
    e = r.exposure
    np.testing.assert_allclose(e["net"] + e["cash"], 1.0, rtol=0, atol=1e-13)
    np.testing.assert_allclose(e["gross"], r.positions.abs().sum(axis=1), rtol=1e-12)
    assert (e["short"] < 0).any() and (e["short"] <= 0).all()
    assert e["holdings"].tolist() == (r.positions != 0).sum(axis=1).tolist()
    np.testing.assert_allclose(r.positions_value.sum(axis=1) + e["cash"] * r.value, r.value,
                               rtol=1e-13)
    # The delisted stock is held up to its delisting bar, not after it.
    assert r.positions.loc[day(149), "S5"] != 0 and r.positions.loc[day(150), "S5"] == 0


def test_stats_take_turnover_exposure_and_costs_from_the_engine(eventful):
    r = eventful
    s = r.stats(periods_per_year=252)
    after = r.index > r.start
    years = after.sum() / 252
    assert s["turnover"] == pytest.approx(r.turnover[after].sum() / 2 / years, rel=1e-12)
    assert s["costs"] == pytest.approx(r.costs[after].sum() / years, rel=1e-12)
    assert s["exposure"] == pytest.approx((r.exposure["holdings"][after] > 0).mean())
    # Every fill pays the fee; the costs are at least the fee on what was traded.
    assert (r.costs >= 0.001 * r.turnover * (1 - 1e-12)).all()


def test_without_the_record_the_views_say_how_to_get_it():
    prices, w = random_market(seed=2)
    r = mirelo.backtest(prices["close"], w, holdings=False)
    assert not r.has_holdings and r.run_result.holdings_offsets is None
    for view in ("positions", "positions_value", "exposure"):
        with pytest.raises(ValueError, match=r"no holdings record: run mirelo\.backtest"):
            getattr(r, view)
    with pytest.raises(ValueError, match="no holdings record"):
        r.contribution()
    # The totals of every bar need no record: the same figures and statistics as with it.
    recorded = mirelo.backtest(prices["close"], w)
    pd.testing.assert_series_equal(r.turnover, recorded.turnover)
    pd.testing.assert_series_equal(r.costs, recorded.costs)
    s = r.stats()
    assert s.equals(recorded.stats()) and s["costs"] > 0 and 0 < s["exposure"] <= 1
    with pytest.raises(TypeError, match="^holdings must be True or False, not str"):
        mirelo.backtest(prices["close"], w, holdings="yes")


def test_group_and_period_mistakes_name_what_is_wrong(eventful):
    r = eventful
    partial = {s: "g" for s in r.positions.columns if s not in ("S1", "S4")}
    with pytest.raises(ValueError, match="^by has no group for stocks that moved the value: "
                                         "'S1', 'S4'$"):
        r.contribution(by=partial)
    # B and C are never held: they need no group.
    only_a = mirelo.backtest(frame([[10, 20, 5], [10, 20, 5], [12, 20, 6]]),
                             weights([[1.0, 0.0, 0.0]], [0]), **FREE)
    np.testing.assert_allclose(only_a.contribution(by={"A": "g"}), [[0, 0], [0, 0], [0.2, 0]])
    with pytest.raises(TypeError, match="^by must be a mapping"):
        r.contribution(by=["S1"])
    with pytest.raises(ValueError, match="^freq='fortnight' is not a pandas frequency alias"):
        r.contribution(freq="fortnight")


def test_views_are_the_callers_own(hand_worked):
    first = hand_worked.positions
    first.iloc[:] = 7.0
    assert hand_worked.positions.iloc[1, 0] == 0.5
    c = hand_worked.contribution()
    c.iloc[:] = 7.0
    assert hand_worked.contribution().iloc[0, 0] == 0.0
