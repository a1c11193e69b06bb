"""Position columns matched to price columns by name (seen through both engines), and ioft.

A market refuses a price column name that is not a `str` when it is made, where backtest_
fails as it maps the columns: such names run on backtest_ alone.
"""

import datetime
import time
import unicodedata

import numpy as np
import pytest

from mirelo.core import tradesim
from mirelo.core.tradesim import backtest_, ioft
from simcase import FREE, arrays, last_entry, market, run, run_case, traceback_names

# Three price columns whose prices grow by factors 2, 1 and 3 per bar.
PRICES = [[1.0, 5.0, 1.0], [2.0, 5.0, 3.0], [4.0, 5.0, 9.0], [8.0, 5.0, 27.0]]
# Bought on bar 1 with all the money and no fee: the value path is the price ratio to bar 1.
GROWTH = {"x2": [1.0, 1.0, 2.0, 4.0], "flat": [1.0] * 4, "x3": [1.0, 1.0, 3.0, 9.0]}


def path_of(columns, pos_columns, weights):
    r = run(market(PRICES, columns=columns), weights, [0], [10], pos_columns, **FREE)
    return r.value_path.tolist(), r


# --- column mapping -----------------------------------------------------------------------------

def test_position_columns_found_by_name():
    # price ["A", "B", "C"], position ["C", "A"]: position 0 -> price 2, position 1 -> price 0.
    path, r = path_of(["A", "B", "C"], ["C", "A"], [1.0, 0.0])
    assert path == GROWTH["x3"]
    assert r.rows[0][0] == "C"
    path, r = path_of(["A", "B", "C"], ["C", "A"], [0.0, 1.0])
    assert path == GROWTH["x2"]
    assert r.rows[0][0] == "A"
    assert r.trades == [[1, 1, -1]]


def test_missing_name_has_no_mapping():
    # position ["A", "X"]: "X" is not priced; with weight 0 the run works.
    path, r = path_of(["A", "B", "C"], ["A", "X"], [1.0, 0.0])
    assert path == GROWTH["x2"]
    assert r.trades == [[0, 1, -1]]


def test_duplicate_price_name_maps_to_its_last_occurrence():
    path, _ = path_of(["A", "B", "A"], ["A"], [1.0])
    assert path == GROWTH["x3"]
    path, _ = path_of(["A", "A", "B"], ["A"], [1.0])
    assert path == GROWTH["flat"]


def test_empty_position_columns():
    path, r = path_of(["A", "B", "C"], [], np.zeros((1, 0)))
    assert path == [1.0] * 4
    assert r.trades == []


def test_names_compared_as_utf8_bytes():
    nfc = unicodedata.normalize("NFC", "Caf\u00e9")
    nfd = unicodedata.normalize("NFD", "Caf\u00e9")
    assert nfc != nfd and nfc.encode() != nfd.encode()
    assert path_of([nfc, "B", nfd], [nfd], [1.0])[0] == GROWTH["x3"]
    assert path_of([nfc, "B", nfd], [nfc], [1.0])[0] == GROWTH["x2"]
    # Non-ASCII and astral names work like any other.
    assert path_of(["\u53f0\u7a4d\u96fb", "\U0001f600", "B"], ["\U0001f600"], [1.0])[0] == \
        GROWTH["flat"]


def test_name_objects_are_encoded_through_their_encode_method():
    class Alias(str):
        def encode(self, *args):
            return b"C"

    assert path_of(["A", "B", "C"], [Alias("A")], [1.0])[0] == GROWTH["x3"]


@pytest.mark.parametrize("side", ["price", "position"])
@pytest.mark.parametrize("bad, error, message", [
    (5, AttributeError, "'int' object has no attribute 'encode'"),
    (None, AttributeError, "'NoneType' object has no attribute 'encode'"),
    ("\ud800", UnicodeEncodeError, None),
])
def test_name_that_cannot_be_encoded(monkeypatch, side, bad, error, message):
    monkeypatch.setattr(tradesim, "RESAMPLE", "untouched")
    columns, pos_columns = ["A", "B", "C"], ["A"]
    if side == "price":
        columns = ["A", bad, "C"]
    else:
        pos_columns = [bad]
    case = arrays(market(PRICES, columns=columns), [0.0], [0], [], pos_columns)
    with pytest.raises(error) as exc:
        if side == "position" or isinstance(bad, str):
            run_case(case)
        else:
            backtest_(**case)
    if message is not None:
        assert str(exc.value) == message
    names = traceback_names(exc.value)
    assert names[-1] == "mirelo.core.tradesim.map_columns"
    assert "mirelo.core.tradesim.backtest_" in names
    assert last_entry(exc.value).filename.startswith("mirelo/core/glue/")
    assert tradesim.RESAMPLE is True        # the run had started


def test_encode_must_return_bytes():
    class Texty(str):
        def encode(self, *args):
            return "A"

    with pytest.raises(TypeError) as exc:
        run(market(PRICES), [0.0], [0], [], [Texty("A")])
    assert str(exc.value) == "expected bytes, str found"
    assert last_entry(exc.value).name == "mirelo.core.tradesim.map_columns"


# --- ioft ---------------------------------------------------------------------------------------

def test_ioft_epoch():
    got = ioft(0)
    assert type(got) is datetime.datetime
    assert got == datetime.datetime.fromtimestamp(0)
    assert got.tzinfo is None


def test_ioft_2017():
    utc = datetime.datetime(2017, 7, 14, 2, 40, tzinfo=datetime.timezone.utc)
    assert ioft(1_500_000_000_000_000_000) == utc.astimezone().replace(tzinfo=None)


@pytest.fixture
def utc_plus_8(monkeypatch):
    monkeypatch.setenv("TZ", "XYZ-8")   # POSIX form: eight hours east of UTC
    time.tzset()
    yield
    monkeypatch.undo()
    time.tzset()


def test_ioft_is_local_time(utc_plus_8):
    assert ioft(0) == datetime.datetime(1970, 1, 1, 8, 0)
    assert ioft(1_500_000_000_000_000_000) == datetime.datetime(2017, 7, 14, 10, 40)


@pytest.mark.parametrize("v, seconds", [
    (1.5e9, 1.5),
    (1_500_000_000, 1.5),
    (np.int64(1_500_000_000_000_000_000), 1_500_000_000),
    (np.float64(2.5e9), 2.5),
    (123_456_789, 0.123457),            # microsecond resolution, rounded
    (-1_000_000_000, -1.0),
])
def test_ioft_values(v, seconds):
    assert ioft(v) == datetime.datetime.fromtimestamp(seconds)


def test_ioft_keyword():
    assert ioft(v=0) == datetime.datetime.fromtimestamp(0)


@pytest.mark.parametrize("args, kwargs, message", [
    ((), {}, "ioft() takes exactly 1 positional argument (0 given)"),
    ((1, 2), {}, "ioft() takes exactly 1 positional argument (2 given)"),
    ((1,), {"v": 1}, "ioft() got multiple values for keyword argument 'v'"),
    ((), {"value": 1}, "ioft() got an unexpected keyword argument 'value'"),
])
def test_ioft_argument_errors(args, kwargs, message):
    with pytest.raises(TypeError) as exc:
        ioft(*args, **kwargs)
    assert str(exc.value) == message
    assert last_entry(exc.value).name == "mirelo.core.tradesim.ioft"


@pytest.mark.parametrize("v, error", [
    ("0", TypeError), (None, TypeError), (10**30, (OverflowError, ValueError, OSError)),
    (float("nan"), ValueError)])
def test_ioft_passes_on_errors(v, error):
    with pytest.raises(error) as exc:
        ioft(v)
    assert last_entry(exc.value).name == "mirelo.core.tradesim.ioft"
    assert last_entry(exc.value).filename.startswith("mirelo/core/tradesim/")


def test_ioft_reads_the_datetime_global_at_each_call(monkeypatch):
    class Recorder:
        @staticmethod
        def fromtimestamp(seconds):
            return ("asked", seconds)

    class FakeModule:
        datetime = Recorder

    monkeypatch.setattr(tradesim, "datetime", FakeModule)
    assert ioft(3_000_000_000) == ("asked", 3.0)
