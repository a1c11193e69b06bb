// The final stock operations of a run: actions and weights for the caller's
// next step.
#include "glue/operations.h"

#include "glue/normalize.h"
#include "pyutil/args.h"
#include "pyutil/numpy_api.h"

#include <cmath>

namespace mirelo::glue {
namespace {

using core::Exit;
using core::LoopState;

py::Ref py_int(long long value) { return py::check(PyLong_FromLongLong(value)); }

void set_item(PyObject* dict, long long key, PyObject* value) {
    py::Ref k = py_int(key);
    py::check_status(PyDict_SetItem(dict, k.get(), value));
}

void set_label(PyObject* actions, int sid, const char* label) {
    py::Ref text = py::check(PyUnicode_InternFromString(label));
    set_item(actions, sid, text.get());
}

// Divides every value of `dict` by `total` when total > 1, else by 1, with
// Python arithmetic (so NumPy scalars stay NumPy scalars).
void divide_values(PyObject* dict, PyObject* total) {
    py::Ref one = py_int(1);
    PyObject* divisor = py::check_status(PyObject_RichCompareBool(total, one.get(), Py_GT)) ? total : one.get();
    Py_ssize_t pos = 0;
    PyObject *key, *value;
    while (PyDict_Next(dict, &pos, &key, &value)) {
        py::Ref quotient = py::check(PyNumber_TrueDivide(value, divisor));
        py::check_status(PyDict_SetItem(dict, key, quotient.get()));  // replaces a value: no resize
    }
}

// The weights of the last rebalance for the stocks it held, 0 for those since
// closed (a holding of 0 left by an exit within a bar is closed too).
void last_rebalance_weights(const OperationsInput& a, const LoopState& st, PyObject* weights) {
    py::Ref total = py_int(0);
    py::Ref zero = py_int(0);
    for (const int sid : st.rebalanced_sids) {
        py::Ref w = py::float64_scalar(a.pos_values.at(st.weight_row, sid));
        auto found = st.holdings.find(sid);
        const bool open = found != st.holdings.end() && found->value != 0;
        set_item(weights, sid, open ? w.get() : zero.get());
        total = py::check(PyNumber_InPlaceAdd(total.get(), w.get()));
    }
    divide_values(weights, total.get());
}

bool listed(const std::vector<Exit>& exits, int sid) {
    for (const Exit& e : exits) {
        if (e.sid == sid) return true;
    }
    return false;
}

// The non-zero weights of the newest position row, without the stocks that
// sit out the next period, divided by the gross sum of the row when above 1.
void next_period_weights(const OperationsInput& a, const LoopState& st, PyObject* next_weights) {
    const Py_ssize_t columns = a.pos_values.extent(1);
    std::vector<std::pair<int, double>> kept;
    double gross = 0.0;
    for (Py_ssize_t sid = 0; sid < columns; ++sid) {
        const double w = a.pos_values.at(st.pos_row, sid);
        gross += std::fabs(w);
        const int s = static_cast<int>(sid);
        const bool excluded = py::truth(a.stop_trading_next_period) &&
                              (listed(st.stopped_stocks, s) || listed(st.due_exits, s));
        if (w != 0 && !excluded) kept.emplace_back(s, w);
    }
    const double divisor = gross > 1 ? gross : 1.0;
    for (const auto& [sid, w] : kept) {
        py::Ref value = py::float64_scalar(w / divisor);
        set_item(next_weights, sid, value.get());
    }
}

// "enter", "exit" or "hold" for every stock of the newest row, by whether it
// is held and whether its weight is non-zero.
void rebalance_actions(const OperationsInput& a, const LoopState& st, PyObject* actions) {
    for (Py_ssize_t sid = 0; sid < a.pos_values.extent(1); ++sid) {
        const double w = a.pos_values.at(st.pos_row, sid);
        const double h = st.holdings.value_of(static_cast<int>(sid));
        if (h == 0 && w != 0) set_label(actions, static_cast<int>(sid), "enter");
        else if (h != 0 && w == 0) set_label(actions, static_cast<int>(sid), "exit");
        else if (h != 0 && w != 0) set_label(actions, static_cast<int>(sid), "hold");
    }
}

bool nonzero_entry(PyObject* dict, int sid) {
    py::Ref key = py_int(sid);
    PyObject* value = PyDict_GetItemWithError(dict, key.get());
    if (value == nullptr) {
        py::check_no_error();
        return false;
    }
    py::Ref zero = py_int(0);
    return py::check_status(PyObject_RichCompareBool(value, zero.get(), Py_NE)) != 0;
}

// Exits found on the last bar and not executed: "tp"/"sl", or
// "tp_enter"/"sl_enter" when the stock is about to be entered again.
void pending_exit_actions(const OperationsInput& a, const LoopState& st, PyObject* actions, PyObject* next_weights) {
    for (const Exit& exit : st.due_exits) {
        const bool tp = core::labelled_tp(exit, a.touched_exit);
        if (py::truth(a.stop_trading_next_period) || st.last_date > a.pos_index.at(st.pos_row)) {
            set_label(actions, exit.sid, tp ? "tp" : "sl");
        } else if (nonzero_entry(next_weights, exit.sid)) {
            set_label(actions, exit.sid, tp ? "tp_enter" : "sl_enter");
        }
    }
}

// Stocks closed by an exit rule since the last rebalance: "tp_"/"sl_".
void stopped_actions(const OperationsInput& a, const LoopState& st, PyObject* actions) {
    for (const Exit& exit : st.stopped_stocks) {
        py::Ref key = py_int(exit.sid);
        const bool known = py::check_status(PyDict_Contains(actions, key.get())) != 0;
        if (py::truth(a.stop_trading_next_period) || !known) {
            set_label(actions, exit.sid, core::labelled_tp(exit, a.touched_exit) ? "tp_" : "sl_");
        }
    }
}

void normalize_entry(PyObject* ops, const char* key, PyObject* position_limit) {
    PyObject* weights = PyDict_GetItemString(ops, key);  // borrowed; the dict was built here
    py::Ref normalized = normalize_weights(weights, position_limit);
    py::check_status(PyDict_SetItemString(ops, key, normalized.get()));
}

}  // namespace

py::Ref new_stock_operations() {
    py::Ref actions = py::check(PyDict_New());
    py::Ref weights = py::check(PyDict_New());
    py::Ref next_weights = py::check(PyDict_New());
    return py::check(Py_BuildValue("{sOsOsO}", "actions", actions.get(), "weights", weights.get(),
                                   "next_weights", next_weights.get()));
}

void fill_stock_operations(PyObject* ops_dict, const OperationsInput& a, const LoopState& st) {
    const py::Ref ops = py::Ref::borrow(ops_dict);
    // Borrowed from the dict made by new_stock_operations, which keeps them.
    PyObject* actions = PyDict_GetItemString(ops_dict, "actions");
    PyObject* weights = PyDict_GetItemString(ops_dict, "weights");
    PyObject* next_weights = PyDict_GetItemString(ops_dict, "next_weights");

    last_rebalance_weights(a, st, weights);
    next_period_weights(a, st, next_weights);
    {
        py::Ref weight_time = py_int(st.weight_row);
        py::Ref next_weight_time = py_int(st.pos_row);
        py::check_status(PyDict_SetItemString(ops.get(), "weight_time", weight_time.get()));
        py::check_status(PyDict_SetItemString(ops.get(), "next_weight_time", next_weight_time.get()));
    }
    py::Ref limit = py::check(PyFloat_FromDouble(a.position_limit));
    normalize_entry(ops.get(), "weights", limit.get());
    normalize_entry(ops.get(), "next_weights", limit.get());

    if (st.rebalance_today) rebalance_actions(a, st, actions);
    pending_exit_actions(a, st, actions, next_weights);
    stopped_actions(a, st, actions);
}

}  // namespace mirelo::glue
