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
     "(found 'date', 'stock', 'open'); read as a long table (one row per date and stock) "
     "because of its stock column 'stock'"),
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


def test_a_stock_named_twice_is_refused(tmp_path):
    for name, text in (("w.csv", "date,A,B, A\n2024-01-02,1,2,3\n"),
                       ("l.csv", "date,stock,close,Close\n2024-01-02,A,1,1\n")):
        path = write(tmp_path, name, text)
        with pytest.raises(ValueError) as exc:
            mirelo.read_prices(path)
        repeated = "'A'" if name == "w.csv" else "'Close'"
        assert str(exc.value).startswith(f"{path}: the header names {repeated} more than once")


def test_a_header_without_rows_gives_frames_without_rows(tmp_path):
    frames = mirelo.read_prices(write(tmp_path, "l.csv", "date,stock,open,close\n"))
    wide = mirelo.read_prices(write(tmp_path, "w.csv", "date,A,B\n"))["close"]
    assert sorted(frames) == ["close", "open"] and len(wide) == 0
    for frame in (*frames.values(), wide):
        assert isinstance(frame.index, pd.DatetimeIndex) and frame.index.name == "date"
    with pytest.raises(ValueError, match="^close is empty"):
        mirelo.backtest(frames["close"], frames["close"])


def test_stock_column_names_spaces_and_the_layout_assumed(tmp_path):
    want = mirelo.read_prices(write(tmp_path, "p.csv", LONG))
    header, rows = LONG.split("\n", 1)
    for key in ("Ticker", "symbol", "CODE"):
        spaced = header.replace("Stock", key).replace(",", ", ") + "\n" + rows.replace(",", ", ")
        got = mirelo.read_prices(write(tmp_path, f"{key}.csv", spaced))
        assert sorted(got) == sorted(want)
        for field, frame in want.items():
            pd.testing.assert_frame_equal(got[field], frame)
    # A wide table may have a stock named like a stock column: its values are numbers.
    wide = mirelo.read_prices(write(tmp_path, "w.csv", "date,CODE,AAA\n2024-01-02,1,2\n"))
    assert list(wide["close"].columns) == ["CODE", "AAA"]
    for text, message in [
        ("date,name,price\n2024-01-02,A,1\n",
         "column 'name' has values that are not numbers: 'A' (row 1); read as a wide table (one "
         "column per stock) because no column names the stock (stock, ticker, symbol, code)"),
        ("date,permno,open,close\n2024-01-02,7,1,1\n",
         "columns 'open', 'close' are price fields of a long table, but no column names the "
         "stock (stock, ticker, symbol, code); name it so, or give a wide table one column "
         "per stock"),
        ("date,ticker,symbol,close\n2024-01-02,A,A,1\n",
         "more than one stock column: 'ticker', 'symbol'; keep one"),
    ]:
        path = write(tmp_path, "bad.csv", text)
        with pytest.raises(ValueError) as exc:
            mirelo.read_prices(path)
        assert str(exc.value) == f"{path}: {message}"
