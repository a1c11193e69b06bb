"""Excursion profiles, computed through the bound native entry points."""

import math

import numpy as np
import pytest
from hypothesis import given, settings, strategies as st

from excursion_twin import Twin
from mirelo.core import excursion


def one_trade(runner, price, close=None, *, entry=0, exit_bar, window=0, step=1, position=1.0,
              is_new=1, is_final=1, fee=0.0, tax=0.0, col_map=None, sid=0):
    """Runs a single trade of `sid` through `runner` (the probe or a Twin); returns its profile."""
    close = price if close is None else close
    col_map = {sid: 0} if col_map is None else col_map
    runner.start_analysis(price, close, col_map, sid + 1, fee, tax, window, step)
    runner.record_date(entry)
    runner.record_entry(sid, position, is_new)
    runner.record_date(exit_bar)
    runner.record_exit(sid, is_final)
    assert len(excursion.excursion) == 1
    return excursion.excursion[0]


def column(values):
    return np.array(values, dtype=np.float64).reshape(-1, 1)


def groups(profile):
    return profile.reshape(-1, 6)


def test_same_bar_trade_with_window_0_charges_both_commissions(probe):
    price = column([9.0, 10.0, 12.0])
    close = column([9.0, 11.0, 12.0])
    profile = one_trade(probe, price, close, entry=1, exit_bar=1, fee=0.01, tax=0.003)
    r = (1 - 0.01) * (11.0 / 10.0)
    assert profile.dtype == np.float64
    assert profile.tolist() == [0.0, r - 1, r - 1, 0.0, 1.0, r * ((1 - 0.01) - 0.003) - 1]


@pytest.mark.parametrize("window, step, offsets", [
    (0, 1, []),
    (1, 1, [0]),
    (10, 5, [0, 5]),
    (10, 3, [0, 3, 6, 9]),
    (10, 10, [0]),
])
def test_sampled_offsets_then_exit_group(probe, window, step, offsets):
    # Close (= trade price) 10 + bar: the return at offset d is (10 + d) / 10,
    # every bar after the entry is profitable, nothing is ever adverse.
    price = column([10.0 + i for i in range(30)])
    profile = one_trade(probe, price, exit_bar=12, window=window, step=step)
    assert profile.size == 6 * (len(offsets) + 1)
    rows = groups(profile)
    for row, d in zip(rows, offsets + [12]):
        assert row.tolist() == pytest.approx([0.0, d / 10, 0.0, 0.0, d, d / 10], abs=1e-12)


def test_trade_near_the_end_leaves_unreached_groups_at_minus_one(probe):
    price = column([10.0 + i for i in range(13)])
    profile = one_trade(probe, price, entry=9, exit_bar=12, window=10, step=1)
    rows = groups(profile)
    assert rows.shape == (11, 6)
    for d in range(4):
        assert rows[d][5] == pytest.approx((19 + d) / 19 - 1, abs=1e-12)
        assert rows[d][4] == d
    assert (rows[4:10] == -1.0).all()
    assert rows[10][5] == pytest.approx(3 / 19, abs=1e-12)


def test_short_hold_is_analysed_past_the_exit(probe):
    close = column([10.0, 11.0, 12.0, 9.0, 8.0, 14.0, 15.0])
    price = close.copy()
    price[5, 0] = 28.0  # the exit re-pricing lands on bar 5, past the exit
    profile = one_trade(probe, price, close, exit_bar=2, window=5, step=1, fee=0.01, tax=0.002)
    rows = groups(profile)
    r = [0.99 * c / 10.0 for c in (10.0, 11.0, 12.0, 9.0, 8.0)]
    # The hypothetical path after the exit: returns of bars 3 and 4 from the close.
    assert [row[5] for row in rows[:5]] == pytest.approx([x - 1 for x in r], abs=1e-12)
    assert rows[4][0] == pytest.approx(0.99 * 0.8 - 1, abs=1e-12)
    # The exit group describes bar 2, priced at the close without exit costs.
    assert rows[5].tolist() == rows[2].tolist()
    assert rows[5][5] == pytest.approx(r[2] - 1, abs=1e-12)


def test_nan_close_repeats_the_bar_and_is_not_profitable(probe):
    price = column([10.0, 11.0, np.nan, 12.1, 12.1])
    close = price.copy()
    profile = one_trade(probe, price, close, exit_bar=3, window=4, step=1, is_final=0)
    rows = groups(profile).tolist()
    assert rows[1] == pytest.approx([0.0, 0.1, 0.0, 0.0, 1.0, 0.1], abs=1e-12)
    assert rows[2] == rows[1]
    # Bar 3 compares with the close of bar 1: 12.1 / 11 = 1.1.
    assert rows[3] == pytest.approx([0.0, 0.21, 0.0, 0.0, 2.0, 0.21], abs=1e-12)


def test_nan_close_at_entry_keeps_the_return_nan(probe):
    close = column([np.nan, 11.0, 12.0, 9.0])
    price = column([10.0, 11.0, 12.0, 9.0])
    rows = groups(one_trade(probe, price, close, exit_bar=3, window=4, step=1, is_final=0))
    for row in rows:
        assert math.isnan(row[0]) and math.isnan(row[1]) and math.isnan(row[2])
        assert row[3] == 0.0 and row[4] == 0.0
        assert math.isnan(row[5])


def test_short_whose_price_halves_gains_half(probe):
    price = column([10.0, 5.0])
    rows = groups(one_trade(probe, price, exit_bar=1, window=2, step=1, position=-3.0,
                            is_final=0))
    assert rows.tolist() == [[0.0] * 6, [0.0, 0.5, 0.0, 0.0, 1.0, 0.5], [0.0, 0.5, 0.0, 0.0, 1.0, 0.5]]


def test_long_above_break_even_has_no_adverse_excursion(probe):
    price = column([10.0, 10.0, 11.0, 10.6, 12.0, 12.0])
    close = column([10.5, 10.5, 11.0, 10.6, 12.0, 12.0])
    rows = groups(one_trade(probe, price, close, exit_bar=5, window=5, step=1, is_final=0))
    assert [row[0] for row in rows] == [0.0] * 6
    assert [row[2] for row in rows] == [pytest.approx(0.05, abs=1e-12)] * 6
    # Bar 3 falls from its peak 1.1 to 1.06.
    assert rows[3][3] == pytest.approx(1.06 / 1.1 - 1, abs=1e-12)


def test_adverse_extreme_records_the_favourable_excursion_before_it(probe):
    price = column([10.0, 12.0, 9.0, 13.0, 8.0, 11.0])
    rows = groups(one_trade(probe, price, exit_bar=5, window=6, step=1, is_final=0))
    # min_pos is one less than the bar that set the minimum: the peak before
    # bar 2's low is that of bar 1, before bar 4's low that of bar 3.
    assert [row[2] for row in rows[:6]] == pytest.approx([0.0, 0.0, 0.2, 0.2, 0.3, 0.3], abs=1e-12)


def test_sid_missing_from_the_column_map_reads_column_0(probe):
    price = np.array([[10.0, 50.0], [12.0, 40.0], [15.0, 30.0]])
    profile = one_trade(probe, price, exit_bar=2, window=3, step=1, col_map={}, sid=1)
    assert profile[-1] == pytest.approx(0.5, abs=1e-12)  # 15 / 10 - 1: column 0


@pytest.mark.parametrize("position", [1.0, -1.0, 0.0, math.nan])
def test_direction_is_the_sign_of_the_position(probe, position):
    # The short return of bar 1 is 2 - 8 / 10: 0 and NaN are shorts.
    profile = one_trade(probe, column([10.0, 8.0]), exit_bar=1, window=2, step=1,
                        position=position, is_final=0)
    assert profile[-1] == pytest.approx(-0.2 if position > 0 else 0.2, abs=1e-12)


def price_paths(rng, bars, columns):
    steps = rng.normal(0.0, 0.03, size=(bars, columns))
    close = 20.0 * np.exp(np.cumsum(steps, axis=0))
    close[rng.random(close.shape) < 0.15] = np.nan
    price = close * rng.uniform(0.98, 1.02, size=close.shape)
    return price, close


@settings(max_examples=300, deadline=None)
@given(seed=st.integers(0, 2**32 - 1), bars=st.integers(1, 25), window=st.integers(0, 12),
       step=st.integers(1, 5), position=st.sampled_from([2.0, -2.0, 0.0, math.nan]),
       is_new=st.integers(0, 1), is_final=st.integers(0, 1),
       fee=st.sampled_from([0.0, 0.001425]), tax=st.sampled_from([0.0, 0.003]), data=st.data())
def test_profile_matches_model(probe, seed, bars, window, step, position, is_new, is_final, fee,
                               tax, data):
    rng = np.random.default_rng(seed)
    price, close = price_paths(rng, bars, 3)
    entry = data.draw(st.integers(0, bars - 1), label="entry")
    exit_bar = data.draw(st.integers(entry, bars + 2), label="exit")
    col = data.draw(st.integers(-3, 2), label="col")
    twin = Twin(probe)
    one_trade(twin, price, close, entry=entry, exit_bar=exit_bar, window=window, step=step,
              position=position, is_new=is_new, is_final=is_final, fee=fee, tax=tax,
              col_map={0: col})
    twin.assert_same_results()
