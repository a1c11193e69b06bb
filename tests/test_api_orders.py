"""Result.orders: a hand-worked order sheet, and the account data it refuses."""

import pandas as pd
import pytest

import mirelo
from framecase import frame, weights

RATES = dict(fee_ratio=0.001, tax_ratio=0.003)


@pytest.fixture(scope="module")
def result():
    # Targets for the bar after the last: A 60% long, B 40% short, C nothing.
    close = frame([[10, 20, 5]] * 3)
    return mirelo.backtest(close, weights([[0.5, 0.5, 0.0], [0.6, -0.4, 0.0]], [0, 2]),
                           **RATES)


def test_hand_worked_sheet(result):
    held = pd.Series({"A": 30, "B": 10, "C": 8})
    prices = pd.Series({"A": 10.0, "B": 20.0, "C": 5.0, "Z": 1.0})
    sheet = result.orders(held, prices, capital=1000, lot_size=pd.Series({"A": 7, "B": 1,
                                                                          "C": 1}))
    # A: 600 / 10 = 60 shares -> 8 lots of 7 = 56; B: -400 / 20 = -20; C: 0.
    assert list(sheet.index) == ["A", "B", "C"]
    assert sheet["action"].tolist() == ["buy", "sell", "sell"]
    assert sheet["target_weight"].tolist() == [0.6, -0.4, 0.0]
    assert sheet["target_shares"].tolist() == [56, -20, 0]
    assert sheet["current_shares"].tolist() == [30, 10, 8]
    assert sheet["order_shares"].tolist() == [26, -30, -8]
    assert sheet["value"].tolist() == pytest.approx([260.0, 600.0, 40.0])
    # Adding to a position pays the fee (A, and B's move from long to short, as the engine
    # charges it); reducing one pays the fee and the tax (C).
    assert sheet["fees"].tolist() == pytest.approx([0.26, 0.6, 0.16])


def test_capital_defaults_to_the_holdings_and_keeps_the_buffer(result):
    held = pd.Series({"A": 30, "B": 10})  # worth 300 + 200
    sheet = result.orders(held, pd.Series({"A": 10.0, "B": 20.0}), lot_size=5, cash_buffer=0.1)
    # 450 to invest: A 27 shares -> 25; B -9 shares -> -5 (rounded towards zero).
    assert sheet["target_shares"].tolist() == [25, -5]
    assert sheet["order_shares"].tolist() == [-5, -15]
    same = result.orders(held, pd.Series({"A": 10.0, "B": 20.0}), capital=500, lot_size=5,
                         cash_buffer=0.1)
    pd.testing.assert_frame_equal(sheet, same)
    # Already there: nothing to trade.
    assert result.orders(pd.Series({"A": 25, "B": -5}), pd.Series({"A": 10.0, "B": 20.0}),
                         capital=450, lot_size=5).empty


@pytest.mark.parametrize("held, prices, options, message", [
    ({"A": 1}, {"A": 10.0}, {}, r"no price for 'B'"),
    ({"A": 1}, {"A": 10.0, "B": float("nan")}, {}, r"no price for 'B'"),
    ({"A": 1, "Q": 3}, {"A": 10.0, "B": 20.0}, {}, r"stocks the run does not know: 'Q'"),
    ({"A": 1}, {"A": 10.0, "B": 20.0}, {"lot_size": 2.5}, r"whole positive .*'A', 'B'"),
    ({"A": 1}, {"A": 10.0, "B": 20.0}, {"lot_size": pd.Series({"A": 1, "B": 0.5})},
     r"whole positive .*not for 'B'$"),
    ({"A": 1}, {"A": 10.0, "B": 20.0}, {"lot_size": pd.Series({"A": 1})}, r"no lot for 'B'"),
    ({"B": 0}, {"A": 10.0, "B": 20.0}, {}, r"capital: the held shares are worth 0"),
    ({"A": 1}, {"A": 10.0, "B": 20.0}, {"cash_buffer": 1.0}, r"cash_buffer"),
    ({"A": 1}, {"A": -10.0, "B": 20.0}, {}, r"positive: not for 'A'"),
])
def test_refusals_name_the_stock(result, held, prices, options, message):
    with pytest.raises(ValueError, match=message):
        result.orders(pd.Series(held), pd.Series(prices), **options)
