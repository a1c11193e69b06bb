"""Many backtests on one market, on native threads."""

from collections.abc import Iterable, Mapping
from typing import Any, Final, Literal, NamedTuple

import numpy as np
import numpy.typing as npt

TRADE_DTYPE: Final[np.dtype[np.void]]
EXIT_REASONS: Final[tuple[str, ...]]  # why a trade ended, as trades["reason"] names it
REASONS: Final[tuple[str, ...]]  # the same tuple, under its earlier name

class Rule(NamedTuple):
    """A trading rule, as the engine's rule table declares it."""

    name: str
    kind: Literal["float", "int", "bool", "object"]
    default: float | int | bool
    minimum: float | None  # -inf: any number but NaN; None: not a number
    range: str  # the accepted values as Market.run's messages write them
    doc: str
    in_backtest_: bool  # taken by tradesim.backtest_ too

# Every rule Market.run takes, in the engine's order.
RULES: Final[tuple[Rule, ...]]

class RunResult:
    """The result of Market.run."""

    def __init__(
        self,
        value: npt.NDArray[np.float64],
        trades: npt.NDArray[np.void],
        profiles: npt.NDArray[np.float64],
        operations: dict[str, Any],
        holdings_offsets: npt.NDArray[np.int64] | None = None,
        holdings_sid: npt.NDArray[np.int32] | None = None,
        holdings_value: npt.NDArray[np.float64] | None = None,
        cash: npt.NDArray[np.float64] | None = None,
        traded: npt.NDArray[np.float64] | None = None,
        costs: npt.NDArray[np.float64] | None = None,
        fills_offsets: npt.NDArray[np.int64] | None = None,
        fills_sid: npt.NDArray[np.int32] | None = None,
        fills_value: npt.NDArray[np.float64] | None = None,
        holdings_count: npt.NDArray[np.int32] | None = None,
    ) -> None: ...
    @property
    def value(self) -> npt.NDArray[np.float64]:
        """The portfolio's value on every bar (1.0 = the start)."""
    @property
    def trades(self) -> npt.NDArray[np.void]:
        """One record per trade (TRADE_DTYPE): sid, entry_bar, exit_bar, position,
        entry_value and exit_value (the money the trade entered and exited at, signed like
        the position, net of fees and tax; an open trade exits at its value on the last
        bar), reason."""
    @property
    def profiles(self) -> npt.NDArray[np.float64]:
        """Row i: the excursion profile of trade i."""
    @property
    def operations(self) -> dict[str, Any]:
        """The final stock operations, as get_stock_operations() returns them."""
    # With record_holdings=True (else None): what every bar held after its trades.
    @property
    def holdings_offsets(self) -> npt.NDArray[np.int64] | None:
        """bars + 1 offsets: bar i's holdings are entries offsets[i] to offsets[i + 1]."""
    @property
    def holdings_sid(self) -> npt.NDArray[np.int32] | None:
        """The sid of each holding, ascending within a bar."""
    @property
    def holdings_value(self) -> npt.NDArray[np.float64] | None:
        """Each holding's money value at the bar's close, as the bar's value counts it."""
    @property
    def cash(self) -> npt.NDArray[np.float64] | None:
        """The cash after each bar's trades."""
    @property
    def fills_offsets(self) -> npt.NDArray[np.int64] | None:
        """bars + 1 offsets: bar i's fills are entries offsets[i] to offsets[i + 1]."""
    @property
    def fills_sid(self) -> npt.NDArray[np.int32] | None:
        """The sid of each fill, ascending within a bar."""
    @property
    def fills_value(self) -> npt.NDArray[np.float64] | None:
        """Each stock's net change of position at the bar's fills, fees excluded."""
    # On every run of Market.run (None only when constructed without them).
    @property
    def traded(self) -> npt.NDArray[np.float64] | None:
        """The money each bar traded: the sum of |change of position|, fees excluded."""
    @property
    def costs(self) -> npt.NDArray[np.float64] | None:
        """The fees and tax each bar paid."""
    @property
    def holdings_count(self) -> npt.NDArray[np.int32] | None:
        """The number of holdings after each bar's trades."""

class Market:
    """The price side of many backtests, checked once and read in place."""

    def __init__(
        self,
        price_values: npt.NDArray[np.float64],
        close_values: npt.NDArray[np.float64],
        high_values: npt.NDArray[np.float64],
        low_values: npt.NDArray[np.float64],
        open_values: npt.NDArray[np.float64],
        price_index: npt.NDArray[np.int64],
        price_columns: npt.NDArray[np.object_],
        delisting_bars: npt.NDArray[np.int64] | None = None,
    ) -> None: ...
    @property
    def shape(self) -> tuple[int, int]: ...
    @property
    def price_index(self) -> npt.NDArray[np.int64]: ...
    @property
    def price_columns(self) -> npt.NDArray[np.object_]: ...
    @property
    def delisting_bars(self) -> npt.NDArray[np.int64] | None: ...
    def run(
        self,
        pos_values: npt.NDArray[np.float64] | None,
        pos_index: npt.NDArray[np.int64] | None,
        pos_columns: npt.NDArray[np.object_] | None,
        resample: npt.NDArray[np.int64] | None,
        *,
        fee_ratio: float = 0.001425,
        tax_ratio: float = 0.003,
        stop_loss: float = 1.0,
        take_profit: float = ...,
        trail_stop: float = ...,
        trail_stop_activation: float = 0.0,
        touched_exit: bool = False,
        position_limit: float = 1.0,
        retain_cost_when_rebalance: bool = False,
        stop_trading_next_period: object = True,
        excursion_window: int = 0,
        excursion_window_step: int = 1,
        periodically_rebalance: bool = True,
        borrow_rate: float = 0.0,
        record_holdings: bool = False,
    ) -> RunResult:
        """Run one backtest (the interpreter lock released); take_profit and trail_stop
        default to positive infinity. A number rule outside its range (RULES) raises
        ValueError naming the rule and its range. record_holdings=True fills the holdings
        record."""
    def run_many(
        self,
        jobs: Iterable[Mapping[str, Any]],
        threads: int | None = None,
        errors: Literal["raise", "return"] = "raise",
    ) -> list[Any]:
        """Run many backtests on native threads; results (or, with errors="return",
        exceptions) in job order."""
