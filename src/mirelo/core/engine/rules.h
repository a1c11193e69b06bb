// The trading rules of a backtest: one parameter table for the keywords that
// backtest_ and Market.run both take, in this order, with the same defaults.
#pragma once

#include "kernel/simulation.h"
#include "pyutil/error.h"

#include <array>
#include <cstddef>
#include <limits>
#include <string_view>

namespace mirelo::engine {

enum class RuleKind {
    Number,   // float() of the value
    Integer,  // a 32-bit int
    Flag,     // the truth of the value, taken at conversion
    Object,   // kept, tested for truth where it is used
};

// A rule and the values Market.run accepts for it: a number or integer at least
// `minimum`, never NaN (-inf: any number but NaN).  backtest_ converts without
// these checks, except the one on position_limit.
struct RuleSpec {
    const char* name;
    RuleKind kind;
    double minimum = -std::numeric_limits<double>::infinity();
};

// In parameter order (backtest_ parameters 12 to 24).  The costs may be
// negative (a rebate); the four exit distances lose their sign in the run.
inline constexpr std::array<RuleSpec, 13> kRules = {{
    {"fee_ratio", RuleKind::Number},
    {"tax_ratio", RuleKind::Number},
    {"stop_loss", RuleKind::Number},
    {"take_profit", RuleKind::Number},
    {"trail_stop", RuleKind::Number},
    {"trail_stop_activation", RuleKind::Number},
    {"touched_exit", RuleKind::Flag},
    {"position_limit", RuleKind::Number, 0.0},
    {"retain_cost_when_rebalance", RuleKind::Flag},
    {"stop_trading_next_period", RuleKind::Object},
    {"excursion_window", RuleKind::Integer, 0.0},
    {"excursion_window_step", RuleKind::Integer, 1.0},
    {"periodically_rebalance", RuleKind::Flag},
}};
inline constexpr std::size_t kRuleCount = kRules.size();

// The rule called `name` (a compile-time lookup).
consteval const RuleSpec& rule_named(std::string_view name) {
    for (const RuleSpec& spec : kRules) {
        if (name == spec.name) return spec;
    }
    throw "no such rule";
}

// The names alone, in parameter order, for the argument parsers.
inline constexpr std::array<const char*, kRuleCount> kRuleNames = [] {
    std::array<const char*, kRuleCount> names{};
    for (std::size_t i = 0; i < kRuleCount; ++i) names[i] = kRules[i].name;
    return names;
}();

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

// Market.run's check of the converted rules against kRules: the first number
// or integer outside its range raises ValueError "<rule> must be <range> (got
// <value>)".
void check_rule_ranges(const RuleValues& values);

// What the rules mean, for the docstrings of the functions that take them.
extern const char kRulesDoc[];

}  // namespace mirelo::engine
