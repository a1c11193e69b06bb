// set_position and rebalance.
#include "tradesim/holdings.h"

#include "pyutil/args.h"
#include "pyutil/numpy_api.h"
#include "tradesim/state.h"

#include <climits>
#include <cmath>

namespace mirelo::tradesim {
namespace {

constexpr const char kFile[] = "mirelo/core/tradesim/holdings.cpp";

// target_value / weight_base as Python's float division: a zero base raises
// the interpreter's ZeroDivisionError.
double entry_weight(double target_value, double weight_base) {
    if (weight_base == 0.0) {
        py::Ref t = py::check(PyFloat_FromDouble(target_value));
        py::Ref b = py::check(PyFloat_FromDouble(weight_base));
        py::check(PyNumber_TrueDivide(t.get(), b.get()));
        py::raise(PyExc_ZeroDivisionError, "float division by zero");
    }
    return target_value / weight_base;
}

void record_entry(int sid, double weight, int is_new) {
    g_state.excursion.record_entry(sid, weight, is_new);
    py::check_no_error();
}

void record_exit(int sid, int is_final) {
    g_state.excursion.record_exit(sid, is_final);
    py::check_no_error();
}

// A position resized at a rebalance counts as a new trade only when the run
// rebalances periodically and does not retain the entry cost.
bool split_trade_on_resize() {
    static GlobalName retain{"RETAIN_COST_WHEN_REBALANCE"};
    static GlobalName resample{"RESAMPLE"};
    return !py::truth(global(retain)) && py::truth(global(resample));
}

// 1. held / has_pos / new_pos; 2. excursion records; 3. money.
double move_position(Holdings& holdings, int sid, double target_value, double cash, double fee_ratio,
                     double tax_ratio, bool check_held, bool erase_if_flat, double weight_base) {
    const bool held = !check_held || holdings.count(sid) != 0;
    auto found = holdings.find(sid);
    const bool has_pos = found != holdings.end() && found->second != 0;  // NaN counts as a position
    const bool new_pos = target_value != 0;

    if (has_pos && !new_pos) {
        record_exit(sid, 1);
    } else if (has_pos && new_pos) {
        if (split_trade_on_resize()) {
            record_exit(sid, 0);
            record_entry(sid, entry_weight(target_value, weight_base), 0);
        }
    } else if (new_pos) {
        record_entry(sid, entry_weight(target_value, weight_base), 1);
    }

    const double exit_ratio = fee_ratio + tax_ratio;
    if (new_pos) {
        auto slot = holdings.try_emplace(sid, 0.0).first;
        double& holding = slot->second;
        const double delta = target_value - holding;
        const bool buying = delta > 0;
        const bool adding = (target_value >= 0 && delta > 0) || (target_value <= 0 && delta < 0);
        const double cost = std::fabs(delta) * (adding ? fee_ratio : exit_ratio);
        if (buying) {
            cash -= delta;
            holding += delta - cost;  // a purchase's cost comes out of the position
        } else {
            cash += -delta - cost;
            holding += delta;
        }
        if (erase_if_flat && holding == 0) holdings.erase(slot);
    } else if (held) {
        auto slot = holdings.try_emplace(sid, 0.0).first;
        const double value = slot->second;
        cash += value - std::fabs(value) * exit_ratio;
        if (erase_if_flat) {
            holdings.erase(slot);
        } else {
            slot->second = 0.0;
        }
    }
    return cash;
}

// sum(|new_weights|) by NumPy itself, whose summation order decides the last
// bits; `balance / max(sum, 1)`, and 1.0 when that is NaN.
double weight_scale(PyObject* new_weights, double balance) {
    py::Ref abs = numpy_attr("abs");
    py::Ref magnitudes = py::check(PyObject_CallOneArg(abs.get(), new_weights));
    py::Ref sum = py::check(PyObject_CallMethod(magnitudes.get(), "sum", nullptr));
    py::Ref one = py::check(PyLong_FromLong(1));
    PyObject* larger = py::check_status(PyObject_RichCompareBool(one.get(), sum.get(), Py_GT)) ? one.get()
                                                                                              : sum.get();
    py::Ref b = py::check(PyFloat_FromDouble(balance));
    py::Ref scale = py::check(PyNumber_TrueDivide(b.get(), larger));
    const double value = py::to_double(scale.get());
    return std::isnan(value) ? 1.0 : value;
}

[[noreturn]] void raise_weight_without_prices(const Names& pos_columns, int sid) {
    PyObject* name = pos_columns.at(sid);
    PyErr_Format(PyExc_ValueError, "Stock %S has a non-zero weight but no trading prices",
                 name != nullptr ? name : Py_None);
    py::throw_pending();
}

// A NaN weight would make the scale 1.0 and size every other stock against 1.0
// instead of the balance: the lowest NaN column fails the rebalance instead.
void refuse_nan_weight(const RebalanceContext& ctx, const Series& weights, Py_ssize_t pos_row) {
    for (Py_ssize_t i = 0; i < weights.extent(0); ++i) {
        if (!std::isnan(weights(i))) continue;
        PyObject* name = ctx.pos_columns.at(i);
        PyErr_Format(PyExc_ValueError, "Stock %S has a NaN weight in position row %zd",
                     name != nullptr ? name : Py_None, pos_row);
        py::throw_pending();
    }
}

// 0. no NaN weight; 1. balance = cash + holdings; 2. scale; 3. cap from the balance; 4. every
// column in order: target = weight x scale, capped, then set_position.
double rebalance_columns(const RebalanceContext& ctx, Holdings& holdings, PyObject* new_weights,
                         double cash, double fee_ratio, double tax_ratio, double position_limit,
                         Py_ssize_t pos_row) {
    double invested = 0.0;
    for (const auto& [sid, value] : holdings) invested += value;
    const double balance = cash + invested;

    py::check_arg_type(new_weights, py::ndarray_type(), "new_weights", true, false);
    Series weights = Series::acquire(new_weights);
    refuse_nan_weight(ctx, weights, pos_row);
    const double scale = weight_scale(new_weights, balance);
    const double cap = balance * position_limit;
    // A ruined portfolio (negative balance) opens and resizes nothing.
    const bool ruined = balance < 0;

    // Most columns are neither weighted nor held: with a finite scale their
    // target is 0 and nothing happens, so they are passed over without the
    // holdings walk.  `next_key` is the first held sid not yet visited.
    const bool zero_weight_is_no_target = ruined || std::isfinite(scale);
    auto next_held = holdings.begin();
    auto key_of = [&](Holdings::iterator it) { return it == holdings.end() ? PY_SSIZE_T_MAX : it->first; };
    Py_ssize_t next_key = key_of(next_held);
    for (Py_ssize_t i = 0; i < weights.extent(0); ++i) {
        if (i < next_key && zero_weight_is_no_target && (ruined || weights(i) == 0)) continue;
        double value = 0.0;
        if (!ruined) {
            value = weights(i) * scale;
            if (std::fabs(value) > cap) value = cap * (value > 0 ? 1 : -1);
        }
        if (i > INT_MAX) py::raise(PyExc_OverflowError, "Python int too large to convert to C int");
        const int sid = static_cast<int>(i);

        while (next_held != holdings.end() && next_held->first < sid) ++next_held;
        next_key = key_of(next_held);
        const bool held = next_key == sid;
        if (value == 0 && !held) continue;  // nothing to open and nothing to close
        if (value != 0 && ctx.col_map.find(sid) == ctx.col_map.end()) {
            raise_weight_without_prices(ctx.pos_columns, sid);
        }
        cash = checked_cash(set_position(holdings, sid, value, cash, fee_ratio, tax_ratio, true, true, balance));
        next_held = holdings.upper_bound(sid);
        next_key = key_of(next_held);
    }
    return cash;
}

}  // namespace

double set_position(Holdings& holdings, int sid, double target_value, double cash, double fee_ratio,
                    double tax_ratio, bool check_held, bool erase_if_flat, double weight_base) noexcept {
    static const py::TraceSite site{"mirelo.core.tradesim.set_position", kFile};
    return py::guarded(site, -1.0, [&] {
        return move_position(holdings, sid, target_value, cash, fee_ratio, tax_ratio, check_held,
                             erase_if_flat, weight_base);
    });
}

double rebalance(const RebalanceContext& ctx, Holdings& holdings, PyObject* new_weights, double cash,
                 double fee_ratio, double tax_ratio, double position_limit, Py_ssize_t pos_row) noexcept {
    static const py::TraceSite site{"mirelo.core.tradesim.rebalance", kFile};
    return py::guarded(site, -1.0, [&] {
        return rebalance_columns(ctx, holdings, new_weights, cash, fee_ratio, tax_ratio, position_limit,
                                 pos_row);
    });
}

}  // namespace mirelo::tradesim
