"""Hostile input: every call either gives the right result or raises a Python exception, and
none brings the interpreter down.

The calls themselves are catalogued in hostile_cases.py. They run in child interpreters (all
in one child while none crashes; a crash or a sanitizer report ends only the case that was
running, and the child is restarted for the rest), and each case's outcome is then checked
here against its expectation: an exception of the right type and message, the result of a
well-formed equivalent call, the result of the reference model, or a hand-worked check.
Value-level fuzzing (poisoned prices and weights) runs in this process against the model.
"""

import datetime
import json
import math
import re
import subprocess
import sys
from pathlib import Path

import numpy as np
import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import hostile_cases as hc
from model import normalize_weight as model_normalize_weight
from model.data import make_case

# The reference model computes with NumPy scalars, which warn on overflow and NaN.
pytestmark = pytest.mark.filterwarnings("ignore::RuntimeWarning")

TESTS_DIR = Path(__file__).resolve().parent

RUNNER = f"""
import json, sys
sys.path.insert(0, {str(TESTS_DIR)!r})
import hostile_cases as hc
for name in sys.argv[1:]:
    print("START " + name, flush=True)
    print("RESULT " + json.dumps([name, hc.outcome(name)]), flush=True)
"""

SANITIZER_MARKS = ("ERROR: AddressSanitizer", "runtime error:", "ERROR: LeakSanitizer")


def run_in_children(names, timeout=900):
    """Outcome of every named case, and the failures of children that did not end cleanly.

    A child that dies (or hangs) in the middle of a case marks that case as crashed and a new
    child takes the remaining ones."""
    results, child_failures = {}, []
    pending = list(names)
    while pending:
        proc = subprocess.Popen([sys.executable, "-c", RUNNER, *pending],
                                stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        try:
            out, err = proc.communicate(timeout=timeout)
        except subprocess.TimeoutExpired:
            proc.kill()
            out, err = proc.communicate()
        running = None
        for line in out.splitlines():
            if line.startswith("START "):
                running = line[len("START "):]
            elif line.startswith("RESULT "):
                name, result = json.loads(line[len("RESULT "):])
                results[name] = result
                running = None
        failed = proc.returncode != 0 or any(m in err for m in SANITIZER_MARKS)
        if running is not None:
            results[running] = {"crashed": proc.returncode, "stderr": err[-6000:]}
        elif failed:
            child_failures.append((pending[:3], proc.returncode, err[-6000:]))
        remaining = [n for n in pending if n not in results]
        if remaining and running is None:
            # The child stopped between cases (or before the first): nothing left to learn.
            for n in remaining:
                results[n] = {"crashed": proc.returncode, "stderr": err[-6000:]}
            remaining = []
        pending = remaining
    return results, child_failures


@pytest.fixture(scope="session")
def hostile_outcomes():
    names = sorted(hc.CASES)
    fresh = [n for n in names if n.startswith("fresh-")]
    results, failures = run_in_children([n for n in names if n not in fresh])
    for name in fresh:  # each in an interpreter where nothing has run yet
        r, f = run_in_children([name])
        results.update(r)
        failures += f
    return results, failures


def test_children_end_cleanly(hostile_outcomes):
    _, failures = hostile_outcomes
    assert not failures, "a child interpreter failed outside any case:\n" + "\n".join(
        f"{names}...: exit {code}\n{err}" for names, code, err in failures)


def diff(got, want, path="result"):
    """Where two canonical outcomes first differ, for the assertion message."""
    if isinstance(got, dict) and isinstance(want, dict):
        for k in list(want) + [k for k in got if k not in want]:
            if got.get(k) != want.get(k):
                return diff(got.get(k), want.get(k), f"{path}[{k!r}]")
    if isinstance(got, list) and isinstance(want, list) and len(got) == len(want):
        for k, (g, w) in enumerate(zip(got, want)):
            if g != w:
                return diff(g, w, f"{path}[{k}]")
    return f"{path}: engine {str(got)[:300]} != expected {str(want)[:300]}"


def check_outcome(name, got):
    _, expect, builder = hc.CASES[name]
    assert "crashed" not in got, (
        f"{name}: the interpreter died (exit status {got['crashed']}):\n{got['stderr']}")
    if "ok" in got and isinstance(got["ok"], list) and got["ok"][:1] == [hc.SKIPPED]:
        pytest.skip(got["ok"][1])
    kind, info = expect.kind, expect.info

    if kind == "raises":
        assert "raised" in got, f"{name}: expected {info['types']}, got a result"
        type_name, message, bases = got["raised"]
        assert set(info["types"]) & set(bases), f"{name}: {type_name}: {message}"
        if info["message"] is not None:
            assert message == info["message"]
        if info["match"] is not None:
            assert re.search(info["match"], message), message
    elif kind == "same":
        want = hc.outcome_of(lambda: hc.run_full(info["builder"]()))
        assert "ok" in want, f"the well-formed reference failed: {want}"
        assert got == want, diff(got, want)
    elif kind == "model":
        want = hc.outcome_of(lambda: hc.run_model(builder()))
        if "raised" in want:
            assert "raised" in got, f"the model raised {want['raised'][:2]}, the engine did not"
            assert got["raised"][:2] == want["raised"][:2]
        else:
            assert got == want, diff(got, want)
    elif kind == "holds":
        assert "ok" in got, f"{name}: raised {got.get('raised')}"
        info["check"](got["ok"])
    elif kind == "ioft":
        want = hc.outcome_of(lambda: hc.canon(str(
            datetime.datetime.fromtimestamp(info["value"] / 1e9))))
        assert {k: v[:2] if k == "raised" else v for k, v in got.items()} == \
            {k: v[:2] if k == "raised" else v for k, v in want.items()}
    else:
        assert kind == "any"  # reaching here means the child survived the case


@pytest.mark.parametrize("name", sorted(hc.CASES))
def test_hostile_case(name, hostile_outcomes):
    check_outcome(name, hostile_outcomes[0][name])


def test_base_case_trades_every_way():
    """The base case the catalogue perturbs opens, resizes, stops out and delists, and the
    model agrees with the engine on it, so that 'same result' comparisons have teeth."""
    for touched in (False, True):
        case = hc.base_case(touched)
        got = hc.run_full(case)
        assert got == hc.run_model(hc.base_case(touched))
        trades = got["trades"]
        assert len(trades) >= 4
        assert any(t[2] == -1 for t in trades)       # still open at the end
        assert any(t[2] != -1 for t in trades)       # closed during the run
        assert [2, 4, 5] in trades                   # C delisted on bar 5
    vp = hc.run_full(hc.base_case())["value_path"]
    assert len(set(map(str, vp[3]))) > 3             # the value moves


def test_layout_cases_cover_every_array():
    covered = {n.split("-")[2] for n in hc.CASES if n.startswith("layout-")}
    assert covered >= set(hc.ARRAY_ARGS) | {"delisting_bars", "all"}


# -- value-level fuzzing against the reference model ------------------------------------------

POISON = [np.nan, np.inf, -np.inf, 0.0, -0.0, -1.0, 1e308, -1e308, 5e-324]
MATRICES = ["price_values", "close_values", "high_values", "low_values", "open_values"]


@st.composite
def poisoned_cases(draw):
    case = make_case(draw(st.integers(0, 2**32 - 1)), n_bars=draw(st.integers(2, 12)),
                     n_price=draw(st.integers(1, 4)), n_rows=draw(st.integers(1, 4)),
                     shorts=draw(st.booleans()),
                     touched_exit=draw(st.booleans()),
                     stop_loss=draw(st.sampled_from([1.0, 0.05])),
                     take_profit=draw(st.sampled_from([np.inf, 0.1])),
                     excursion_window=draw(st.sampled_from([0, 3])),
                     stop_trading_next_period=draw(st.booleans()))
    for _ in range(draw(st.integers(1, 4))):
        key = draw(st.sampled_from(MATRICES + ["pos_values"]))
        m = case[key] = case[key].copy()
        i = draw(st.integers(0, m.shape[0] - 1))
        j = draw(st.integers(0, m.shape[1] - 1))
        m[i, j] = draw(st.sampled_from(POISON))
    return case


def outcome_pair(case):
    got = hc.outcome_of(lambda: hc.run_full(case))
    want = hc.outcome_of(lambda: hc.run_model(case))
    if "raised" in want:
        return got.get("raised", got)[:2], want["raised"][:2]
    return got, want


@settings(max_examples=120, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(case=poisoned_cases())
def test_poisoned_prices_and_weights_match_the_model(case):
    got, want = outcome_pair(case)
    assert got == want, diff(got, want)


WEIGHT_VALUES = st.one_of(st.sampled_from([np.inf, -np.inf, np.nan, 1e308, -1e308, 0.0, -0.0,
                                           5e-324]),
                          st.floats(-3, 3))


@settings(max_examples=150, deadline=None)
@given(values=st.lists(WEIGHT_VALUES, max_size=6),
       limit=st.sampled_from([1.0, 0.3, 0.0, np.inf, np.nan, -0.5]),
       numpy_scalars=st.booleans())
def test_normalize_weight_with_extreme_values_matches_the_model(values, limit, numpy_scalars):
    make = np.float64 if numpy_scalars else float
    got = {k: make(v) for k, v in enumerate(values)}
    want = {k: make(v) for k, v in enumerate(values)}
    assert hc.tradesim.normalize_weight(got, limit) is got
    model_normalize_weight(want, limit)
    assert hc.canon(got) == hc.canon(want)
    assert [type(v) for v in got.values()] == [type(v) for v in want.values()]

