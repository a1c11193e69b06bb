// The trading rules of a backtest: one parameter table for the keywords that
// backtest_ and Market.run both take, in this order, with the same defaults.
#pragma once

#include "kernel/simulation.h"
#include "pyutil/error.h"

#include <array>
#include <cstddef>

namespace mirelo::engine {

// Names in parameter order (backtest_ parameters 12 to 24).
inline constexpr std::array<const char*, 13> kRuleNames = {
    "fee_ratio",          "tax_ratio",         "stop_loss",
    "take_profit",        "trail_stop",        "trail_stop_activation",
    "touched_exit",       "position_limit",    "retain_cost_when_rebalance",
    "stop_trading_next_period", "excursion_window", "excursion_window_step",
    "periodically_rebalance",
};
inline constexpr std::size_t kRuleCount = kRuleNames.size();

// The rules after conversion; the four distances as given (a run makes them
// absolute).
struct RuleValues {
    core::Rules rules;
    PyObject* stop_trading_next_period = nullptr;  // borrowed; tested for truth where used
    int excursion_window = 0;
    int excursion_window_step = 1;
    bool periodically_rebalance = true;
};

// The defaults, in parameter order: 0.001425, 0.003, 1.0, inf, inf, 0.0,
// False, 1.0, False, True, 0, 1, True (the infinities are NumPy's `inf`).
py::Ref rule_defaults(PyObject* numpy_inf);

// Converts the thirteen values `given` (null: take the default), in
// parameter order: floats as float() converts them, the flags by truth,
// stop_trading_next_period kept as an object, the window and its step as
// 32-bit ints.  A negative or NaN position_limit is refused as it is
// converted.  `defaults` is the tuple made by rule_defaults.
RuleValues convert_rules(PyObject* const* given, PyObject* defaults);

// What the rules mean, for the docstrings of the functions that take them.
extern const char kRulesDoc[];

}  // namespace mirelo::engine
