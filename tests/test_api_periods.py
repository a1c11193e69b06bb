"""Periods per year: inferred from the spacing of the bars and from whether they fall on
weekends, or given to stats(), backtest and sweep."""

import numpy as np
import pandas as pd
import pytest

import mirelo
from mirelo._stats import infer_periods_per_year
from sweepcase import CLOSE, WEIGHTS

BDAYS = pd.bdate_range("2020-01-01", periods=600)


def test_inferred_from_the_spacing_and_the_weekends():
    hours = [pd.Timedelta(hours=h) for h in range(9, 16)]
    cases = {
        "business days": (BDAYS, 252),
        "every other business day": (BDAYS[::2], 126),
        "every calendar day": (pd.date_range("2020-01-01", periods=500, freq="D"), 365),
        "hourly round the clock": (pd.date_range("2020-01-01", periods=1440, freq="h",
                                                 tz="Asia/Taipei"), 8760),
        "hourly in exchange hours": (pd.DatetimeIndex([d + h for d in BDAYS[:60]
                                                       for h in hours]), 7 * 252),
        "weekly on Sundays": (pd.date_range("2020-01-05", periods=60, freq="W"), 52),
        "two-weekly": (pd.date_range("2020-01-03", periods=60, freq="2W-FRI"), 26),
        "business month ends": (pd.date_range("2020-01-31", periods=40, freq="BME"), 12),
        "quarter ends": (pd.date_range("2020-03-31", periods=12, freq="QE"), 4),
        "year ends": (pd.date_range("2000-12-31", periods=10, freq="YE"), 1),
    }
    got = {name: infer_periods_per_year(index) for name, (index, _) in cases.items()}
    assert got == {name: want for name, (_, want) in cases.items()}
    assert infer_periods_per_year(pd.date_range("2000-12-31", periods=5, freq="2YE")) == \
        pytest.approx(0.5, rel=1e-3)


def test_given_to_stats_backtest_and_sweep():
    inferred = mirelo.backtest(CLOSE, WEIGHTS).stats()
    given = mirelo.backtest(CLOSE, WEIGHTS, periods_per_year=126)
    assert (inferred["periods_per_year"], given.stats()["periods_per_year"]) == (252, 126)
    assert given.stats()["sharpe"] == pytest.approx(inferred["sharpe"] / np.sqrt(2))
    assert given.stats(periods_per_year=252).equals(inferred)

    swept = mirelo.sweep(CLOSE, WEIGHTS, {"stop_loss": [0.05, 1.0]}, periods_per_year=126,
                         progress=False, holdings=True)
    assert swept.table["periods_per_year"].tolist() == [126, 126]
    assert swept.run(1).stats().equals(given.stats())

    for bad, error in ((0, ValueError), (np.nan, ValueError), ("252", TypeError)):
        with pytest.raises(error, match="^periods_per_year must be a"):
            mirelo.backtest(CLOSE, WEIGHTS, periods_per_year=bad)
    with pytest.raises(ValueError, match="^periods_per_year must be a"):
        mirelo.sweep(CLOSE, WEIGHTS, {"stop_loss": [1.0]}, periods_per_year=np.inf)
