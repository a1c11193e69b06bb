"""read_prices: long and wide tables from CSV and Parquet, and the errors it reports."""

import numpy as np
import pandas as pd
import pytest

import mirelo

LONG = """Date,Stock,Open,High,Low,Close,Volume
2024-01-03,0050,10.5,11,10,10.8,1000
2024-01-02,0050,10,10.6,9.9,10.4,900
2024-01-02,2330,50,51,49,50.5,300
2024-01-03,2330,50.5,52,50,51.5,400
2024-01-04,0050,10.8,11.2,10.7,11.1,800
"""


def write(tmp_path, name, text):
    path = tmp_path / name
    path.write_text(text)
    return path


def test_long_csv_to_frames(tmp_path):
    frames = mirelo.read_prices(write(tmp_path, "p.csv", LONG))
    assert sorted(frames) == ["close", "high", "low", "open", "volume"]
    close = frames["close"]
    assert list(close.columns) == ["0050", "2330"]  # codes stay text
    assert close.index.tolist() == list(pd.to_datetime(["2024-01-02", "2024-01-03", "2024-01-04"]))
    assert close.to_numpy().tolist()[:2] == [[10.4, 50.5], [10.8, 51.5]]
    assert np.isnan(close.loc["2024-01-04", "2330"])  # no row: NaN
    r = mirelo.backtest(close, close * 0 + 0.5, open=frames["open"], high=frames["high"],
                        low=frames["low"])
    assert len(r.value) == 3


def test_wide_csv_and_parquet_round_trip(tmp_path):
    wide = "date,AAA,BBB\n2024-01-03,2,20\n2024-01-02,1,10\n"
    frames = mirelo.read_prices(write(tmp_path, "w.csv", wide))
    assert list(frames) == ["close"] and frames["close"].to_numpy().tolist() == [[1, 10], [2, 20]]
    frames["close"].to_parquet(tmp_path / "w.parquet")
    again = mirelo.read_prices(tmp_path / "w.parquet")["close"]
    pd.testing.assert_frame_equal(again, frames["close"], check_freq=False)
    long_csv = write(tmp_path, "l.csv", LONG)
    pd.read_csv(long_csv, dtype={"Stock": str}).to_parquet(tmp_path / "l.pq")
    from_parquet = mirelo.read_prices(tmp_path / "l.pq")
    pd.testing.assert_frame_equal(from_parquet["close"],
                                  mirelo.read_prices(long_csv)["close"])


@pytest.mark.parametrize("name, text, message", [
    ("a.csv", "date,stock,open\n2024-01-02,A,1\n",
     "a long price table needs the columns date, stock and close; missing close "
     "(found 'date', 'stock', 'open')"),
    ("b.csv", "date,stock,close\n2024-01-02,A,1\nsoon,A,2\n2024-01-04,A,3\n",
     "dates that cannot be read in column 'date': 'soon' (row 2)"),
    ("c.csv", "date,stock,close\n2024-01-02,A,1\n2024-01-03,A,2\n2024-01-02,A,3\n",
     "repeated (date, stock) rows: (2024-01-02, 'A')"),
    ("d.csv", "date,stock,close\n2024-01-02,A,1\n2024-01-03,A,1.2.3\n",
     "column 'close' has values that are not numbers: '1.2.3' (row 2)"),
    ("e.csv", "date,A\n2024-01-02,1\n2024-01-02,2\n", "repeated dates 2024-01-02"),
    ("f.xlsx", "", "unknown file type; read_prices reads .parquet, .pq, .csv, .txt, .csv.gz, "
     ".csv.bz2, .csv.zip, .csv.xz"),
])
def test_errors_name_the_problem(tmp_path, name, text, message):
    path = write(tmp_path, name, text)
    with pytest.raises(ValueError) as exc:
        mirelo.read_prices(path)
    assert str(exc.value) == f"{path}: {message}"
