"""The package's layers import one way down: the compiled core nothing above it, and the
result's parts not the result back; the core's folders are where the docs say, and its
traceback entries point into them."""

import ast
import pathlib
import subprocess
import sys
import traceback

import numpy as np
import pytest

import mirelo
import mirelo.core
from mirelo.core import tradesim
from simcase import arrays, market

PACKAGE = pathlib.Path(mirelo.__file__).parent
CHECKOUT = pathlib.Path(__file__).parents[1]
SOURCES = CHECKOUT / "src"


def test_the_core_imports_nothing_above_it():
    code = ("import importlib, pkgutil, sys, mirelo.core as core\n"
            "for m in pkgutil.iter_modules(core.__path__):\n"
            "    importlib.import_module('mirelo.core.' + m.name)\n"
            "print(sorted(n for n in sys.modules if n == 'pandas' or n.startswith('mirelo.')\n"
            "             and not n.startswith('mirelo.core')))")
    done = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True,
                          timeout=120)
    assert done.returncode == 0, done.stderr
    assert done.stdout.strip() == "[]"


def imported_modules(path):
    tree = ast.parse(path.read_text())
    for node in ast.walk(tree):
        if isinstance(node, ast.ImportFrom) and node.module:
            yield node.module
        elif isinstance(node, ast.Import):
            yield from (alias.name for alias in node.names)


def test_the_results_parts_do_not_import_the_result():
    parts = [PACKAGE / name for name in ("_stats.py", "_plot.py", "_benchmark.py",
                                         "_orders.py")]
    parts += sorted((PACKAGE / "_report").glob("*.py"))
    for path in parts:
        assert "mirelo._result" not in set(imported_modules(path)), path.name


def test_every_core_folder_is_named_where_the_layout_is_described():
    readme = (CHECKOUT / "README.md").read_text()
    layout = readme[readme.index("- Layout:"):]
    folders = [p.name for p in (SOURCES / "mirelo" / "core").iterdir()
               if p.is_dir() and p.name != "__pycache__"]
    assert "glue" in folders and "engine" not in folders
    for folder in folders:
        assert f"``{folder}/``" in mirelo.core.__doc__, folder
        assert f"`{folder}/`" in layout, folder


def source_line(entry):
    return (SOURCES / entry.filename).read_text().splitlines()[entry.lineno - 1]


@pytest.mark.parametrize("changes, rules, callee", [
    ({}, dict(position_limit=-1.0), "convert_rules"),
    (dict(price_columns=np.array([5], dtype=object)), {}, "map_columns"),
    ({}, {}, "run_bar_loop"),  # the trading price 0.0 on the last bar
])
def test_backtest_tracebacks_point_at_lines_of_their_sources(changes, rules, callee):
    case = dict(arrays(market([1.0, 1.0, 0.0]), [1.0], [0], [10]), **changes)
    with pytest.raises((ValueError, AttributeError)) as exc:
        tradesim.backtest_(**case, **rules)
    entries = [e for e in traceback.extract_tb(exc.value.__traceback__)
               if e.name.startswith("mirelo.core.")]
    assert all(source_line(e).strip() for e in entries)  # a file of the checkout, a real line
    (ours,) = [e for e in entries if e.name == "mirelo.core.tradesim.backtest_"]
    assert ours.filename == "mirelo/core/tradesim/backtest.cpp" and callee in source_line(ours)
