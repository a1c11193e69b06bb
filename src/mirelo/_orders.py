"""The order sheet: from a run's targets for the next bar to share orders for an account.

``order_sheet`` sizes the targets (``Result.operations["next_weights"]``) against an
account's capital at given prices, rounds them down to whole lots, and lists the orders
that move the account's current shares there, with their value and the fees the run's
rates would charge. Every mistake in the account's data names the stocks concerned.
"""

from __future__ import annotations

import math
from collections.abc import Mapping
from typing import Any

import numpy as np
import numpy.typing as npt
import pandas as pd
from pandas.api.types import is_bool_dtype, is_numeric_dtype

from mirelo._labels import some

ORDER_COLUMNS = ("action", "target_weight", "target_shares", "current_shares", "order_shares",
                 "price", "value", "fees")

# A size that floating point puts a hair under a whole number of lots still counts as it.
_LOT_TOLERANCE = 1e-9


def order_sheet(targets: pd.Series, stocks: pd.Index, held: object, prices: object, *,
                capital: float | None, lot_size: object, cash_buffer: float,
                fee_ratio: float, tax_ratio: float) -> pd.DataFrame:
    """One row per stock to trade (ORDER_COLUMNS, indexed by stock in the order of
    `stocks`, the run's stocks): `targets` (stock -> weight) sized on `capital` less the
    `cash_buffer` share and rounded towards zero to whole lots, against `held` shares.

    `capital` defaults to the value of `held` at `prices`. Fees are charged as the engine
    charges them: `fee_ratio` on an order towards a non-zero target that adds to the
    position on the target's side (including the whole of a reversal), `fee_ratio` plus
    `tax_ratio` on one that reduces the position or closes it.
    """
    shares = _by_stock(held, "held", stocks)
    unknown = shares.index.difference(stocks, sort=False)
    if len(unknown):
        raise ValueError(f"held has stocks the run does not know: {some(unknown)}")
    weights = targets[targets != 0]
    names = stocks[stocks.isin(weights.index) | stocks.isin(shares.index[shares != 0])]
    price = _prices(prices, names)
    current = shares.reindex(names, fill_value=0.0).to_numpy()
    investable = _capital(capital, current, price) * (1.0 - _buffer(cash_buffer))
    lots = _lots(lot_size, names)
    weight = weights.reindex(names, fill_value=0.0).to_numpy(dtype=np.float64)
    whole_lots = np.floor(np.abs(weight) * investable / price / lots + _LOT_TOLERANCE)
    target = (np.sign(weight) * whole_lots * lots).astype(np.int64)
    order = target - current
    adding = ((target > 0) & (order > 0)) | ((target < 0) & (order < 0))
    value = np.abs(order) * price
    sheet = pd.DataFrame({
        "action": np.where(order > 0, "buy", "sell"),
        "target_weight": weight,
        "target_shares": target,
        "current_shares": _whole_if_possible(current),
        "order_shares": _whole_if_possible(order),
        "price": price,
        "value": value,
        "fees": value * np.where(adding, fee_ratio, fee_ratio + tax_ratio),
    }, index=pd.Index(names, name="stock"))
    orders: pd.DataFrame = sheet[order != 0]
    return orders


def _by_stock(values: object, name: str, stocks: pd.Index) -> pd.Series:
    """`values` (a Series or mapping by stock) as float64, refusing repeats and NaN."""
    series = pd.Series(values, dtype=object) if isinstance(values, Mapping) else values
    if not isinstance(series, pd.Series):
        raise TypeError(f"{name} must be a pandas Series (or dict) by stock, "
                        f"not {type(values).__name__}")
    if not series.index.is_unique:
        raise ValueError(f"{name} lists stocks more than once: "
                         f"{some(series.index[series.index.duplicated()].unique())}")
    if series.dtype == object:
        series = pd.to_numeric(series, errors="coerce") if len(series) else series
    if is_bool_dtype(series.dtype) or not is_numeric_dtype(series.dtype):
        raise TypeError(f"{name} must hold numbers, not values of dtype {series.dtype}")
    numbers = series.astype(np.float64)
    bad = numbers.index[~np.isfinite(numbers.to_numpy())]
    if len(bad):
        raise ValueError(f"{name} has missing or infinite values for {some(bad)}")
    return numbers


def _prices(prices: object, names: pd.Index) -> npt.NDArray[np.float64]:
    """The prices of `names`: each one present and positive."""
    series = pd.Series(prices, dtype=object) if isinstance(prices, Mapping) else prices
    if not isinstance(series, pd.Series):
        raise TypeError(f"prices must be a pandas Series (or dict) by stock, "
                        f"not {type(prices).__name__}")
    wanted = pd.to_numeric(series.reindex(names), errors="coerce") \
        if series.index.is_unique else None
    if wanted is None:
        raise ValueError(f"prices lists stocks more than once: "
                         f"{some(series.index[series.index.duplicated()].unique())}")
    values = wanted.to_numpy(dtype=np.float64)
    missing = names[~np.isfinite(values)]
    if len(missing):
        raise ValueError(f"prices has no price for {some(missing)}, which the order sheet "
                         "needs (a stock to hold or held)")
    nonpositive = names[values <= 0]
    if len(nonpositive):
        raise ValueError(f"prices must be positive: not for {some(nonpositive)}")
    return values


def _capital(capital: float | None, current: npt.NDArray[np.float64],
             price: npt.NDArray[np.float64]) -> float:
    if capital is None:
        worth = float(np.sum(current * price))
        if not worth > 0:
            raise ValueError(f"capital: the held shares are worth {worth:g} at these prices; "
                             "pass capital= (the account's value to invest)")
        return worth
    amount = float(capital)
    if not (math.isfinite(amount) and amount > 0):
        raise ValueError(f"capital must be a positive amount of money, not {capital!r}")
    return amount


def _buffer(cash_buffer: float) -> float:
    share = float(cash_buffer)
    if not 0.0 <= share < 1.0:
        raise ValueError(f"cash_buffer must be a fraction in [0, 1), not {cash_buffer!r}")
    return share


def _lots(lot_size: object, names: pd.Index) -> npt.NDArray[np.float64]:
    """Lot sizes of `names`: whole positive numbers of shares."""
    if isinstance(lot_size, (pd.Series, Mapping)):
        series = _by_stock(lot_size, "lot_size", names)
        missing = names.difference(series.index, sort=False)
        if len(missing):
            raise ValueError(f"lot_size has no lot for {some(missing)}")
        lots = series.reindex(names).to_numpy()
    else:
        try:
            lots = np.full(len(names), float(lot_size))  # type: ignore[arg-type]
        except (TypeError, ValueError) as err:
            raise TypeError("lot_size must be a number of shares or a Series of them by "
                            f"stock, not {type(lot_size).__name__}") from err
    bad = names[~((lots >= 1) & (lots == np.floor(lots)))]
    if len(bad):
        raise ValueError(f"lot_size must be a whole positive number of shares: not for "
                         f"{some(bad)}")
    return lots


def _whole_if_possible(shares: npt.NDArray[np.float64]) -> npt.NDArray[Any]:
    """Share counts as int64 when they are all whole numbers (fractional shares stay)."""
    return shares.astype(np.int64) if bool(np.all(shares == np.round(shares))) else shares
