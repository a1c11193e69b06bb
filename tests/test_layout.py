"""The package's layers import one way down: the compiled core nothing above it, and the
result's parts not the result back."""

import ast
import pathlib
import subprocess
import sys

import mirelo

PACKAGE = pathlib.Path(mirelo.__file__).parent


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
