"""Parts of the kernel against NumPy and plain Python models, through the test-only
extension tests/native/kernel_probe.cpp: the scan for a weight row's non-zero weights, the
array the excursion profiles grow in, and the recorder of the holdings record."""

import numpy as np
import pytest

SPECIAL = np.array([-0.0, np.nan, np.inf, -np.inf, 5e-324, -5e-324, 1e-300, 1.0, -2.5, 0.3])


def bits(x):
    return int(np.float64(x).view(np.int64))


def weight_rows(rng):
    """Rows of every length up to 40 and a few longer, from all zeros to all set, with the
    values a weight can take (NaN and -0.0 among them), and blocks of -0.0."""
    for n in list(range(41)) + [63, 64, 65, 200]:
        for density in (0.0, 0.03, 0.3, 1.0):
            values = np.zeros(n)
            hit = rng.random(n) < density
            values[hit] = rng.choice(SPECIAL, int(hit.sum()))
            yield values
        yield np.full(n, -0.0)


def test_the_scan_finds_the_nonzero_weights_as_numpy_does(kernel_probe):
    rng = np.random.default_rng(7)
    for row in weight_rows(rng):
        zeroed = sorted(int(j) for j in np.flatnonzero(rng.random(len(row)) < 0.2))
        # Contiguous, every other element, and backwards.
        for values in (row, row[::2], row[::-1]):
            got = kernel_probe.nonzero_weights(values, [j for j in zeroed if j < len(values)])
            keep = [j for j in np.flatnonzero(values != 0) if j not in zeroed]
            want = [(int(j), float(values[j])) for j in keep]
            assert [c for c, _ in got] == [c for c, _ in want]
            assert [bits(w) for _, w in got] == [bits(w) for _, w in want]


def test_a_growing_array_keeps_every_element_through_its_growth(kernel_probe):
    rng = np.random.default_rng(3)
    chunks = [list(rng.normal(size=n)) for n in (0, 1, 4095, 1, 5000, 0, 3, 20000, 7)]
    assert kernel_probe.grown(chunks) == [x for chunk in chunks for x in chunk]
    assert kernel_probe.grown([]) == [] and kernel_probe.grown([[]]) == []


def record_model(bars):
    """The holdings record of `bars` (holdings, cash, fills) written plainly: fills without
    change and cost are none; a bar's fills are merged by stock, its changes added in the
    order they came, and listed by sid."""
    out = {k: [] for k in ("holdings_sid", "holdings_value", "cash", "fills_sid", "fills_value")}
    out["holdings_offsets"], out["fills_offsets"] = [0], [0]
    for holdings, cash, fills in bars:
        for sid, value in holdings:
            out["holdings_sid"].append(sid)
            out["holdings_value"].append(value)
        out["holdings_offsets"].append(len(out["holdings_sid"]))
        out["cash"].append(cash)
        kept = [f for f in fills if not (f[1] == 0 and f[2] == 0)]
        merged = {}
        for sid, change, _ in sorted(kept, key=lambda f: f[0]):  # a stable sort
            merged[sid] = merged[sid] + change if sid in merged else change
        for sid in sorted(merged):
            out["fills_sid"].append(sid)
            out["fills_value"].append(merged[sid])
        out["fills_offsets"].append(len(out["fills_sid"]))
    return out


@pytest.mark.parametrize("total", [None, 2000], ids=["as many bars as the run", "a longer run"])
def test_the_recorder_writes_what_a_plain_record_holds(kernel_probe, total):
    # 600 bars holding from none to 300 stocks (the columns grow several times), each with
    # up to 80 fills: mostly once a stock in ascending sid, some out of order, repeated, or
    # without change or cost.
    rng = np.random.default_rng(11)
    bars = []
    for i in range(600):
        held = 0 if i < 20 else min(300, 3 + i // 2)
        sids = sorted(int(s) for s in rng.choice(1000, held, replace=False))
        holdings = [(s, float(v)) for s, v in zip(sids, rng.normal(size=held))]
        n = int(rng.integers(0, 81)) if i % 7 == 0 else int(rng.integers(0, 4))
        fill_sids = sorted(int(s) for s in rng.choice(1000, n, replace=False))
        fills = [(s, float(rng.normal()), float(abs(rng.normal()) * 0.001)) for s in fill_sids]
        if i % 5 == 0 and fills:
            fills.append((fills[0][0], float(rng.normal()), 0.0))  # the same stock again, later
        if i % 11 == 0 and len(fills) > 2:
            fills[0], fills[-1] = fills[-1], fills[0]  # out of order
        if i % 13 == 0:
            fills.append((5, 0.0, 0.0))  # no change and no cost: no fill
            fills.append((6, 0.0, 0.01))  # a cost alone
        bars.append((holdings, float(rng.normal()), fills))
    got = kernel_probe.recorded(bars, len(bars) if total is None else total)
    assert got == record_model(bars)


def test_the_recorder_of_a_run_without_bars_holds_its_first_offsets(kernel_probe):
    assert kernel_probe.recorded([], 0) == record_model([])
