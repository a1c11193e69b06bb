import pathlib
import subprocess
import sys

import pytest

pytest.importorskip("mypy")

EXAMPLE = pathlib.Path(__file__).parent / "stub_usage" / "usage_example.py"


def test_usage_example_passes_mypy_strict():
    done = subprocess.run([sys.executable, "-m", "mypy", "--strict", "--no-incremental", str(EXAMPLE)],
                          capture_output=True, text=True, timeout=300)
    assert done.returncode == 0, done.stdout + done.stderr


PANDAS_LAYER = ["mirelo", "mirelo._backtest", "mirelo._frames", "mirelo._inputs", "mirelo._labels",
                "mirelo._plot", "mirelo._prices", "mirelo._result", "mirelo._stats",
                "mirelo._holdings", "mirelo._contribution",
                "mirelo._benchmark", "mirelo._orders", "mirelo._report",
                "mirelo._report.sections", "mirelo._report.figures", "mirelo._report.tables",
                "mirelo._report.html", "mirelo._report.data", "mirelo.demo"]


def test_pandas_layer_passes_mypy_strict():
    config = pathlib.Path(__file__).parents[1] / "pyproject.toml"
    modules = [arg for name in PANDAS_LAYER for arg in ("-m", name)]
    # Calls into the compiled batch module are untyped while it ships without stubs.
    done = subprocess.run([sys.executable, "-m", "mypy", "--strict", "--no-incremental",
                           "--allow-untyped-calls", "--follow-imports=silent",
                           "--config-file", str(config), *modules],
                          capture_output=True, text=True, timeout=300)
    assert done.returncode == 0, done.stdout + done.stderr


def test_usage_example_runs():
    namespace: dict = {}
    exec(compile(EXAMPLE.read_text(), str(EXAMPLE), "exec"), namespace)
    assert namespace["run"]() > 2017


def test_stubs_ship_with_the_package():
    import mirelo.core as core
    root = pathlib.Path(core.__file__).parent
    for name in ("tradesim.pyi", "excursion.pyi", "strconv.pyi", "py.typed", "../py.typed"):
        assert (root / name).is_file(), name


def stub_parameters(stub, *path):
    """[(name, default or None, keyword_only)] of a function in a .pyi file; `...` is None."""
    import ast
    import mirelo.core as core
    tree = ast.parse((pathlib.Path(core.__file__).parent / stub).read_text())
    node = tree
    for name in path:
        node = next(n for n in node.body if getattr(n, "name", None) == name)
    a = node.args
    positional = a.posonlyargs + a.args
    defaults = [None] * (len(positional) - len(a.defaults)) + list(a.defaults)
    value = lambda d: None if d is None or isinstance(d, ast.Constant) and d.value is ... \
        else ast.literal_eval(d)  # noqa: E731
    params = [(p.arg, value(d), False) for p, d in zip(positional, defaults) if p.arg != "self"]
    params += [(p.arg, value(d), True) for p, d in zip(a.kwonlyargs, a.kw_defaults)]
    return params


def test_stubs_follow_the_parameter_table():
    import inspect
    import math

    from mirelo.core import tradesim
    runtime = [(p.name, None if p.default is inspect.Parameter.empty
                or (isinstance(p.default, float) and math.isinf(p.default)) else p.default)
               for p in inspect.signature(tradesim.backtest_).parameters.values()]
    assert [p[:2] for p in stub_parameters("tradesim.pyi", "backtest_")] == runtime
    # Market.run: the four position arrays, then the rules of backtest_ and record_holdings
    # by keyword only.
    run = stub_parameters("batch.pyi", "Market", "run")
    assert [p[0] for p in run[:4]] == ["pos_values", "pos_index", "pos_columns", "resample"]
    assert [p[:2] for p in run[4:]] == runtime[11:24] + [("record_holdings", False)]
    assert all(p[2] for p in run[4:])
