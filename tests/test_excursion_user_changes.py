"""The excursion module takes its per-sid arrays, price matrices and numpy as they are at each
use: arrays of other element types, byte orders, strides or flags in the exported slots,
matrices of other layouts, a patched numpy and objects of other kinds give what Python
indexing and calls give."""

import contextlib
import ctypes
import traceback

import numpy as np
import pytest

from excursion_twin import Twin
from mirelo.core import excursion

PRICE = np.array([[10.0, 20.0, 5.0], [11.0, 19.0, 5.5], [12.0, 18.0, 6.0], [9.0, 21.0, 6.5],
                  [10.0, 22.0, 6.0]])
CLOSE = PRICE * 1.01
COL_MAP = {0: 0, 1: 1, 2: 2}
FEE, TAX = 0.001425, 0.003


def trade(runner, position=1.0, sid=0, price=PRICE, close=CLOSE, window=3, step=1, between=None):
    """Enters `sid` on bar 1 and exits it on bar 3; `between(runner)` runs after the entry."""
    runner.start_analysis(price, close, COL_MAP, 3, FEE, TAX, window, step)
    runner.record_date(1)
    runner.record_entry(sid, position, 1)
    if between is not None:
        between(runner)
    runner.record_date(3)
    runner.record_exit(sid, 1)


def entry_point_names(exc):
    return [f.name for f in traceback.extract_tb(exc.__traceback__)
            if f.name.startswith("mirelo.core.excursion.")]


def profile_of(probe, **kwargs):
    trade(probe, **kwargs)
    return excursion.excursion[-1].copy()


# ---- numpy as the module global org_np --------------------------------------------------

class Recording:
    """numpy, recording the calls of `empty`."""

    def __init__(self):
        self.calls = []

    def empty(self, *args, **kwargs):
        self.calls.append((args, kwargs))
        return np.empty(*args, **kwargs)

    def __getattr__(self, name):
        return getattr(np, name)


class Marked(np.ndarray):
    pass


def test_a_replaced_org_np_makes_the_profiles(probe, monkeypatch):
    plain = profile_of(probe, window=10, step=5)
    fake = Recording()
    monkeypatch.setattr(excursion, "org_np", fake)
    assert np.array_equal(profile_of(probe, window=10, step=5), plain)
    assert fake.calls == [((18,), {"dtype": np.float64})]
    monkeypatch.undo()
    profile_of(probe)
    assert len(fake.calls) == 1


def test_patched_numpy_functions_are_called(probe, monkeypatch):
    plain = profile_of(probe)
    monkeypatch.setattr(np, "empty", lambda n, dtype: np.zeros(n, dtype).view(Marked))
    trade(probe)
    got = excursion.excursion[-1]
    assert type(got) is Marked and np.array_equal(got, plain)

    monkeypatch.setattr(np, "float64", np.float32)
    with pytest.raises(ValueError) as exc:
        trade(probe)
    assert str(exc.value) == "Buffer dtype mismatch, expected 'float64_t' but got 'float'"


def test_org_np_removed(probe, monkeypatch):
    with pytest.raises(NameError) as exc:
        trade(probe, between=lambda runner: monkeypatch.delattr(excursion, "org_np"))
    assert str(exc.value) == "name 'org_np' is not defined"
    assert entry_point_names(exc.value) == ["mirelo.core.excursion.record_exit",
                                            "mirelo.core.excursion.excursion_analysis"]
    assert len(excursion.trades) == 1 and excursion.excursion == []


# ---- the per-sid arrays ------------------------------------------------------------------

capsule_pointer = ctypes.pythonapi.PyCapsule_GetPointer
capsule_pointer.restype = ctypes.c_void_p
capsule_pointer.argtypes = [ctypes.py_object, ctypes.c_char_p]


@contextlib.contextmanager
def in_slot(name, value):
    """Stores `value` in the exported variable `name` as an importer could, then restores it."""
    address = capsule_pointer(excursion.__pyx_capi__[name], b"PyArrayObject *")
    cell = ctypes.cast(address, ctypes.POINTER(ctypes.py_object))
    old = cell[0]  # the slot's reference to it passes to this function until the restore
    ctypes.pythonapi.Py_IncRef(ctypes.py_object(value))
    cell[0] = value
    try:
        yield
    finally:
        current = cell[0]
        cell[0] = old
        ctypes.pythonapi.Py_DecRef(ctypes.py_object(current))


@pytest.mark.parametrize("name, array", [
    ("position", np.array([-2.0, 0.0, 0.0]).view(np.int64)),  # negative as an int: a short
    ("position", np.array([-2.0, 0.0, 0.0], dtype=">f8")),     # byte-swapped
    ("position", np.array([3, 0, 0], dtype=np.int32)),
    ("entry", np.array([2, 0, 0], dtype=np.int32)),
    ("entry", np.array([2, 0, 0], dtype=">i8")),
    ("entry", np.arange(6)[::2]),                               # strided
])
def test_elements_are_read_as_indexing_gives_them(probe, name, array):
    trade(probe)
    with in_slot(name, array):
        entry, position = probe.entry()[0], probe.position()[0]
        probe.record_exit(0, 0)
    assert excursion.trades[-1] == [0, entry, 3] and type(excursion.trades[-1][1]) is type(entry)
    got = excursion.trade_positions[-1]
    assert type(got) is type(position) and got == position
    profile = excursion.excursion[-1]

    twin = Twin(probe)
    twin.start_analysis(PRICE, CLOSE, COL_MAP, 3, FEE, TAX, 3, 1)
    twin.record_date(int(entry))
    twin.record_entry(0, 1.0 if position > 0 else -1.0, 1)
    twin.record_date(3)
    twin.record_exit(0, 0)
    assert np.array_equal(profile, twin.model.excursion[-1])
@pytest.mark.parametrize("entry", [np.zeros(3, dtype=np.int32), np.zeros(3, dtype=">i8"),
                                   np.zeros(6, dtype=np.int64)[::2]])
def test_writes_store_as_item_assignment_does(probe, entry):
    position = np.zeros(3, dtype=">f8")
    trade(probe)
    with in_slot("entry", entry), in_slot("position", position):
        probe.record_date(4)
        probe.record_entry(-2, -7.5, 1)
    assert entry.tolist() == [0, 4, 0] and position.tolist() == [0.0, -7.5, 0.0]


def test_a_write_that_numpy_warns_about_warns(probe):
    trade(probe)
    # Three elements in one: writeable, but the first write warns.
    position = np.broadcast_arrays(np.zeros(1), np.zeros(3))[0]
    with in_slot("position", position), pytest.warns(DeprecationWarning, match="broadcast_arrays"):
        probe.record_entry(1, 2.5, 1)
    assert position.tolist() == [2.5, 2.5, 2.5]


def test_writes_to_a_read_only_array_fail_as_item_assignment_does(probe):
    trade(probe)
    probe.entry().flags.writeable = False
    position_before = probe.position().copy()
    with pytest.raises(ValueError) as exc:
        probe.record_entry(1, 5.0, 1)
    assert str(exc.value) == "assignment destination is read-only"
    assert entry_point_names(exc.value) == ["mirelo.core.excursion.record_entry"]
    assert np.array_equal(probe.position(), position_before)  # nothing after the failure


def test_entry_bar_beyond_int_range(probe):
    def far_entry(runner):
        runner.entry()[0] = 2**40

    with pytest.raises(OverflowError) as exc:
        trade(probe, between=far_entry)
    assert str(exc.value) == "value too large to convert to int"
    assert excursion.trades == [[0, 2**40, 3]] and excursion.trade_positions == [1.0]
    assert entry_point_names(exc.value) == ["mirelo.core.excursion.record_exit"]


@pytest.mark.parametrize("sid, message", [
    (3, "index 3 is out of bounds for axis 0 with size 3"),
    (-4, "index -4 is out of bounds for axis 0 with size 3"),
])
def test_sid_outside_the_arrays(probe, sid, message):
    trade(probe)
    for call in (lambda: probe.record_entry(sid, 1.0, 1), lambda: probe.record_exit(sid, 1)):
        with pytest.raises(IndexError) as exc:
            call()
        assert str(exc.value) == message
    assert len(excursion.trades) == 1


# ---- price matrices of other layouts ----------------------------------------------------

def unaligned(matrix):
    raw = np.zeros(matrix.nbytes + 1, dtype=np.uint8)
    out = raw[1:].view(np.float64).reshape(matrix.shape)
    out[...] = matrix
    return out


@pytest.mark.parametrize("layout", [
    np.asfortranarray,
    lambda m: np.repeat(m, 2, axis=1)[::-1, ::2][::-1],     # strided view
    unaligned,
    lambda m: m.view(Marked),                                # a subclass
])
def test_matrix_layouts_give_the_same_profiles(probe, layout):
    twin = Twin(probe)
    trade(twin, price=layout(PRICE), close=layout(CLOSE), window=4, step=2)
    twin.assert_same_results()


# ---- objects of other kinds in the exported slots ---------------------------------------

class Above:
    """A position whose comparison with 0 gives a truth that counts its uses."""

    def __init__(self):
        self.asked = 0

    def __gt__(self, other):
        return self

    def __bool__(self):
        self.asked += 1
        return True


class Shifted(np.ndarray):
    def __getitem__(self, key):
        return super().__getitem__(key) + 1


def test_objects_of_other_kinds_are_indexed_and_asked_as_python_does(probe):
    plain = profile_of(probe)  # a long entered on bar 1, exited on bar 3
    above = Above()
    positions = np.array([above, None, None], dtype=object)
    entries = np.zeros(3, dtype=np.int64).view(Shifted)  # reads 0 as entry bar 1
    with in_slot("position", positions), in_slot("entry", entries):
        probe.record_date(3)
        probe.record_exit(0, 1)
    assert excursion.trades[-1] == [0, 1, 3] and excursion.trade_positions[-1] is above
    assert np.array_equal(excursion.excursion[-1], plain)
    # Asked at the entry, on each later bar with a close (bars 2 to 4: the window of 3
    # reaches past the exit) and at the exit re-pricing.
    assert above.asked == 1 + 3 + 1
