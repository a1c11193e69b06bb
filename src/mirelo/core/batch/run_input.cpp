#include "batch/run_input.h"

#include "batch/state.h"
#include "glue/operations.h"
#include "glue/stock_errors.h"
#include "kernel/excursion_profile.h"
#include "kernel/exit_reasons.h"
#include "glue/messages.h"
#include "pyutil/messages.h"
#include "pyutil/args.h"
#include "pyutil/numpy_api.h"

#include <algorithm>
#include <climits>
#include <cstring>
#include <utility>

namespace mirelo::batch {
namespace {

enum { kPosValues, kPosIndex, kPosColumns, kResample };
constexpr const char* kArrayNames[] = {"pos_values", "pos_index", "pos_columns", "resample"};

// The market's delisting bar of every sid (-1 for a sid without prices).
std::vector<std::int64_t> delisting_of_sids(const MarketData& market, const std::vector<int>& columns,
                                            Py_ssize_t stock_count) {
    std::vector<std::int64_t> bars;
    if (market.delisting.empty()) return bars;
    bars.assign(static_cast<std::size_t>(stock_count), -1);
    for (std::size_t sid = 0; sid < columns.size() && static_cast<Py_ssize_t>(sid) < stock_count; ++sid) {
        if (columns[sid] >= 0) bars[sid] = market.delisting[static_cast<std::size_t>(columns[sid])];
    }
    return bars;
}

// The price column of every position column.  When the market's names are
// distinct exact str objects and the position columns, an exact ndarray,
// hold those very objects in the same places, each maps to its own place
// (the same object has the same text); otherwise the names are looked up.
std::vector<int> columns_of(const MarketData& market, PyObject* pos_columns, const Names& names) {
    const auto& same = market.name_objects;
    const Py_ssize_t n = names.extent(0);
    bool identical = Py_TYPE(pos_columns) == py::ndarray_type() && n <= static_cast<Py_ssize_t>(same.size());
    for (Py_ssize_t i = 0; identical && i < n; ++i) identical = names(i) == same[static_cast<std::size_t>(i)].get();
    if (!identical) return glue::map_names(market.names, names);
    std::vector<int> columns(static_cast<std::size_t>(n));
    for (Py_ssize_t i = 0; i < n; ++i) columns[static_cast<std::size_t>(i)] = static_cast<int>(i);
    return columns;
}

template <typename T>
void store(char* record, Py_ssize_t offset, T value) {
    std::memcpy(record + offset, &value, sizeof value);
}

// A record of the trades' dtype for each reason: zeros but for the reason's
// code units (the unused ones stay 0).
std::vector<std::vector<char>> blank_records() {
    const ModuleState& s = state();
    std::vector<std::vector<char>> blanks(core::kExitReasonCount);
    for (const core::ExitReasonName& reason : core::kExitReasons) {
        std::vector<char>& record = blanks[static_cast<std::size_t>(reason.reason)];
        record.assign(static_cast<std::size_t>(s.trade_itemsize), 0);
        for (std::size_t k = 0; k < reason.name.size(); ++k) {
            store<std::uint32_t>(record.data(), s.reason_offset + 4 * static_cast<Py_ssize_t>(k),
                                 static_cast<unsigned char>(reason.name[k]));
        }
    }
    return blanks;
}

// The records of the trades' dtype, each starting as its reason's blank
// record (no Python: the module state's layout is plain numbers).
std::unique_ptr<char[]> trade_records(const std::deque<core::NativeTrade>& trades) {
    static const std::vector<std::vector<char>> blanks = blank_records();
    const ModuleState& s = state();
    const std::size_t itemsize = static_cast<std::size_t>(s.trade_itemsize);
    std::unique_ptr<char[]> records(new char[std::max<std::size_t>(trades.size(), 1) * itemsize]);
    char* record = records.get();
    for (const core::NativeTrade& t : trades) {
        std::memcpy(record, blanks[static_cast<std::size_t>(t.reason)].data(), itemsize);
        store<std::int32_t>(record, s.sid_offset, t.sid);
        store<std::int32_t>(record, s.entry_offset, t.entry_bar);
        store<std::int32_t>(record, s.exit_offset, t.exit_bar);
        store<double>(record, s.position_offset, t.position);
        store<double>(record, s.entry_value_offset, t.entry_value);
        store<double>(record, s.exit_value_offset, t.exit_value);
        record += itemsize;
    }
    return records;
}

// trades x profile length, over the run's own profile storage; a run without
// trades has the length its window gives (0 when the window cannot give one).
py::Ref profiles_array(core::NativeRunOutput& out, const core::NativeRunInput& in) {
    const Py_ssize_t n = static_cast<Py_ssize_t>(out.trades.size());
    if (n > 0) {
        return py::adopt_float64_matrix(n, static_cast<Py_ssize_t>(out.profile_length), out.profiles.release().release());
    }
    std::int64_t length = 0;
    try {
        length = core::profile_length(in.excursion_window, in.excursion_window_step);
    } catch (const core::Error&) {
        length = 0;
    }
    if (length < 0) length = 0;
    double* data = nullptr;
    return py::new_float64_matrix(0, static_cast<Py_ssize_t>(length), &data);
}

template <typename T>
py::Ref adopt(core::RecordColumn<T>& column) {
    auto [data, size] = column.release();
    return py::adopt_array(std::move(data), size);
}

// The arrays of the bar totals and, when recorded, of the holdings record,
// in the order of kHoldingsFieldNames (None where not recorded); they take
// over the run's memory.
std::vector<py::Ref> holdings_arrays(core::NativeRunOutput& out, bool recorded) {
    core::HoldingsRecord& h = out.holdings;
    auto recorded_column = [recorded](auto& column) { return recorded ? adopt(column) : py::Ref::borrow(Py_None); };
    std::vector<py::Ref> arrays;
    arrays.push_back(recorded_column(h.offsets));
    arrays.push_back(recorded_column(h.sid));
    arrays.push_back(recorded_column(h.value));
    arrays.push_back(recorded_column(h.cash));
    arrays.push_back(adopt(out.totals.traded));
    arrays.push_back(adopt(out.totals.costs));
    arrays.push_back(recorded_column(h.fill_offsets));
    arrays.push_back(recorded_column(h.fill_sid));
    arrays.push_back(recorded_column(h.fill_value));
    arrays.push_back(adopt(out.totals.holdings_count));
    return arrays;
}

}  // namespace

void prepare_run(RunInput& run, const MarketData& market, PyObject* const* args, PyObject* rule_defaults) {
    // 1. The rules, in parameter order, and their ranges; 2. the ndarray type check of the four
    // arrays; 3. their buffers; 4. the run setup's checks, in backtest_'s order.
    const glue::RuleValues rules = glue::convert_rules(glue::EntryPoint::MarketRun, args + 4, rule_defaults);
    glue::check_rule_ranges(rules);
    run.stop_trading_next_period = py::truth(rules.stop_trading_next_period);
    for (int i = kPosValues; i <= kResample; ++i) {
        py::check_arg_type(args[i], py::ndarray_type(), kArrayNames[i], /*none_allowed=*/true, /*exact=*/false);
        run.objects[i] = py::Ref::borrow(args[i] != nullptr ? args[i] : Py_None);
    }
    run.pos_values = Matrix::acquire(args[kPosValues]);
    run.pos_index = Dates::acquire(args[kPosIndex]);
    run.pos_columns = Names::acquire(args[kPosColumns]);
    run.resample = Dates::acquire(args[kResample]);
    if (core::first_step_back(run.pos_index.view()) >= 0) {
        py::raise_format(PyExc_ValueError, msg::kNotAscending, "pos_index");
    }

    core::NativeRunInput& in = run.native;
    in.columns = columns_of(market, run.objects[kPosColumns].get(), run.pos_columns);
    double* values = nullptr;
    run.value_path = py::new_float64_vector(market.price_index.extent(0), &values);
    in.values = core::Vec<double>::contiguous(values, market.price_index.extent(0));
    glue::first_row_size(run.pos_values);
    glue::first_row_size(market.price);
    if (run.resample.is_none()) py::raise(PyExc_TypeError, msg::kNoneNotIterable);
    if (run.pos_columns.is_none()) py::raise(PyExc_TypeError, msg::kNoneHasNoLen);
    const Py_ssize_t stock_count = run.pos_columns.extent(0);
    if (stock_count > INT_MAX) py::raise(PyExc_OverflowError, msg::kIntOverflow);

    run.delisting = delisting_of_sids(market, in.columns, stock_count);
    in.prices = market.prices();
    in.targets = {run.pos_values.view(), run.pos_index.view(),
                  core::Vec<std::int64_t>::contiguous(run.delisting.data(), static_cast<core::Index>(run.delisting.size()))};
    in.resample = run.resample.view();
    in.stock_count = stock_count;
    in.rules = rules.rules;
    in.stop_trading_next_period = run.stop_trading_next_period;
    in.periodically_rebalance = rules.periodically_rebalance;
    in.excursion_window = rules.excursion_window;
    in.excursion_window_step = rules.excursion_window_step;
    PyObject* record = args[kRunParamCount - 1];  // record_holdings
    in.record_holdings = record != nullptr && py::truth(record);
}

RunOutput execute(RunInput& run) {
    RunOutput out{core::run_native(run.native), nullptr};
    out.trade_records = trade_records(out.native.trades);
    return out;
}

py::Ref make_result(RunInput& run, RunOutput& output) {
    core::NativeRunOutput& out = output.native;
    // The structured array of the trades, over the records it takes over.
    py::Ref trades = py::adopt_array(state().trade_dtype.get(), static_cast<Py_ssize_t>(out.trades.size()),
                                     std::move(output.trade_records));
    py::Ref profiles = profiles_array(out, run.native);
    py::Ref operations = glue::new_stock_operations();
    const glue::OperationsInput input{run.pos_values.view(), run.pos_index.view(), run.native.rules.position_limit,
                                        run.native.rules.touched_exit, run.stop_trading_next_period ? Py_True : Py_False};
    glue::fill_stock_operations(operations.get(), input, out.state);
    const std::vector<py::Ref> arrays = holdings_arrays(out, run.native.record_holdings);
    PyObject* holdings[kHoldingsFields];
    for (std::size_t k = 0; k < kHoldingsFields; ++k) holdings[k] = arrays[k].get();
    return new_run_result(run.value_path.get(), trades.get(), profiles.get(), operations.get(), holdings);
}

void raise_run_failure(const RunInput& run, std::exception_ptr failure) {
    try {
        std::rethrow_exception(failure);
    } catch (const core::InvalidTradePrice& e) {
        glue::raise_invalid_trade_price(e.price, run.pos_columns.at(static_cast<Py_ssize_t>(e.sid)),
                                            static_cast<int>(e.row), std::source_location::current());
    } catch (const core::WeightWithoutPrices& e) {
        glue::raise_naming_stock(msg::kWeightWithoutPrices, run.pos_columns.at(e.sid));
    } catch (const core::NaNWeight& e) {
        glue::raise_naming_stock(msg::kNaNWeight, run.pos_columns.at(e.sid), static_cast<Py_ssize_t>(e.pos_row));
    }
}

}  // namespace mirelo::batch
