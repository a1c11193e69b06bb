"""Temporary stand-in for the pandas layer's contract (``mirelo._inputs`` and
``mirelo.Result``), so that the sweep can be built and tested before that layer
lands.  It covers only what the sweep uses; it goes away with the merge."""

from __future__ import annotations

from dataclasses import dataclass

import empyrical
import numpy as np
import pandas as pd

RULE_NAMES = (
    "fee_ratio", "tax_ratio", "stop_loss", "take_profit", "trail_stop",
    "trail_stop_activation", "touched_exit", "position_limit",
    "retain_cost_when_rebalance", "stop_trading_next_period", "excursion_window",
    "excursion_window_step", "periodically_rebalance",
)


@dataclass
class Inputs:
    market_args: dict
    run_args: dict
    index: pd.DatetimeIndex
    columns: pd.Index
    weight_columns: pd.Index


def _f64(frame):
    return np.asarray(frame.to_numpy(dtype=np.float64))


def _ns(index):
    return pd.DatetimeIndex(index).as_unit("ns").asi8.astype(np.int64)


def prepare_inputs(close, weights, *, open=None, high=None, low=None, trade_at="close",
                   rebalance=None, delisted=None):
    price = {"close": close, "open": open}[trade_at]
    other = lambda m: close if m is None else m  # noqa: E731
    names = np.array([str(c) for c in close.columns], dtype=object)
    market_args = dict(
        price_values=_f64(price), close_values=_f64(close), high_values=_f64(other(high)),
        low_values=_f64(other(low)), open_values=_f64(other(open)),
        price_index=_ns(close.index), price_columns=names, delisting_bars=None)
    resample = weights.index if rebalance is None else pd.DatetimeIndex(rebalance)
    run_args = dict(
        pos_values=_f64(weights.fillna(0.0)), pos_index=_ns(weights.index),
        pos_columns=np.array([str(c) for c in weights.columns], dtype=object),
        resample=_ns(resample))
    return Inputs(market_args, run_args, close.index, close.columns, weights.columns)


def check_rules(rules):
    unknown = sorted(set(rules) - set(RULE_NAMES))
    if unknown:
        raise TypeError(f"unknown rule(s): {', '.join(unknown)}")
    return dict(rules)


class Result:
    def __init__(self, inputs, run_result, rules):
        self.returns = pd.Series(run_result.value, index=inputs.index).pct_change().fillna(0.0)

    def stats(self, periods_per_year=None):
        r = self.returns
        value = (1.0 + r).cumprod()
        peak = value.cummax()
        recovered = value[(value.index > (value / peak).idxmin()) & (value >= peak.max())]
        return pd.Series({
            "start": r.index[0],
            "periods_per_year": 252.0,
            "total_return": float(empyrical.cum_returns_final(r)),
            "sharpe": float(empyrical.sharpe_ratio(r, annualization=252)),
            "max_drawdown": float(empyrical.max_drawdown(r)),
            "max_drawdown_recovery": recovered.index[0] if len(recovered) else pd.NaT,
            "trades": int((r != 0).sum()),
        }, dtype=object)
