// RunResult: what one backtest on a market gives back.
#include "batch/run_result.h"

#include "batch/state.h"
#include "pyutil/args.h"

#include <structmember.h>

namespace mirelo::batch {
namespace {

constexpr const char kFile[] = "mirelo/core/batch/run_result.cpp";

struct RunResultObject {
    PyObject_HEAD
    PyObject* value;
    PyObject* trades;
    PyObject* profiles;
    PyObject* operations;
};

RunResultObject* as_result(PyObject* self) { return reinterpret_cast<RunResultObject*>(self); }

PyObject* alloc(PyTypeObject* type, PyObject* value, PyObject* trades, PyObject* profiles, PyObject* operations) {
    PyObject* self = type->tp_alloc(type, 0);
    if (self == nullptr) return nullptr;
    RunResultObject* r = as_result(self);
    r->value = Py_NewRef(value);
    r->trades = Py_NewRef(trades);
    r->profiles = Py_NewRef(profiles);
    r->operations = Py_NewRef(operations);
    return self;
}

PyObject* result_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    static const py::TraceSite site{"mirelo.core.batch.RunResult", kFile};
    static py::ArgParser parser{"RunResult", {"value", "trades", "profiles", "operations"}, 4};
    return py::guarded(site, static_cast<PyObject*>(nullptr), [&] {
        PyObject* a[4];
        parser.parse_tuple(args, kwargs, a);
        return py::check(alloc(type, a[0], a[1], a[2], a[3])).release();
    });
}

int traverse(PyObject* self, visitproc visit, void* arg) {
    RunResultObject* r = as_result(self);
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(r->value);
    Py_VISIT(r->trades);
    Py_VISIT(r->profiles);
    Py_VISIT(r->operations);
    return 0;
}

int clear(PyObject* self) {
    RunResultObject* r = as_result(self);
    Py_CLEAR(r->value);
    Py_CLEAR(r->trades);
    Py_CLEAR(r->profiles);
    Py_CLEAR(r->operations);
    return 0;
}

void dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    clear(self);
    type->tp_free(self);
    Py_DECREF(type);
}

PyObject* repr(PyObject* self) {
    RunResultObject* r = as_result(self);
    const Py_ssize_t bars = PyObject_Length(r->value);
    const Py_ssize_t trades = PyObject_Length(r->trades);
    if ((bars < 0 || trades < 0) && PyErr_Occurred()) return nullptr;
    return PyUnicode_FromFormat("RunResult(bars=%zd, trades=%zd)", bars, trades);
}

// Pickled as the call that makes it again.
PyObject* reduce(PyObject* self, PyObject*) {
    RunResultObject* r = as_result(self);
    return Py_BuildValue("O(OOOO)", Py_TYPE(self), r->value, r->trades, r->profiles, r->operations);
}

PyMethodDef methods[] = {
    {"__reduce__", reduce, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyMemberDef members[] = {
    {"value", T_OBJECT_EX, offsetof(RunResultObject, value), READONLY,
     "1-D float64: the portfolio's value on every bar (1.0 = the start)."},
    {"trades", T_OBJECT_EX, offsetof(RunResultObject, trades), READONLY,
     "Structured array (TRADE_DTYPE), one record per trade in the order the trades\n"
     "ended (then the open ones by sid): sid, entry_bar, exit_bar (-1: open),\n"
     "position (signed weight at entry), entry_value and exit_value (the money the\n"
     "trade entered and exited at, signed like the position, net of fees and tax;\n"
     "an open trade exits at its value on the last bar) and reason (REASONS)."},
    {"profiles", T_OBJECT_EX, offsetof(RunResultObject, profiles), READONLY,
     "2-D float64: row i is the excursion profile of trade i."},
    {"operations", T_OBJECT_EX, offsetof(RunResultObject, operations), READONLY,
     "The final stock operations: actions, weights, next weights and their row numbers."},
    {nullptr, 0, 0, 0, nullptr},
};

const char kDoc[] =
    "RunResult(value, trades, profiles, operations)\n"
    "--\n\n"
    "The result of Market.run: the value path, the trades with why each ended,\n"
    "their excursion profiles and the final stock operations.";

PyType_Slot slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(result_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(clear)},
    {Py_tp_repr, reinterpret_cast<void*>(repr)},
    {Py_tp_methods, methods},
    {Py_tp_members, members},
    {Py_tp_doc, const_cast<char*>(kDoc)},
    {0, nullptr},
};

}  // namespace

PyType_Spec kRunResultSpec = {
    "mirelo.core.batch.RunResult",
    sizeof(RunResultObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_IMMUTABLETYPE,
    slots,
};

py::Ref new_run_result(PyObject* value, PyObject* trades, PyObject* profiles, PyObject* operations) {
    auto* type = reinterpret_cast<PyTypeObject*>(state().run_result_type.get());
    return py::check(alloc(type, value, trades, profiles, operations));
}

}  // namespace mirelo::batch
