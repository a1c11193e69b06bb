"""Importing mirelo.core.tradesim: its globals, its functions and the binding of the
excursion module's export table (doctored tables are tried in fresh interpreters)."""

import datetime
import json
import os
import subprocess
import sys

import numpy
import pytest

import mirelo.core.excursion
from mirelo.core import tradesim

MODULE = "mirelo.core.tradesim"
EXCURSION = "mirelo.core.excursion"


# --- the module as imported ------------------------------------------------------------------

def test_module_globals():
    assert tradesim.org_np is numpy
    assert tradesim.excursion is mirelo.core.excursion
    assert tradesim.datetime is datetime
    assert tradesim.__name__ == MODULE


def test_stock_operations_is_not_a_module_global():
    assert "stock_operations" not in vars(tradesim)
    assert not hasattr(tradesim, "stock_operations")


@pytest.mark.parametrize("name", ["get_stock_operations", "normalize_weight", "ioft",
                                  "backtest_", "get_trade_stocks"])
def test_functions_are_published(name):
    function = getattr(tradesim, name)
    assert callable(function)
    assert function.__name__ == name
    assert function.__module__ == MODULE


@pytest.mark.parametrize("name", ["map_columns", "validate_trade_price", "set_position",
                                  "rebalance", "start_analysis", "record_entry"])
def test_internal_operations_are_not_published(name):
    assert not hasattr(tradesim, name)


def test_public_names_in_initialisation_order():
    public = [k for k in vars(tradesim) if not k.startswith("__")]
    assert public == ["org_np", "excursion", "datetime", "RETAIN_COST_WHEN_REBALANCE",
                      "RESAMPLE", "get_stock_operations", "normalize_weight", "ioft",
                      "backtest_", "get_trade_stocks"]


# --- fresh interpreters ------------------------------------------------------------------------

# Each scenario runs `body` in a forked copy of one fresh interpreter that has imported only
# NumPy and the excursion module, then imports the engine and reports what happened as JSON.
# Forking keeps the many fresh imports cheap.
DRIVER = """
import ctypes, json, os, sys, types
import mirelo.core.excursion as excursion
assert "mirelo.core.tradesim" not in sys.modules
_new_capsule = ctypes.pythonapi.PyCapsule_New
_new_capsule.restype = ctypes.py_object
_new_capsule.argtypes = [ctypes.c_void_p, ctypes.c_void_p, ctypes.c_void_p]
_keep = []

def capsule_named(signature):
    # A capsule whose name is `signature`; its pointer is never used by a failing import.
    name = ctypes.create_string_buffer(signature.encode())
    _keep.append(name)
    return _new_capsule(ctypes.addressof(name), ctypes.addressof(name), None)

def attempt(body):
    capi = excursion.__pyx_capi__
    scope = dict(globals(), capi=capi)
    exec(body, scope)
    out = {}
    try:
        import mirelo.core.tradesim as tradesim
    except BaseException as exc:
        out["error"] = [type(exc).__name__, str(exc)]
        out["left_in_sys_modules"] = "mirelo.core.tradesim" in sys.modules
    else:
        out["error"] = None
        if "after_import" in scope:
            out["after"] = scope["after_import"](tradesim)
    return out

results = {}
for name, body in json.loads(sys.stdin.read()).items():
    read_end, write_end = os.pipe()
    pid = os.fork()
    if pid == 0:
        os.close(read_end)
        try:
            text = json.dumps(attempt(body))
        except BaseException as exc:
            text = json.dumps({"crash": repr(exc)})
        os.write(write_end, text.encode())
        os._exit(0)
    os.close(write_end)
    with os.fdopen(read_end) as pipe:
        text = pipe.read()
    _, status = os.waitpid(pid, 0)
    results[name] = json.loads(text) if text else {"crash": f"wait status {status}"}
print(json.dumps(results))
"""

FAKE_OLD_NUMPY = """
import numpy
# A stand-in for NumPy's core module whose C-API table reports ABI 2.0 and C-API 0x10.
FUNC = ctypes.CFUNCTYPE(ctypes.c_uint)
abi, feature, endian = FUNC(lambda: 0x02000000), FUNC(lambda: 0x10), FUNC(lambda: 1)
table = (ctypes.c_void_p * 400)()
table[0] = ctypes.cast(abi, ctypes.c_void_p).value
table[211] = ctypes.cast(feature, ctypes.c_void_p).value
table[210] = ctypes.cast(endian, ctypes.c_void_p).value
_keep.extend([abi, feature, endian, table])
fake = types.ModuleType("numpy._core._multiarray_umath")
fake._ARRAY_API = _new_capsule(ctypes.addressof(table), None, None)
sys.modules["numpy._core._multiarray_umath"] = fake
"""

NUMPY_FALLBACK = """
import numpy
real = sys.modules["numpy._core._multiarray_umath"]
fallback = types.ModuleType("numpy.core._multiarray_umath")
fallback._ARRAY_API = real._ARRAY_API
saved = {k: sys.modules.get(k) for k in ("numpy._core._multiarray_umath",
                                         "numpy.core._multiarray_umath")}
sys.modules["numpy._core._multiarray_umath"] = None
sys.modules["numpy.core._multiarray_umath"] = fallback

def after_import(tradesim):
    for k, v in saved.items():
        if v is None:
            sys.modules.pop(k, None)
        else:
            sys.modules[k] = v
    price = numpy.ones((3, 1))
    path = tradesim.backtest_(price, price, price, price, price,
                              numpy.array([10, 20, 30], dtype=numpy.int64),
                              numpy.array(["A"], dtype=object), numpy.ones((1, 1)),
                              numpy.array([0], dtype=numpy.int64),
                              numpy.array(["A"], dtype=object),
                              numpy.array([10], dtype=numpy.int64),
                              fee_ratio=0.0, tax_ratio=0.0)
    return path.tolist()
"""

FRESH_STATE = """
def after_import(tradesim):
    ops = tradesim.get_stock_operations()
    rows, ops2 = tradesim.get_trade_stocks(None, None, False)
    return [type(ops).__name__, ops, rows, ops2, tradesim.RESAMPLE,
            tradesim.RETAIN_COST_WHEN_REBALANCE]
"""

SCENARIOS = {
    "intact": "",
    "fresh_state": FRESH_STATE,
    "missing_function": "del capi['record_date']",
    "missing_variable": "del capi['entry']",
    "missing_second_variable": "del capi['position']",
    "missing_last_function": "del capi['end_analysis']",
    "first_missing_reported": "del capi['end_analysis']; del capi['record_date']",
    "variables_before_functions": "del capi['start_analysis']; del capi['position']",
    "empty_table": "capi.clear()",
    "no_table": "del excursion.__pyx_capi__",
    "table_not_a_dict": "excursion.__pyx_capi__ = list(capi.items())",
    "function_signature_of_another_entry": "capi['record_exit'] = capi['record_date']",
    "function_signature_spacing": "capi['record_exit'] = capsule_named('void (int,int)')",
    "end_analysis_single_space":
        "capi['end_analysis'] = capsule_named('PyObject *(std::map<int,double> &)')",
    "variable_signature": "capi['position'] = capi['record_date']",
    "variable_signature_const": "capi['entry'] = capsule_named('PyArrayObject const *')",
    "excursion_not_importable": "sys.modules['mirelo.core.excursion'] = None",
    "numpy_fallback_module": NUMPY_FALLBACK,
    "numpy_core_missing": "import numpy\n"
                          "sys.modules['numpy._core._multiarray_umath'] = None\n"
                          "sys.modules['numpy.core._multiarray_umath'] = None",
    "numpy_c_api_too_old": FAKE_OLD_NUMPY,
}


@pytest.fixture(scope="module")
def outcomes():
    """Maps scenario name -> what importing the engine did there."""
    env = dict(os.environ, OPENBLAS_NUM_THREADS="1", OMP_NUM_THREADS="1")
    done = subprocess.run([sys.executable, "-c", DRIVER], input=json.dumps(SCENARIOS),
                          capture_output=True, text=True, timeout=120, env=env)
    assert done.returncode == 0, done.stderr
    return json.loads(done.stdout.strip().splitlines()[-1])


def outcome(outcomes, name):
    result = outcomes[name]
    assert "crash" not in result, f"scenario {name} crashed: {result['crash']}"
    return result


def import_error(outcomes, name):
    result = outcome(outcomes, name)
    assert result["error"] is not None, f"{name}: the import succeeded"
    assert result["left_in_sys_modules"] is False
    return tuple(result["error"])


def test_intact_table_imports(outcomes):
    assert outcome(outcomes, "intact")["error"] is None


def test_fresh_module_state(outcomes):
    result = outcome(outcomes, "fresh_state")
    assert result["error"] is None
    # get_stock_operations: a dict, empty before any run; no trades yet; settings at start.
    assert result["after"] == ["dict", {}, [], {}, None, False]


@pytest.mark.parametrize("scenario, message", [
    ("missing_function", f"{EXCURSION} does not export expected C function record_date"),
    ("missing_last_function", f"{EXCURSION} does not export expected C function end_analysis"),
    ("first_missing_reported", f"{EXCURSION} does not export expected C function record_date"),
    ("missing_variable", f"{EXCURSION} does not export expected C variable entry"),
    ("missing_second_variable", f"{EXCURSION} does not export expected C variable position"),
    ("variables_before_functions", f"{EXCURSION} does not export expected C variable position"),
    ("empty_table", f"{EXCURSION} does not export expected C variable entry"),
    ("no_table", f"{EXCURSION} does not export expected C variable entry"),
    ("table_not_a_dict", f"{EXCURSION} does not export expected C variable entry"),
])
def test_missing_export_fails_import(outcomes, scenario, message):
    assert import_error(outcomes, scenario) == ("ImportError", message)


@pytest.mark.parametrize("scenario, message", [
    ("function_signature_of_another_entry",
     f"C function {EXCURSION}.record_exit has wrong signature "
     "(expected void (int, int), got void (int))"),
    ("function_signature_spacing",
     f"C function {EXCURSION}.record_exit has wrong signature "
     "(expected void (int, int), got void (int,int))"),
    ("end_analysis_single_space",
     f"C function {EXCURSION}.end_analysis has wrong signature "
     "(expected PyObject *(std::map<int,double>  &), got PyObject *(std::map<int,double> &))"),
    ("variable_signature",
     f"C variable {EXCURSION}.position has wrong signature "
     "(expected PyArrayObject *, got void (int))"),
    ("variable_signature_const",
     f"C variable {EXCURSION}.entry has wrong signature "
     "(expected PyArrayObject *, got PyArrayObject const *)"),
])
def test_wrong_signature_fails_import(outcomes, scenario, message):
    assert import_error(outcomes, scenario) == ("TypeError", message)


def test_unimportable_excursion_fails_import(outcomes):
    kind, message = import_error(outcomes, "excursion_not_importable")
    assert kind in ("ImportError", "ModuleNotFoundError")
    assert EXCURSION in message


def test_numpy_core_module_fallback(outcomes):
    result = outcome(outcomes, "numpy_fallback_module")
    assert result["error"] is None
    assert result["after"] == [1.0, 1.0, 1.0]


def test_numpy_core_missing_fails_import(outcomes):
    kind, _ = import_error(outcomes, "numpy_core_missing")
    assert kind in ("ImportError", "ModuleNotFoundError")


def test_old_numpy_c_api_fails_import(outcomes):
    kind, message = import_error(outcomes, "numpy_c_api_too_old")
    assert kind == "RuntimeError"
    assert "C-API version 0x11" in message and "0x10" in message
