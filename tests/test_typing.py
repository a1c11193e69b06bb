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
                "mirelo.core.demo"]


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
