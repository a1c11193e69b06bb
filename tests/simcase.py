"""The one builder of hand-worked backtest cases, and the one runner.

Bar i of a case is dated 10 * (i + 1) unless `market` is given other dates, so bar 0 is
dated 10, bar 1 is dated 20 and so on; `day(i)` gives that date.  `market` and `signals`
only shape arrays, and `arrays` joins them into a case, the eleven arrays of backtest_;
every expected number lives in the test that uses it, worked out by hand.

`run` (and `run_case`, for a case built or changed by hand) runs a case on both engines,
batch.Market.run and tradesim.backtest_, checks that they agree to the last bit (or fail
alike), and returns what backtest_ left; it runs batch once more recording the holdings and
checks that record against the value path (`assert_holdings_reconcile`).  `backtest_run` is
the backtest_ half alone, for what only backtest_ has: its module state, its run guard and
its own argument handling.
"""

import math
import traceback
from dataclasses import dataclass, field

import numpy as np

from mirelo.core import batch, excursion, tradesim

FREE = dict(fee_ratio=0.0, tax_ratio=0.0)
COSTS = dict(fee_ratio=0.001, tax_ratio=0.003)
MARKET_ARGS = ("price_values", "close_values", "high_values", "low_values", "open_values",
               "price_index", "price_columns")


def day(bar):
    return 10 * (bar + 1)


def _matrix(values):
    m = np.array(values, dtype=np.float64)
    return m.reshape(-1, 1) if m.ndim == 1 else m


def market(price, *, close=None, high=None, low=None, open=None, columns=None, dates=None):
    """The price-side arguments of backtest_; any matrix not given is the trading price."""
    price = _matrix(price)
    columns = [chr(ord("A") + k) for k in range(price.shape[1])] if columns is None else columns
    dates = [day(i) for i in range(len(price))] if dates is None else dates
    pick = lambda m: price.copy() if m is None else _matrix(m)  # noqa: E731
    return dict(
        price_values=price, close_values=pick(close), high_values=pick(high),
        low_values=pick(low), open_values=pick(open),
        price_index=np.array(dates, dtype=np.int64),
        price_columns=np.array(columns, dtype=object),
    )


def signals(weights, pos_dates, resample, pos_columns):
    w = np.array(weights, dtype=np.float64)
    return dict(
        pos_values=w.reshape(1, -1) if w.ndim == 1 else w,
        pos_index=np.array(pos_dates, dtype=np.int64),
        pos_columns=np.array(pos_columns, dtype=object),
        resample=np.array(resample, dtype=np.int64),
    )


def arrays(mkt, weights, pos_dates, resample, pos_columns=None):
    """The eleven arrays of backtest_; position columns default to the price columns."""
    pos_columns = list(mkt["price_columns"]) if pos_columns is None else pos_columns
    return dict(mkt, **signals(weights, pos_dates, resample, pos_columns))


@dataclass
class Run:
    value_path: np.ndarray
    trades: list      # [sid, entry bar, exit bar or -1]
    positions: list   # weight recorded at each trade's entry
    profiles: list    # excursion profile of each trade
    rows: list        # get_trade_stocks rows
    ops: dict         # get_stock_operations()
    reasons: list = field(default_factory=list)  # why each trade ended (batch engine)
    money: list = field(default_factory=list)    # (entry_value, exit_value) (batch engine)
    record: object = None  # the batch RunResult with the holdings recorded

    def summary(self):
        """Everything the run left, as lists comparable with ==."""
        return dict(value_path=self.value_path.tolist(), trades=self.trades,
                    positions=self.positions, profiles=[p.tolist() for p in self.profiles],
                    rows=self.rows, ops=self.ops, reasons=self.reasons)


def recorded_trades():
    """The trades the excursion module recorded in the last backtest_, as int triples."""
    return [[int(x) for x in t] for t in excursion.trades]


def trade_rows(case, touched_exit=False):
    """The last backtest_'s get_trade_stocks rows, as the module returns them."""
    return tradesim.get_trade_stocks(case["pos_columns"], case["price_index"], touched_exit)[0]


def backtest_run(case, **rules):
    """The case on backtest_ alone: its value path and what its module state holds."""
    value_path = tradesim.backtest_(**case, **rules)
    rows = trade_rows(case, rules.get("touched_exit", False))
    return Run(
        value_path=value_path,
        trades=recorded_trades(),
        positions=[float(p) for p in excursion.trade_positions],
        profiles=[np.asarray(p) for p in excursion.excursion],
        rows=[[r[0]] + [int(x) for x in r[1:5]] + [float(r[5])] + [int(x) for x in r[6:]]
              for r in rows],
        ops=tradesim.get_stock_operations(),
    )


def run_batch(case, record_holdings=False, **rules):
    """The case on batch.Market.run.  backtest_ takes delisting_bars per position column, a
    market per price column: each price column gets the bar given for its name."""
    delisting = rules.pop("delisting_bars", None)
    market_delisting = None
    if delisting is not None:
        by_name = dict(zip(case["pos_columns"], delisting))
        market_delisting = np.array([by_name.get(n, -1) for n in case["price_columns"]],
                                    dtype=np.int64)
    mkt = batch.Market(*(case[k] for k in MARKET_ARGS), market_delisting)
    return mkt.run(case["pos_values"], case["pos_index"], case["pos_columns"], case["resample"],
                   record_holdings=record_holdings, **rules)


def recorded_run(args, plain, **rules):
    """The run of `args` again with the holdings recorded: the same run as `plain` (a
    RunResult without them), its record checked by assert_holdings_reconcile, and the bar
    totals of both runs alike to the bit, the number of holdings that of the record."""
    recorded = run_batch(args, record_holdings=True, **rules)
    np.testing.assert_array_equal(recorded.value, plain.value)
    assert recorded.trades.tobytes() == plain.trades.tobytes()
    np.testing.assert_array_equal(recorded.profiles, plain.profiles)
    assert plain.holdings_offsets is None and plain.cash is None
    for name in ("traded", "costs", "holdings_count"):
        assert getattr(plain, name).tobytes() == getattr(recorded, name).tobytes(), name
    assert plain.holdings_count.dtype == np.int32
    np.testing.assert_array_equal(plain.holdings_count, np.diff(recorded.holdings_offsets))
    assert_holdings_reconcile(recorded)
    return recorded


UNIT_ROUNDOFF = 2.0 ** -53


def _bits(x):
    return np.float64(x).view(np.int64)


def assert_holdings_reconcile(r):
    """The holdings record of RunResult `r` against its value path.

    1. Layout: offsets (int64, bars + 1) from 0 to the number of entries, never falling;
       sids (int32) strictly ascending within a bar; the same for the fills.
    2. On every bar, cash plus the bar's holdings added one after the other is the value,
       bit for bit (the engine's own sum, in its order).
    3. From one bar to the next (bar -1: cash 1.0, nothing held, value 1.0), the change of
       value is the holdings' price moves, sum(held[i]) - sum(held[i-1]) - sum(fills[i]),
       less the bar's costs, within
           tol = (n[i-1] + n[i] + 6 m[i] + 4) * 2**-53 * S[i],
           S[i] = |cash[i-1]| + |cash[i]| + sum|held[i-1]| + sum|held[i]| + traded[i] + costs[i],
       n the bar's holdings and m its stocks with fills. The residual is computed exactly
       (math.fsum), so it is the engine's rounding alone. Every cash update of a fill
       (cash + change - cost, with the change and the cost as recorded) rounds twice, by
       at most 2**-53 of the running cash and of |change| + cost; the running cash is at
       most |cash[i-1]| + traded + costs; a stock has at most three fills on a bar (an
       exit, the rebalance, a delisting) whose merge rounds at most 2**-53 of traded
       each; the costs are a sum of the fills' costs; and each value is a sum of n + 1
       terms, off by at most n * 2**-53 of the sum of their magnitudes. Adding these
       first-order bounds gives the (n[i-1] + n[i] + 2K + 3) * 2**-53 * S[i] with K <= 3m
       fills; the + 4 covers the second-order terms. Bars whose figures are not finite
       are skipped.
    """
    bars = len(r.value)
    for offsets, sids, values in ((r.holdings_offsets, r.holdings_sid, r.holdings_value),
                                  (r.fills_offsets, r.fills_sid, r.fills_value)):
        assert offsets.dtype == np.int64 and sids.dtype == np.int32
        assert values.dtype == np.float64 and len(sids) == len(values)
        assert len(offsets) == bars + 1 and offsets[0] == 0 and offsets[-1] == len(sids)
        assert np.all(np.diff(offsets) >= 0)
        for i in range(bars):
            assert np.all(np.diff(sids[offsets[i]:offsets[i + 1]]) > 0), i
    for column in (r.cash, r.traded, r.costs):
        assert column.dtype == np.float64 and len(column) == bars

    def held(i):
        if i < 0:
            return []
        return [float(v) for v in r.holdings_value[r.holdings_offsets[i]:r.holdings_offsets[i + 1]]]

    for i in range(bars):
        total = float(r.cash[i])
        for v in held(i):
            total += v
        assert _bits(total) == _bits(r.value[i]), (i, total, r.value[i])

        before, now = held(i - 1), held(i)
        fills = [float(v) for v in r.fills_value[r.fills_offsets[i]:r.fills_offsets[i + 1]]]
        cash_before = 1.0 if i == 0 else float(r.cash[i - 1])
        value_before = 1.0 if i == 0 else float(r.value[i - 1])
        terms = [float(r.value[i]), -value_before, *(-v for v in now), *before, *fills,
                 float(r.costs[i])]
        scale = [cash_before, float(r.cash[i]), *before, *now, float(r.traded[i]),
                 float(r.costs[i])]
        if not all(math.isfinite(x) for x in terms + scale):
            continue
        tol = ((len(before) + len(now) + 6 * len(fills) + 4) * UNIT_ROUNDOFF
               * math.fsum(abs(x) for x in scale))
        assert abs(math.fsum(terms)) <= tol, (i, math.fsum(terms), tol)


def _same(a, b):
    return a == b or (isinstance(a, float) and isinstance(b, float)
                      and math.isnan(a) and math.isnan(b))


def assert_engines_agree(got, want):
    """RunResult `got` against the Run of backtest_ `want`, exactly (NaN equal to NaN)."""
    np.testing.assert_array_equal(got.value, want.value_path)
    assert [[int(t["sid"]), int(t["entry_bar"]), int(t["exit_bar"])]
            for t in got.trades] == want.trades
    assert [float(p) for p in got.trades["position"]] == want.positions
    assert len(got.profiles) == len(want.profiles)
    for row, profile in zip(got.profiles, want.profiles):
        np.testing.assert_array_equal(row, profile)
    assert list(got.operations) == list(want.ops)
    for key, value in want.ops.items():
        if isinstance(value, dict):
            assert list(got.operations[key]) == list(value), key
            assert all(_same(float(got.operations[key][k]), float(v)) if key != "actions"
                       else got.operations[key][k] == v for k, v in value.items()), key
        else:
            assert got.operations[key] == value, key


def _outcome(call):
    try:
        return call()
    except Exception as exc:  # compared between the engines
        return exc


def outcome(case, **rules):
    """The case on both engines, checked to agree: backtest_'s Run, with the trades' reasons
    from batch, or the exception both raised alike.  backtest_ runs last, so its module
    state is that of this case."""
    got = _outcome(lambda: run_batch(case, **rules))
    want = _outcome(lambda: backtest_run(case, **rules))
    if isinstance(want, Exception):
        assert isinstance(got, Exception), f"batch succeeded where backtest_ raised {want!r}"
        assert (type(got), str(got)) == (type(want), str(want))
        return want
    assert not isinstance(got, Exception), f"batch raised {got!r}; backtest_ did not"
    assert_engines_agree(got, want)
    want.reasons = [str(x) for x in got.trades["reason"]]
    want.money = [(float(t["entry_value"]), float(t["exit_value"])) for t in got.trades]
    want.record = recorded_run(case, got, **rules)
    return want


def run_case(case, **rules):
    """outcome(), raising the engines' common exception."""
    result = outcome(case, **rules)
    if isinstance(result, Exception):
        raise result
    return result


def run(mkt, weights, pos_dates, resample, pos_columns=None, **rules):
    """Builds the case from its parts and runs it on both engines (run_case)."""
    return run_case(arrays(mkt, weights, pos_dates, resample, pos_columns), **rules)


def weights_of(ops, key):
    """A weights dictionary of the stock operations as {sid: float}."""
    return {int(k): float(v) for k, v in ops[key].items()}


# --- reading failures -----------------------------------------------------------------------

def traceback_names(exc):
    return [entry.name for entry in traceback.extract_tb(exc.__traceback__)]


def last_entry(exc):
    return traceback.extract_tb(exc.__traceback__)[-1]


class RaisingBool:
    """An object whose truth test raises; counts how often it was asked."""

    def __init__(self):
        self.asked = 0

    def __bool__(self):
        self.asked += 1
        raise ZeroDivisionError("truth test refused")
