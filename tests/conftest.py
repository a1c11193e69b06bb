import importlib.util
import subprocess
import sysconfig
from pathlib import Path

import pytest

TESTS_DIR = Path(__file__).resolve().parent
CORE_DIR = TESTS_DIR.parent / "src" / "mirelo" / "core"


def build_probe(name, out_dir, *sources):
    """Compiles tests/native/<name>.cpp (and `sources` of the package) into `out_dir`;
    returns the path of the extension."""
    target = out_dir / (name + sysconfig.get_config_var("EXT_SUFFIX"))
    paths = sysconfig.get_paths()
    command = [
        "g++", "-std=c++20", "-O1", "-fPIC", "-shared", "-fvisibility=hidden",
        "-ffp-contract=off", "-Wall", "-Wextra", "-Wshadow",
        f"-I{paths['include']}", f"-I{paths['platinclude']}", f"-I{CORE_DIR}",
        str(TESTS_DIR / "native" / f"{name}.cpp"), *(str(CORE_DIR / s) for s in sources),
        "-o", str(target),
    ]
    built = subprocess.run(command, capture_output=True, text=True)
    if built.returncode != 0:
        pytest.fail(f"building {name} failed:\n" + built.stderr, pytrace=False)
    return target


def build_excursion_probe(out_dir):
    """Compiles tests/native/excursion_probe.cpp into `out_dir`; returns the path."""
    return build_probe("excursion_probe", out_dir, "pyutil/capsule.cpp", "pyutil/error.cpp")


def load_extension(name, path):
    module_spec = importlib.util.spec_from_file_location(name, path)
    module = importlib.util.module_from_spec(module_spec)
    module_spec.loader.exec_module(module)
    return module


@pytest.fixture(scope="session")
def excursion_probe_path(tmp_path_factory):
    return build_excursion_probe(tmp_path_factory.mktemp("excursion_probe"))


@pytest.fixture(scope="session")
def kernel_probe(tmp_path_factory):
    """The test-only extension over the kernel's NumPy-order summation."""
    path = build_probe("kernel_probe", tmp_path_factory.mktemp("kernel_probe"))
    return load_extension("kernel_probe", path)


@pytest.fixture(scope="session")
def probe(excursion_probe_path):
    """The test-only extension, bound to mirelo.core.excursion's export table."""
    from mirelo.core import excursion

    module = load_extension("excursion_probe", excursion_probe_path)
    module.bind(excursion)
    return module


@pytest.fixture(scope="module")
def local_ray():
    """A local two-CPU Ray instance for a module's tests, unless one runs already."""
    ray = pytest.importorskip("ray")
    started = not ray.is_initialized()
    if started:
        ray.init(num_cpus=2, logging_level="ERROR", log_to_driver=False)
    yield
    if started:
        ray.shutdown()
