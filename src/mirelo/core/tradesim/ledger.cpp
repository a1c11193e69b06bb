// The last run's trade ledger and stock operations, and the trade-price guard.
#include "glue/arrays.h"
#include "pyutil/args.h"
#include "pyutil/indexing.h"
#include "pyutil/numpy_api.h"
#include "tradesim/functions.h"
#include "tradesim/state.h"

#include <cstdint>

namespace mirelo::tradesim {
namespace {

constexpr const char kFile[] = "mirelo/core/tradesim/ledger.cpp";

using glue::Dates;
using glue::Names;

Py_ssize_t as_index(PyObject* obj) {
    Py_ssize_t v = PyNumber_AsSsize_t(obj, PyExc_IndexError);
    if (v == -1 && PyErr_Occurred()) py::throw_pending();
    return v;
}

// price_index[bar] as a NumPy int64, or -1 for an execution date past the last
// bar: a trade entered (or, in close mode, exited) on the last bar would fill
// on a bar that does not exist.
py::Ref execution_date(const Dates& price_index, Py_ssize_t bar) {
    if (bar >= price_index.extent(0) && !price_index.is_none()) return py::check(PyLong_FromLong(-1));
    return py::int64_scalar(price_index.at(bar));
}

// The nine elements of one trade row, evaluated in order.
py::Ref trade_row(PyObject* trade, PyObject* positions, Py_ssize_t i, const Names& pos_columns,
                  const Dates& price_index, bool touched_exit) {
    py::Ref sid = py::item_at(trade, 0);
    py::Ref entry = py::item_at(trade, 1);
    py::Ref exit = py::item_at(trade, 2);
    const Py_ssize_t entry_bar = as_index(entry.get());
    const Py_ssize_t exit_bar = as_index(exit.get());
    const bool open = exit_bar == -1;

    py::Ref stock = py::Ref::borrow(pos_columns.at(as_index(sid.get())));
    if (!stock) stock = py::Ref::borrow(Py_None);
    py::Ref entry_date = py::int64_scalar(price_index.at(entry_bar));
    py::Ref exit_date = open ? py::check(PyLong_FromLong(-1)) : py::int64_scalar(price_index.at(exit_bar));
    py::Ref entry_fill = execution_date(price_index, entry_bar + 1);
    py::Ref exit_fill = open ? py::check(PyLong_FromLong(-1))
                             : execution_date(price_index, touched_exit ? exit_bar : exit_bar + 1);
    py::Ref position = py::item_at(positions, i);
    py::Ref period;
    if (open) {
        py::Ref bars = py::check(PyLong_FromSsize_t(price_index.is_none() ? 0 : price_index.extent(0)));
        period = py::check(PyNumber_Subtract(bars.get(), entry.get()));
    } else {
        period = py::check(PyNumber_Subtract(exit.get(), entry.get()));
    }
    PyObject* elements[] = {stock.get(), entry_date.get(), exit_date.get(), entry_fill.get(), exit_fill.get(),
                            position.get(), period.get(), entry.get(), exit.get()};
    py::Ref row = py::check(PyList_New(9));
    for (Py_ssize_t k = 0; k < 9; ++k) PyList_SET_ITEM(row.get(), k, Py_NewRef(elements[k]));
    return row;
}

}  // namespace

const char kGetStockOperationsDoc[] =
    "get_stock_operations()\n--\n\n"
    "Return a shallow copy of the last run's stock operations: a dict with\n"
    "'actions' ({sid: 'enter'|'exit'|'hold'|'tp'|'sl'|'tp_enter'|'sl_enter'|'tp_'|'sl_'}),\n"
    "'weights' (normalised weights of the last rebalance), 'next_weights' (normalised\n"
    "weights of the newest position row), 'weight_time' and 'next_weight_time' (their\n"
    "row numbers in pos_index).  The inner dicts are shared with the module.\n"
    "Empty before the first run.";

PyObject* get_stock_operations(PyObject*, PyObject*) {
    static const py::TraceSite site{"mirelo.core.tradesim.get_stock_operations", kFile};
    return py::guarded(site, static_cast<PyObject*>(nullptr),
                       [] { return py::check(PyDict_Copy(g_state.stock_operations.get())).release(); });
}

const char kGetTradeStocksDoc[] =
    "get_trade_stocks(pos_columns, price_index, touched_exit)\n--\n\n"
    "Return (trades, stock_operations) for the last run.  Each trade is a list of\n"
    "nine elements: stock name, entry signal date, exit signal date, entry execution\n"
    "date, exit execution date, position (signed weight), holding period in bars,\n"
    "entry bar, exit bar.  Dates are elements of `price_index`; the execution date\n"
    "is the bar after the signal (the exit bar itself when `touched_exit`).  A trade\n"
    "still open has -1 as exit dates and exit bar; an execution date past the last\n"
    "bar is -1.  `stock_operations` is the module's own dict (not a copy).";

PyObject* get_trade_stocks(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const py::TraceSite site{"mirelo.core.tradesim.get_trade_stocks", kFile};
    static py::ArgParser parser{"get_trade_stocks", {"pos_columns", "price_index", "touched_exit"}, 3};
    static GlobalName excursion_module{"excursion"};
    return py::guarded(site, static_cast<PyObject*>(nullptr), [&] {
        PyObject* a[3];
        parser.parse(args, static_cast<size_t>(nargs), kwnames, a);
        py::check_arg_type(a[0], py::ndarray_type(), "pos_columns", true, false);
        py::check_arg_type(a[1], py::ndarray_type(), "price_index", true, false);
        Names pos_columns = Names::acquire(a[0]);
        Dates price_index = Dates::acquire(a[1]);
        const bool touched_exit = py::truth(a[2]);

        py::Ref result = py::check(PyList_New(0));
        py::Ref trades = g_state.globals.attr(excursion_module, "trades");
        py::Ref positions = g_state.globals.attr(excursion_module, "trade_positions");
        py::Ref it = py::check(PyObject_GetIter(trades.get()));
        for (Py_ssize_t i = 0;; ++i) {
            py::Ref trade = py::Ref::steal(PyIter_Next(it.get()));
            if (!trade) break;
            py::Ref row = trade_row(trade.get(), positions.get(), i, pos_columns, price_index, touched_exit);
            py::check_status(PyList_Append(result.get(), row.get()));
        }
        py::check_no_error();
        return py::check(PyTuple_Pack(2, result.get(), g_state.stock_operations.get())).release();
    });
}

}  // namespace mirelo::tradesim
