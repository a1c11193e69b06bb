"""A caller of the compiled core, checked with mypy --strict against the stubs."""

import datetime

import numpy as np
import numpy.typing as npt

from mirelo.core import excursion, strconv, tradesim


def run() -> float:
    prices = np.array([[10.0, 20.0], [11.0, 19.0], [12.0, 18.0]])
    dates = np.array([10, 20, 30], dtype=np.int64)
    names = np.array(["A", "B"], dtype=object)
    weights = np.array([[0.5, 0.5]])
    path: npt.NDArray[np.float64] = tradesim.backtest_(
        prices, prices, prices, prices, prices, dates, names, weights,
        dates[:1], names, dates[:1], stop_loss=0.1, touched_exit=True, excursion_window=2)
    rows, operations = tradesim.get_trade_stocks(names, dates, True)
    copy: dict[str, object] = tradesim.get_stock_operations()
    limited: dict[int, float] = tradesim.normalize_weight({0: 0.7, 1: 0.7}, 0.5)
    when: datetime.datetime = tradesim.ioft(1_500_000_000_000_000_000)
    profile: npt.NDArray[np.float64] = excursion.excursion[0]
    raw: bytearray = strconv.str_to_bytearray("abc")
    flag: bool | None = tradesim.RESAMPLE
    return float(path[-1]) + len(rows) + len(operations) + len(copy) + len(limited) \
        + when.year + float(profile[0]) + len(raw) + int(bool(flag)) + len(excursion.trades)
