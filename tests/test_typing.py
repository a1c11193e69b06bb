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


def test_usage_example_runs():
    namespace: dict = {}
    exec(compile(EXAMPLE.read_text(), str(EXAMPLE), "exec"), namespace)
    assert namespace["run"]() > 2017


def test_stubs_ship_with_the_package():
    import mirelo.core as core
    root = pathlib.Path(core.__file__).parent
    for name in ("tradesim.pyi", "excursion.pyi", "strconv.pyi", "py.typed"):
        assert (root / name).is_file(), name
