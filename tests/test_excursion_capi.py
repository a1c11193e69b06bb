"""The export table of mirelo.core.excursion and the module's life cycle."""

import ctypes
import subprocess
import sys
import textwrap
import types

import numpy as np
import pytest

from mirelo.core import excursion

EXPORTS = [
    ("entry", b"PyArrayObject *"),
    ("position", b"PyArrayObject *"),
    ("start_analysis",
     b"void (PyArrayObject *, PyArrayObject *, std::map<int,int> , int, double, double, int, int)"),
    ("record_date", b"void (int)"),
    ("record_entry", b"void (int, double, int)"),
    ("record_exit", b"void (int, int)"),
    ("end_analysis", b"PyObject *(std::map<int,double>  &)"),
]

capsule_name = ctypes.pythonapi.PyCapsule_GetName
capsule_name.restype = ctypes.c_char_p
capsule_name.argtypes = [ctypes.py_object]
capsule_pointer = ctypes.pythonapi.PyCapsule_GetPointer
capsule_pointer.restype = ctypes.c_void_p
capsule_pointer.argtypes = [ctypes.py_object, ctypes.c_char_p]


def test_export_table_names_order_and_signatures():
    table = excursion.__pyx_capi__
    assert type(table) is dict
    assert [(name, capsule_name(capsule)) for name, capsule in table.items()] == EXPORTS


def test_module_attributes():
    public = sorted(n for n in vars(excursion) if not n.startswith("_"))
    assert public == ["excursion", "org_np", "trade_positions", "trades"]
    assert excursion.org_np is np
    assert all(type(getattr(excursion, n)) is list for n in ("trades", "trade_positions", "excursion"))


def test_variable_capsules_hold_the_address_of_the_current_array(probe):
    table = excursion.__pyx_capi__

    def current(name):
        address = capsule_pointer(table[name], b"PyArrayObject *")
        return address, ctypes.cast(address, ctypes.POINTER(ctypes.py_object)).contents.value

    price = np.ones((3, 2))
    probe.start_analysis(price, price, {}, 4, 0.0, 0.0, 0, 1)
    entry_address, entry = current("entry")
    position_address, position = current("position")
    assert entry is probe.entry() and position is probe.position()
    assert entry.dtype == np.dtype(int) and position.dtype == np.float64
    assert entry.tolist() == [0] * 4 and position.tolist() == [0.0] * 4
    probe.record_date(3)
    probe.record_entry(-1, -7.5, 1)  # a negative sid counts from the end
    assert entry.tolist() == [0, 0, 0, 3] and position.tolist() == [0, 0, 0, -7.5]

    # A new run stores new arrays at the same addresses.
    probe.start_analysis(price, price, {}, 2, 0.0, 0.0, 0, 1)
    assert current("entry")[0] == entry_address and current("entry")[1] is probe.entry()
    assert current("position")[0] == position_address
    assert current("position")[1] is probe.position()
    assert probe.entry() is not entry and probe.entry().tolist() == [0, 0]
    assert probe.position() is not position and probe.position().tolist() == [0.0, 0.0]


@pytest.mark.parametrize("change, error, message", [
    (lambda t: t.pop("record_exit"), ImportError,
     "mirelo.core.excursion does not export expected C function record_exit"),
    (lambda t: t.pop("position"), ImportError,
     "mirelo.core.excursion does not export expected C variable position"),
    (lambda t: t.update(record_date=t["record_exit"]), TypeError,
     "C function mirelo.core.excursion.record_date has wrong signature "
     "(expected void (int), got void (int, int))"),
])
def test_binding_refuses_a_changed_table(probe, change, error, message):
    fake = types.ModuleType("fake")
    fake.__pyx_capi__ = dict(excursion.__pyx_capi__)
    change(fake.__pyx_capi__)
    with pytest.raises(error) as exc:
        probe.bind(fake)
    assert str(exc.value) == message


# Runs in a fresh interpreter: the module's state is process-wide.
FRESH_PROCESS = """
import importlib, importlib.util, sys
try:
    import _xxsubinterpreters as interpreters  # up to 3.12
    new_interpreter = lambda: interpreters.create(isolated=False)
except ImportError:
    import _interpreters as interpreters  # 3.13 on
    new_interpreter = lambda: interpreters.create("legacy")

import mirelo.core.excursion as excursion

probe_spec = importlib.util.spec_from_file_location("excursion_probe", {probe_path!r})
probe = importlib.util.module_from_spec(probe_spec)
probe_spec.loader.exec_module(probe)
probe.bind(excursion)

def error_of(call, *args):
    try:
        call(*args)
    except Exception as e:
        return type(e).__name__ + ": " + str(e)

# Load-time state: empty lists and arrays.
print(excursion.trades, excursion.trade_positions, excursion.excursion)
print(probe.entry().dtype, probe.entry().shape, probe.position().dtype, probe.position().shape)
print(error_of(probe.record_entry, 0, 1.0, 1))
print(error_of(probe.end_analysis, {{0: 1.0}}))
print(probe.end_analysis({{0: 0.0}}), excursion.trades)

del sys.modules["mirelo.core.excursion"]
print(error_of(importlib.import_module, "mirelo.core.excursion"))

SECOND = ("try:\\n    import mirelo.core.excursion\\n"
          "except Exception as e:\\n    print(type(e).__name__ + ': ' + str(e))\\n")
interpreters.run_string(new_interpreter(), SECOND)
"""


def test_load_time_state_and_single_initialisation(excursion_probe_path):
    script = FRESH_PROCESS.format(probe_path=str(excursion_probe_path))
    done = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True,
                          timeout=120)
    assert done.returncode == 0, done.stderr
    assert done.stdout.splitlines() == [
        "[] [] []",
        "int64 (0,) float64 (0,)",
        "IndexError: index 0 is out of bounds for axis 0 with size 0",
        "IndexError: index 0 is out of bounds for axis 0 with size 0",
        "None []",
        "RuntimeError: Module 'excursion' has already been imported. "
        "Re-initialisation is not supported.",
        "ImportError: Interpreter change detected - this module can "
        "only be loaded into one interpreter per process.",
    ]
