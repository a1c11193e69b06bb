// backtest_: argument conversion and run setup; the bar loop follows.
#include "tradesim/backtest.h"

#include "glue/columns.h"
#include "glue/messages.h"
#include "pyutil/messages.h"
#include "pyutil/numpy_api.h"
#include "tradesim/run.h"
#include "tradesim/state.h"

#include <climits>
#include <cmath>

namespace mirelo::tradesim {
namespace {

constexpr const char kFile[] = "mirelo/core/tradesim/backtest.cpp";

// The eleven arrays, the rules backtest_ takes (the table's order), delisting_bars.
enum Param {
    kPriceValues, kCloseValues, kHighValues, kLowValues, kOpenValues, kPriceIndex,
    kPriceColumns, kPosValues, kPosIndex, kPosColumns, kResample,
    kRequired
};
constexpr Py_ssize_t kDelistingBars = kRequired + glue::rule_count(glue::EntryPoint::Backtest);
constexpr Py_ssize_t kParamCount = kDelistingBars + 1;

// "<name> must be in ascending order" when a later date is smaller than an
// earlier one; equal neighbours are allowed.
void require_ascending(const Dates& dates, const char* name) {
    if (core::first_step_back(dates.view()) >= 0) py::raise_format(PyExc_ValueError, msg::kNotAscending, name);
}

// 1. Scalars in parameter order; 2. the ndarray type check of the eleven
// arrays; 3. their buffers.  Nothing of the module changes before this is done.
void convert_arguments(PyObject** a, RunArgs& r) {
    r.rules = glue::convert_rules(glue::EntryPoint::Backtest, a + kRequired, g_state.backtest_defaults.get());
    if (a[kDelistingBars] != nullptr && a[kDelistingBars] != Py_None) {
        r.delisting_bars = Dates::acquire(a[kDelistingBars]);
    }

    const py::ArgParser& parser = backtest_arg_parser();
    for (Py_ssize_t i = 0; i < kRequired; ++i) {
        py::check_arg_type(a[i], py::ndarray_type(), parser.name(i), /*none_allowed=*/true,
                           /*exact=*/false);
    }
    r.price_values_obj = a[kPriceValues];
    r.close_values_obj = a[kCloseValues];
    r.pos_values_obj = a[kPosValues];
    r.price_columns_obj = a[kPriceColumns];
    r.pos_columns_obj = a[kPosColumns];
    r.price_values = Matrix::acquire(a[kPriceValues]);
    r.close_values = Matrix::acquire(a[kCloseValues]);
    r.high_values = Matrix::acquire(a[kHighValues]);
    r.low_values = Matrix::acquire(a[kLowValues]);
    r.open_values = Matrix::acquire(a[kOpenValues]);
    r.price_index = Dates::acquire(a[kPriceIndex]);
    r.price_columns = Names::acquire(a[kPriceColumns]);
    r.pos_values = Matrix::acquire(a[kPosValues]);
    r.pos_index = Dates::acquire(a[kPosIndex]);
    r.pos_columns = Names::acquire(a[kPosColumns]);
    r.resample = Dates::acquire(a[kResample]);

    // A calendar that steps back would be simulated backwards without a word.
    require_ascending(r.price_index, "price_index");
    require_ascending(r.pos_index, "pos_index");
}

// len() of a 1-D array argument; None has no length.
Py_ssize_t length_of(const auto& view) {
    if (view.is_none()) py::raise(PyExc_TypeError, msg::kNoneHasNoLen);
    return view.extent(0);
}

// A NumPy call that must give a 1-D float64 array, taken for writing.
Series writable_series(py::Ref& holder, py::Ref result) {
    if (!PyObject_TypeCheck(result.get(), py::ndarray_type())) {
        py::raise_format(PyExc_TypeError, msg::kCannotConvert, Py_TYPE(result.get())->tp_name,
                     py::ndarray_type()->tp_name);
    }
    holder = std::move(result);
    return Series::acquire(holder.get(), py::Access::Writable);
}

py::Ref numpy_ones(Py_ssize_t size) {
    py::Ref ones = numpy_attr("ones");
    py::Ref n = py::check(PyLong_FromSsize_t(size));
    return py::check(PyObject_CallOneArg(ones.get(), n.get()));
}

py::Ref numpy_empty_float64(Py_ssize_t size) {
    py::Ref empty = numpy_attr("empty");
    py::Ref float64 = numpy_attr("float64");
    py::Ref n = py::check(PyLong_FromSsize_t(size));
    py::Ref posargs = py::check(PyTuple_Pack(1, n.get()));
    py::Ref kwargs = py::check(Py_BuildValue("{sO}", "dtype", float64.get()));
    return py::check(PyObject_Call(empty.get(), posargs.get(), kwargs.get()));
}

void set_flag_global(const char* name, bool value) { g_state.globals.set(name, value ? Py_True : Py_False); }

void setup_run(RunArgs& args, RunSetup& s) {
    set_flag_global("RETAIN_COST_WHEN_REBALANCE", args.rules.rules.retain_cost_when_rebalance);
    set_flag_global("RESAMPLE", args.rules.periodically_rebalance);
    s.col_map = glue::map_columns(args.price_columns_obj, args.pos_columns_obj);

    s.values = writable_series(s.value_path, numpy_empty_float64(length_of(args.price_index)));
    const Py_ssize_t stocks = glue::first_row_size(args.pos_values);
    TrackingArrays& t = s.tracking;
    t.cum_return = writable_series(t.cum_return_obj, numpy_ones(stocks));
    t.max_return = writable_series(t.max_return_obj, numpy_ones(stocks));
    t.min_return = writable_series(t.min_return_obj, numpy_ones(stocks));
    t.prev_prices = writable_series(t.prev_prices_obj, numpy_ones(glue::first_row_size(args.price_values)));

    s.use_delisting = !args.delisting_bars.is_none() && core::any_delisting(args.delisting_bars.view());
    core::ExitRules& exits = args.rules.rules.exits;
    exits.stop_loss = std::fabs(exits.stop_loss);
    exits.take_profit = std::fabs(exits.take_profit);
    exits.trail_stop = std::fabs(exits.trail_stop);
    exits.trail_stop_activation = std::fabs(exits.trail_stop_activation);
    if (args.resample.is_none()) py::raise(PyExc_TypeError, msg::kNoneNotIterable);
    s.rebalance_flags = core::rebalance_flags(args.price_index.view(), args.resample.view());

    const Py_ssize_t stock_count = length_of(args.pos_columns);
    if (stock_count > INT_MAX) py::raise(PyExc_OverflowError, msg::kIntOverflow);
    g_state.excursion.start_analysis(reinterpret_cast<PyArrayObject*>(args.price_values_obj),
                                     reinterpret_cast<PyArrayObject*>(args.close_values_obj), s.col_map,
                                     static_cast<int>(stock_count), args.rules.rules.fee_ratio,
                                     args.rules.rules.tax_ratio, args.rules.excursion_window,
                                     args.rules.excursion_window_step);
    py::check_no_error();
}

// One run at a time in the process: the module state (globals, ledger, the
// excursion lists) belongs to the run in progress.  Another thread whose call
// gets the interpreter lock while the run waits in NumPy, or user code called
// by the run, would otherwise interleave with it.  Released on every way out.
class RunGuard {
public:
    RunGuard() {
        if (g_state.run_in_progress) py::raise(PyExc_RuntimeError, msg::kRunInProgress);
        g_state.run_in_progress = true;
    }
    ~RunGuard() { g_state.run_in_progress = false; }
    RunGuard(const RunGuard&) = delete;
    RunGuard& operator=(const RunGuard&) = delete;
};

// The eleven arrays, the rules, delisting_bars.
std::vector<const char*> backtest_parameter_names() {
    std::vector<const char*> names = {"price_values", "close_values", "high_values", "low_values",
                                      "open_values",  "price_index",  "price_columns", "pos_values",
                                      "pos_index",    "pos_columns",  "resample"};
    const std::vector<const char*> rules = glue::rule_names(glue::EntryPoint::Backtest);
    names.insert(names.end(), rules.begin(), rules.end());
    names.push_back("delisting_bars");
    return names;
}

}  // namespace

py::ArgParser& backtest_arg_parser() {
    static py::ArgParser parser{"backtest_", backtest_parameter_names(), kRequired};
    return parser;
}

void set_backtest_defaults(PyObject* defaults) { g_state.backtest_defaults = py::Ref::borrow(defaults); }

PyObject* run_backtest(PyObject* const* args, size_t nargsf, PyObject* kwnames) {
    static const py::TraceSite site{"mirelo.core.tradesim.backtest_", kFile};
    return py::guarded(site, static_cast<PyObject*>(nullptr), [&] {
        const RunGuard guard;
        PyObject* a[kParamCount];
        backtest_arg_parser().parse(args, nargsf, kwnames, a);
        RunArgs run;
        convert_arguments(a, run);
        RunSetup setup;
        setup_run(run, setup);
        // The loop's failures are reported at this line (their own lines are in other files).
        py::at_caller_line(std::source_location::current(), [&] { run_bar_loop(run, setup); });
        return setup.value_path.release();
    });
}

}  // namespace mirelo::tradesim
