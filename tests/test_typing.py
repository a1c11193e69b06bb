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
                "mirelo._plot", "mirelo._prices", "mirelo._profiles", "mirelo._result", "mirelo._stats",
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
    """[(name, default or None, keyword_only, annotation)] of a function in a .pyi file; `...`
    is None."""
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
    text = lambda p: ast.unparse(p.annotation) if p.annotation else None  # noqa: E731
    params = [(p.arg, value(d), False, text(p)) for p, d in zip(positional, defaults)
              if p.arg != "self"]
    params += [(p.arg, value(d), True, text(p)) for p, d in zip(a.kwonlyargs, a.kw_defaults)]
    return params


def test_stubs_follow_the_rule_table():
    import math

    from mirelo.core import batch

    def stub_form(rule, keyword_only):  # an infinite default is written `...`
        default = None if isinstance(rule.default, float) and math.isinf(rule.default) \
            else rule.default
        return rule.name, default, keyword_only, rule.kind

    backtest = stub_parameters("tradesim.pyi", "backtest_")
    assert backtest[11:-1] == [stub_form(r, False) for r in batch.RULES if r.in_backtest_]
    assert [p[0] for p in backtest[:11]] + [backtest[-1][0]] == [
        "price_values", "close_values", "high_values", "low_values", "open_values",
        "price_index", "price_columns", "pos_values", "pos_index", "pos_columns", "resample",
        "delisting_bars"]
    # Market.run: the four position arrays, then every rule and record_holdings by keyword
    # only.
    run = stub_parameters("batch.pyi", "Market", "run")
    assert [p[0] for p in run[:4]] == ["pos_values", "pos_index", "pos_columns", "resample"]
    assert run[4:-1] == [stub_form(r, True) for r in batch.RULES]
    assert run[-1][:3] == ("record_holdings", False, True)
