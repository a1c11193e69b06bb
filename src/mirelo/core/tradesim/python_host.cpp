// The host of backtest_'s bar loop: what the kernel asks of a run is answered
// here as the module's Python-level rules say.  Trade events go to
// mirelo.core.excursion through its export table; the module globals
// RETAIN_COST_WHEN_REBALANCE and RESAMPLE are read at every resize; the
// weight rows are taken and summed through the caller's NumPy; the truth of
// stop_trading_next_period is asked wherever the rules use it; Ctrl-C is
// served at the kernel's polls; the failures that name a stock are raised
// with the module's traceback entries.
#include "glue/operations.h"
#include "glue/stock_errors.h"
#include "glue/messages.h"
#include "pyutil/messages.h"
#include "kernel/simulation.h"
#include "pyutil/args.h"
#include "pyutil/indexing.h"
#include "pyutil/numpy_api.h"
#include "tradesim/run.h"
#include "tradesim/state.h"

#include <algorithm>
#include <cmath>

namespace mirelo::tradesim {
namespace {

constexpr const char kFile[] = "mirelo/core/tradesim/python_host.cpp";

// A weight row as the caller's NumPy gives it, and its buffer once the
// rebalance has taken it.
struct PyWeightRow {
    py::Ref object;
    Series view;
};

class PythonHost {
public:
    using WeightRow = PyWeightRow;

    explicit PythonHost(RunArgs& args) : a_(args) {}

    // ---- trade records ----
    void record_date(int bar) const {
        g_state.excursion.record_date(bar);
        py::check_no_error();
    }
    // The excursion module keeps no money values of a trade.
    void record_entry(const core::Position& position) const {
        g_state.excursion.record_entry(position.sid, position.entry_weight, position.entry_is_new);
        py::check_no_error();
    }
    void record_exit(const core::Position& position, int is_final, core::ExitReason, double /*exit_value*/) const {
        g_state.excursion.record_exit(position.sid, is_final);
        py::check_no_error();
    }
    void end_analysis(const core::Holdings& holdings, const std::vector<double>& /*values*/) const {
        std::map<int, double> open = holdings.to_map();
        PyObject* closed = g_state.excursion.end_analysis(open);
        if (closed == nullptr) py::throw_pending();
        Py_DECREF(closed);
    }

    // ---- decisions of the caller ----
    // A position resized at a rebalance counts as a new trade only when the
    // run rebalances periodically and does not retain the entry cost, as the
    // module globals say at the time.
    bool split_trade_on_resize() const {
        static GlobalName retain{"RETAIN_COST_WHEN_REBALANCE"};
        static GlobalName resample{"RESAMPLE"};
        return !py::truth(g_state.globals.get(retain).get()) && py::truth(g_state.globals.get(resample).get());
    }
    bool stop_trading() const { return py::truth(a_.rules.stop_trading_next_period); }
    // backtest_ records no holdings and keeps no bar totals.
    static constexpr core::HoldingsRecorder* holdings_recorder() { return nullptr; }
    static constexpr core::BarTotals* bar_totals() { return nullptr; }
    // backtest_ takes no borrow rate: its loop needs no walk that pays one.
    static constexpr bool kNoBorrowFee = true;
    static void record_fill(int, double, double) {}
    // Runs the Python signal handlers; a KeyboardInterrupt (or any exception
    // a handler raises) fails the run like any other error.
    void poll() const { py::check_status(PyErr_CheckSignals()); }

    // pos_values[pos_row], with the stocks stopped out since the last
    // rebalance set to 0 when they sit out the next period.
    PyWeightRow weight_row(core::Index pos_row, const std::vector<core::Exit>& stopped) const {
        py::Ref row = py::item_at(a_.pos_values_obj, pos_row);
        if (!stop_trading() || stopped.empty()) return {std::move(row), {}};
        py::Ref copy = py::check(PyObject_CallMethod(row.get(), "copy", nullptr));
        py::Ref zero = py::check(PyLong_FromLong(0));
        for (const core::Exit& exit : stopped) {
            py::Ref sid = py::check(PyLong_FromLong(exit.sid));
            py::check_status(PyObject_SetItem(copy.get(), sid.get(), zero.get()));
        }
        return {std::move(copy), {}};
    }
    // The row as a 1-D float64 array (None passes the type check and fails
    // when it is summed).
    core::WeightRowView weights_of(PyWeightRow& row) const {
        py::check_arg_type(row.object.get(), py::ndarray_type(), "new_weights", true, false);
        row.view = Series::acquire(row.object.get());
        return {row.view.view(), {}};
    }
    // balance / max(org_np.abs(w).sum(), 1) by NumPy itself, whose summation
    // order decides the last bits, and 1.0 when that is NaN.
    double weight_scale(const PyWeightRow& row, const core::SparseRow&, double balance) const {
        py::Ref abs = numpy_attr("abs");
        py::Ref magnitudes = py::check(PyObject_CallOneArg(abs.get(), row.object.get()));
        py::Ref sum = py::check(PyObject_CallMethod(magnitudes.get(), "sum", nullptr));
        py::Ref one = py::check(PyLong_FromLong(1));
        PyObject* larger =
            py::check_status(PyObject_RichCompareBool(one.get(), sum.get(), Py_GT)) ? one.get() : sum.get();
        py::Ref b = py::check(PyFloat_FromDouble(balance));
        py::Ref scale = py::check(PyNumber_TrueDivide(b.get(), larger));
        const double value = py::to_double(scale.get());
        return std::isnan(value) ? 1.0 : value;
    }

    // ---- failures that name a stock ----
    [[noreturn]] void invalid_trade_price(double price, int sid, core::Index row) const {
        glue::raise_invalid_trade_price(price, a_.pos_columns.at(sid), static_cast<int>(row),
                                        std::source_location::current());
    }
    [[noreturn]] void weight_without_prices(int sid) const {
        glue::raise_naming_stock(msg::kWeightWithoutPrices, a_.pos_columns.at(sid));
    }
    [[noreturn]] void nan_weight(int sid, core::Index pos_row) const {
        glue::raise_naming_stock(msg::kNaNWeight, a_.pos_columns.at(sid), static_cast<Py_ssize_t>(pos_row));
    }

    // The traceback entries of the two operations that change holdings.
    template <typename F>
    auto in_rebalance(F&& body) const {
        static const py::TraceSite site{"mirelo.core.tradesim.rebalance", kFile};
        return py::traced(site, std::forward<F>(body));
    }
    template <typename F>
    auto in_set_position(F&& body) const {
        static const py::TraceSite site{"mirelo.core.tradesim.set_position", kFile};
        return py::traced(site, std::forward<F>(body));
    }

private:
    RunArgs& a_;
};

// How far the run setup's tracking arrays reach (see LoopInputs).
core::Index tracked_stocks(const TrackingArrays& t) {
    return std::min({t.cum_return.extent(0), t.max_return.extent(0), t.min_return.extent(0)});
}

}  // namespace

void run_bar_loop(RunArgs& args, RunSetup& setup) {
    const core::PriceData prices{args.price_values.view(), args.close_values.view(), args.high_values.view(),
                                 args.low_values.view(),   args.open_values.view(),  args.price_index.view()};
    const core::Targets targets{args.pos_values.view(), args.pos_index.view(), args.delisting_bars.view()};
    core::LoopInputs loop{setup.columns, setup.values.view(), setup.use_delisting, std::move(setup.flagged_bars),
                          tracked_stocks(setup.tracking), setup.tracking.prev_prices.extent(0)};
    PythonHost host(args);
    const core::LoopState state = core::run_bar_loop(host, prices, targets, args.rules.rules, loop);

    // The module's operations are replaced before they are filled: a failure
    // while filling leaves the partial dict of this run.
    py::Ref ops = glue::new_stock_operations();
    g_state.stock_operations = py::Ref::borrow(ops.get());
    const glue::OperationsInput input{args.pos_values.view(), args.pos_index.view(), args.rules.rules.position_limit,
                                        args.rules.rules.touched_exit, args.rules.stop_trading_next_period};
    glue::fill_stock_operations(ops.get(), input, state);
}

}  // namespace mirelo::tradesim
