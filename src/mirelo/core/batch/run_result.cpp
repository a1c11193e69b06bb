// RunResult: what one backtest on a market gives back.
#include "batch/run_result.h"

#include "batch/state.h"
#include "pyutil/args.h"

#include <structmember.h>

#include <iterator>
#include <vector>

namespace mirelo::batch {
namespace {

constexpr const char kFile[] = "mirelo/core/batch/run_result.cpp";

struct RunResultObject {
    PyObject_HEAD
    PyObject* value;
    PyObject* trades;
    PyObject* profiles;
    PyObject* operations;
    PyObject* holdings[kHoldingsFields];  // None each when not recorded
};

RunResultObject* as_result(PyObject* self) { return reinterpret_cast<RunResultObject*>(self); }

// `holdings`: kHoldingsFields objects, or null for None in every field.
PyObject* alloc(PyTypeObject* type, PyObject* value, PyObject* trades, PyObject* profiles, PyObject* operations,
                PyObject* const* holdings) {
    PyObject* self = type->tp_alloc(type, 0);
    if (self == nullptr) return nullptr;
    RunResultObject* r = as_result(self);
    r->value = Py_NewRef(value);
    r->trades = Py_NewRef(trades);
    r->profiles = Py_NewRef(profiles);
    r->operations = Py_NewRef(operations);
    for (std::size_t k = 0; k < kHoldingsFields; ++k) {
        PyObject* field = holdings != nullptr ? holdings[k] : nullptr;
        r->holdings[k] = Py_NewRef(field != nullptr ? field : Py_None);
    }
    return self;
}

PyObject* result_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    static const py::TraceSite site{"mirelo.core.batch.RunResult", kFile};
    static py::ArgParser parser = [] {
        std::vector<const char*> names = {"value", "trades", "profiles", "operations"};
        names.insert(names.end(), std::begin(kHoldingsFieldNames), std::end(kHoldingsFieldNames));
        return py::ArgParser("RunResult", names, 4);
    }();
    return py::guarded(site, static_cast<PyObject*>(nullptr), [&] {
        PyObject* a[4 + kHoldingsFields];
        parser.parse_tuple(args, kwargs, a);
        return py::check(alloc(type, a[0], a[1], a[2], a[3], a + 4)).release();
    });
}

int traverse(PyObject* self, visitproc visit, void* arg) {
    RunResultObject* r = as_result(self);
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(r->value);
    Py_VISIT(r->trades);
    Py_VISIT(r->profiles);
    Py_VISIT(r->operations);
    for (PyObject* field : r->holdings) Py_VISIT(field);
    return 0;
}

int clear(PyObject* self) {
    RunResultObject* r = as_result(self);
    Py_CLEAR(r->value);
    Py_CLEAR(r->trades);
    Py_CLEAR(r->profiles);
    Py_CLEAR(r->operations);
    for (PyObject*& field : r->holdings) Py_CLEAR(field);
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
    py::Ref args = py::check(PyTuple_New(4 + kHoldingsFields));
    PyObject* fields[] = {r->value, r->trades, r->profiles, r->operations};
    for (Py_ssize_t k = 0; k < 4; ++k) PyTuple_SET_ITEM(args.get(), k, Py_NewRef(fields[k]));
    for (std::size_t k = 0; k < kHoldingsFields; ++k) {
        PyTuple_SET_ITEM(args.get(), static_cast<Py_ssize_t>(4 + k), Py_NewRef(r->holdings[k]));
    }
    return Py_BuildValue("(ON)", Py_TYPE(self), args.release());
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
     "an open trade exits at its value on the last bar) and reason (EXIT_REASONS)."},
    {"profiles", T_OBJECT_EX, offsetof(RunResultObject, profiles), READONLY,
     "2-D float64: row i is the excursion profile of trade i."},
    {"operations", T_OBJECT_EX, offsetof(RunResultObject, operations), READONLY,
     "The final stock operations: actions, weights, next weights and their row numbers."},
#define MIRELO_HOLDINGS_MEMBER(k, doc)                                                                     \
    {kHoldingsFieldNames[k], T_OBJECT_EX,                                                                  \
     static_cast<Py_ssize_t>(offsetof(RunResultObject, holdings) + (k) * sizeof(PyObject*)), READONLY, doc}
    MIRELO_HOLDINGS_MEMBER(0, "1-D int64, bars + 1 (None unless recorded): bar i's holdings are\n"
                              "holdings_sid and holdings_value[holdings_offsets[i]:holdings_offsets[i + 1]]."),
    MIRELO_HOLDINGS_MEMBER(1, "1-D int32 (None unless recorded): the sid of each holding, ascending within a bar."),
    MIRELO_HOLDINGS_MEMBER(2, "1-D float64 (None unless recorded): each holding's money value after the\n"
                              "bar's trades, at the close, as the bar's value counts it."),
    MIRELO_HOLDINGS_MEMBER(3, "1-D float64 per bar (None unless recorded): the cash after the bar's trades;\n"
                              "cash plus the bar's holdings, added in order, is the bar's value."),
    MIRELO_HOLDINGS_MEMBER(4, "1-D float64 per bar: the money the bar traded, the sum of |change of position|\n"
                              "at the fills, fees excluded."),
    MIRELO_HOLDINGS_MEMBER(5, "1-D float64 per bar: the fees and tax the bar paid."),
    MIRELO_HOLDINGS_MEMBER(6, "1-D int64, bars + 1 (None unless recorded): bar i's fills are\n"
                              "fills_sid and fills_value[fills_offsets[i]:fills_offsets[i + 1]]."),
    MIRELO_HOLDINGS_MEMBER(7, "1-D int32 (None unless recorded): the sid of each fill, ascending within a bar."),
    MIRELO_HOLDINGS_MEMBER(8, "1-D float64 (None unless recorded): each stock's net change of position at\n"
                              "the bar's fills (money at the fill price, positive bought, fees excluded)."),
    MIRELO_HOLDINGS_MEMBER(9, "1-D int32 per bar: the number of holdings after the bar's trades (those the\n"
                              "holdings record lists)."),
#undef MIRELO_HOLDINGS_MEMBER
    {nullptr, 0, 0, 0, nullptr},
};

const char kDoc[] =
    "RunResult(value, trades, profiles, operations, holdings_offsets=None, holdings_sid=None,\n"
    "          holdings_value=None, cash=None, traded=None, costs=None, fills_offsets=None,\n"
    "          fills_sid=None, fills_value=None, holdings_count=None)\n"
    "--\n\n"
    "The result of Market.run: the value path, the trades with why each ended,\n"
    "their excursion profiles, the final stock operations, and the money each bar\n"
    "traded, the costs it paid and the number of holdings it ended with; with\n"
    "record_holdings=True also what the run held, its cash and its fills on every\n"
    "bar.";

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

py::Ref new_run_result(PyObject* value, PyObject* trades, PyObject* profiles, PyObject* operations,
                       PyObject* const* holdings) {
    auto* type = reinterpret_cast<PyTypeObject*>(state().run_result_type.get());
    return py::check(alloc(type, value, trades, profiles, operations, holdings));
}

}  // namespace mirelo::batch
