"""Excursion profiles, computed through the bound native entry points and
compared with hand-worked values and with the reference model."""

import math

import numpy as np
import pytest
from hypothesis import given, settings, strategies as st

from excursion_twin import Twin
from mirelo.core import excursion


def one_trade(runner, price, close=None, *, entry=0, exit_bar, window=0, step=1, position=1.0,
              is_new=1, is_final=1, fee=0.0, tax=0.0, col_map=None, sid=0):
    """Runs a single trade of `sid` through `runner` (the probe or a Twin); returns its profile."""
    price = np.array(price, dtype=np.float64).reshape(len(price), -1)
    close = price if close is None else np.array(close, dtype=np.float64).reshape(price.shape)
    col_map = {sid: 0} if col_map is None else col_map
    runner.start_analysis(price, close, col_map, sid + 1, fee, tax, window, step)
    runner.record_date(entry)
    runner.record_entry(sid, position, is_new)
    runner.record_date(exit_bar)
    runner.record_exit(sid, is_final)
    assert len(excursion.excursion) == 1
    return excursion.excursion[0]


def ramp(bars):
    return [10.0 + i for i in range(bars)]


def test_same_bar_trade_with_window_0_charges_both_commissions(probe):
    profile = one_trade(probe, [9.0, 10.0, 12.0], [9.0, 11.0, 12.0], entry=1, exit_bar=1,
                        fee=0.01, tax=0.003)
    r = (1 - 0.01) * (11.0 / 10.0)
    assert profile.dtype == np.float64
    assert profile.tolist() == [0.0, r - 1, r - 1, 0.0, 1.0, r * ((1 - 0.01) - 0.003) - 1]


def test_short_whose_price_halves_gains_half(probe):
    profile = one_trade(probe, [10.0, 5.0], exit_bar=1, window=2, position=-3.0, is_final=0)
    assert profile.tolist() == [0.0] * 6 + [0.0, 0.5, 0.0, 0.0, 1.0, 0.5] * 2


# On a rising ramp (close = trade price = 10 + bar) the return at offset d is
# (10 + entry + d) / (10 + entry) and every bar after the entry is profitable.
@pytest.mark.parametrize("bars, entry, exit_bar, window, step, offsets, unreached", [
    (30, 0, 12, 0, 1, [], 0),
    (30, 0, 12, 10, 5, [0, 5], 0),
    (30, 0, 12, 10, 3, [0, 3, 6, 9], 0),
    (30, 0, 12, 10, 10, [0], 0),
    (13, 9, 12, 10, 1, [0, 1, 2, 3], 6),  # 3 bars before the last: groups 4-9 stay -1.0
])
def test_profile_layout(probe, bars, entry, exit_bar, window, step, offsets, unreached):
    profile = one_trade(probe, ramp(bars), entry=entry, exit_bar=exit_bar, window=window, step=step)
    rows = profile.reshape(-1, 6)
    assert len(rows) == len(offsets) + unreached + 1
    base = 10.0 + entry
    for row, d in zip(rows, offsets):
        assert row.tolist() == pytest.approx([0.0, d / base, 0.0, 0.0, d, d / base], abs=1e-12)
    assert (rows[len(offsets):-1] == -1.0).all()
    held = exit_bar - entry
    assert rows[-1].tolist() == pytest.approx([0.0, held / base, 0.0, 0.0, held, held / base],
                                              abs=1e-12)


nan = math.nan
EDGE_CASES = {
    "held fewer bars than the window": dict(
        price=[10.0, 11.0, 12.0, 9.0, 8.0, 28.0, 15.0], close=[10.0, 11.0, 12.0, 9.0, 8.0, 14.0, 15.0],
        exit_bar=2, window=5, fee=0.01, tax=0.002),
    "nan close inside the span": dict(
        price=[10.0, 11.0, nan, 12.1, 12.1], exit_bar=3, window=4, is_final=0),
    "nan close at the entry": dict(
        price=[10.0, 11.0, 12.0, 9.0], close=[nan, 11.0, 12.0, 9.0], exit_bar=3, window=4),
    "long above break-even": dict(
        price=[10.0, 10.0, 11.0, 10.6, 12.0, 12.0], close=[10.5, 10.5, 11.0, 10.6, 12.0, 12.0],
        exit_bar=5, window=5, is_final=0),
    "new lows after peaks": dict(price=[10.0, 12.0, 9.0, 13.0, 8.0, 11.0], exit_bar=5, window=6),
    "sid missing from the column map": dict(
        price=[[10.0, 50.0], [12.0, 40.0], [15.0, 30.0]], exit_bar=2, window=3, col_map={}, sid=1),
    "short": dict(price=[10.0, 8.0, 9.0, 12.0], exit_bar=3, window=2, position=-1.0),
    "position 0 is a short": dict(price=[10.0, 8.0, 9.0, 12.0], exit_bar=3, window=2, position=0.0),
    "position nan is a short": dict(price=[10.0, 8.0, 9.0, 12.0], exit_bar=3, window=2, position=nan),
}


@pytest.mark.parametrize("case", EDGE_CASES.values(), ids=EDGE_CASES.keys())
def test_edge_cases_match_the_model(probe, case):
    twin = Twin(probe)
    one_trade(twin, **case)
    twin.assert_same_results()


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
def test_random_trades_match_the_model(probe, seed, bars, window, step, position, is_new,
                                       is_final, fee, tax, data):
    price, close = price_paths(np.random.default_rng(seed), bars, 3)
    entry = data.draw(st.integers(0, bars - 1), label="entry")
    exit_bar = data.draw(st.integers(entry, bars + 2), label="exit")
    col = data.draw(st.integers(-3, 2), label="col")
    twin = Twin(probe)
    one_trade(twin, price, close, entry=entry, exit_bar=exit_bar, window=window, step=step,
              position=position, is_new=is_new, is_final=is_final, fee=fee, tax=tax,
              col_map={0: col})
    twin.assert_same_results()
