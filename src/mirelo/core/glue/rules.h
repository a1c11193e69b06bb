// The trading rules of a backtest, each declared once in kRules: its name,
// default, the values Market.run accepts, a one-line description, which entry
// points take it, and the field its converted value goes to (which gives its
// kind).  The argument parsers, the defaults, the conversion, the range checks,
// the docstrings' rule lines, the signature texts and mirelo.core.batch.RULES
// are all made from this table.
#pragma once

#include "glue/messages.h"
#include "kernel/simulation.h"
#include "pyutil/error.h"

#include <array>
#include <cstddef>
#include <limits>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <vector>

namespace mirelo::glue {

// The rules after conversion, every field set by convert_rules from kRules;
// the four distances as given (a run makes them absolute).
struct RuleValues {
    core::Rules rules;
    PyObject* stop_trading_next_period = nullptr;  // borrowed; tested for truth where used
    int excursion_window{};
    int excursion_window_step{};
    bool periodically_rebalance{};
};

// What a rule's value is converted to; the type of its field decides.
enum class RuleKind {
    Number,   // double: float() of the value
    Integer,  // int: a 32-bit int
    Flag,     // bool: the truth of the value, taken at conversion
    Object,   // PyObject*: kept, tested for truth where it is used
};

// The functions that take rules: backtest_ (whose parameters are fixed) and
// Market.run, under which mirelo.backtest and mirelo.sweep run.
enum class EntryPoint { Backtest, MarketRun };

// Which entry points take a rule.
enum class RuleScope {
    Everywhere,     // backtest_ and Market.run, in backtest_'s parameter order
    MarketRunOnly,  // Market.run; backtest_ runs with the default
};

// The values Market.run accepts for a number or integer rule: at least
// `minimum`, never NaN (-inf: any number but NaN), and with `finite` not
// infinite either.  A rule with messages of its own (`below`, `nan`) is
// checked as it is converted, by backtest_ too.
struct RuleRange {
    double minimum = -std::numeric_limits<double>::infinity();
    const char* below = nullptr;
    const char* nan = nullptr;
    bool finite = false;
};

struct RuleDef {
    const char* name;
    RuleKind kind;
    double fallback;  // the default (flags and objects: 0 or 1)
    RuleRange range;
    RuleScope scope;
    const char* doc;  // one line
    void (*store)(RuleValues&, PyObject*);  // converts a value into the rule's field
    void (*store_default)(RuleValues&);     // puts the default there
    double (*number)(const RuleValues&);    // the field of a number or integer rule
};

namespace rule_field {

// object.*first.*rest...
template <auto First, auto... Rest, typename T>
constexpr auto& at(T& object) {
    if constexpr (sizeof...(Rest) == 0) {
        return object.*First;
    } else {
        return at<Rest...>(object.*First);
    }
}

template <auto... Path>
using Type = std::remove_cvref_t<decltype(at<Path...>(std::declval<RuleValues&>()))>;

template <typename T>
consteval RuleKind kind_of() {
    if constexpr (std::is_same_v<T, double>) return RuleKind::Number;
    else if constexpr (std::is_same_v<T, int>) return RuleKind::Integer;
    else if constexpr (std::is_same_v<T, bool>) return RuleKind::Flag;
    else {
        static_assert(std::is_same_v<T, PyObject*>, "a rule's field is a double, int, bool or PyObject*");
        return RuleKind::Object;
    }
}

// Defined in rules.cpp for the four field types.
void convert(double& field, PyObject* value);
void convert(int& field, PyObject* value);
void convert(bool& field, PyObject* value);
void convert(PyObject*& field, PyObject* value);
void set_default(double& field, double fallback);
void set_default(int& field, double fallback);
void set_default(bool& field, double fallback);
void set_default(PyObject*& field, double fallback);

template <auto... Path>
void store(RuleValues& v, PyObject* value) {
    convert(at<Path...>(v), value);
}

template <double Fallback, auto... Path>
void store_default(RuleValues& v) {
    set_default(at<Path...>(v), Fallback);
}

template <auto... Path>
double number(const RuleValues& v) {
    if constexpr (std::is_arithmetic_v<Type<Path...>>) {
        return static_cast<double>(at<Path...>(v));
    } else {
        return 0.0;  // never asked: not a number
    }
}

}  // namespace rule_field

// A rule whose converted value goes to the field at `Path` (member pointers
// from RuleValues down), with default `Fallback`.
template <double Fallback, auto... Path>
consteval RuleDef rule(const char* name, RuleRange range, RuleScope scope, const char* doc) {
    return {name,
            rule_field::kind_of<rule_field::Type<Path...>>(),
            Fallback,
            range,
            scope,
            doc,
            &rule_field::store<Path...>,
            &rule_field::store_default<Fallback, Path...>,
            &rule_field::number<Path...>};
}

namespace rule_paths {
using V = RuleValues;
using R = core::Rules;
using X = core::ExitRules;
inline constexpr double kInf = std::numeric_limits<double>::infinity();
inline constexpr RuleRange kAnyNumber{};
inline constexpr RuleRange kFiniteRate{0.0, nullptr, nullptr, true};
}  // namespace rule_paths

// In backtest_'s parameter order (its parameters 12 to 24); a rule that
// backtest_ does not take may stand anywhere.  The costs may be negative (a
// rebate); the four exit distances lose their sign in the run.
//
// A new rule is one entry here, its field in core::Rules (or RuleValues) the
// last member pointer, e.g. a cost that only Market.run takes:
//   rule<0.0, &V::rules, &R::some_rate>("some_rate", {0.0}, RuleScope::MarketRunOnly, "...")
inline constexpr std::array kRules = [] {
    using namespace rule_paths;
    constexpr RuleScope all = RuleScope::Everywhere;
    return std::array{
        rule<0.001425, &V::rules, &R::fee_ratio>(
            "fee_ratio", kAnyNumber, all, "commission on the traded value of every fill"),
        rule<0.003, &V::rules, &R::tax_ratio>(
            "tax_ratio", kAnyNumber, all, "tax charged in addition on trades that reduce a position"),
        rule<1.0, &V::rules, &R::exits, &X::stop_loss>(
            "stop_loss", kAnyNumber, all, "stop distance from the entry, on the price relative to the entry"),
        rule<kInf, &V::rules, &R::exits, &X::take_profit>(
            "take_profit", kAnyNumber, all, "take-profit distance from the entry, on the same scale"),
        rule<kInf, &V::rules, &R::exits, &X::trail_stop>(
            "trail_stop", kAnyNumber, all, "trailing-stop distance from the best price since the entry"),
        rule<0.0, &V::rules, &R::exits, &X::trail_stop_activation>(
            "trail_stop_activation", kAnyNumber, all, "gain from the entry that arms the trailing stop"),
        rule<0.0, &V::rules, &R::touched_exit>(
            "touched_exit", {}, all,
            "exits fill within the bar at the level touched, not on the next bar"),
        rule<1.0, &V::rules, &R::position_limit>(
            "position_limit", {0.0, msg::kNegativeLimit, msg::kNaNLimit}, all,
            "largest position, as a fraction of the balance"),
        rule<0.0, &V::rules, &R::retain_cost_when_rebalance>(
            "retain_cost_when_rebalance", {}, all,
            "a rebalance that only resizes a position keeps its exit reference"),
        rule<1.0, &V::stop_trading_next_period>(
            "stop_trading_next_period", {}, all,
            "stocks stopped out since the last rebalance sit out the next one"),
        rule<0.0, &V::excursion_window>(
            "excursion_window", {0.0}, all, "bars after each entry sampled in the trade's excursion profile"),
        rule<1.0, &V::excursion_window_step>(
            "excursion_window_step", {1.0}, all, "bars between two samples of the excursion profile"),
        rule<1.0, &V::periodically_rebalance>(
            "periodically_rebalance", {}, all, "a resize at a rebalance is recorded as a new trade"),
        rule<0.0, &V::rules, &R::borrow_rate>(
            "borrow_rate", kFiniteRate, RuleScope::MarketRunOnly,
            "yearly fee on the value of the short positions, accrued by calendar day"),
    };
}();
inline constexpr std::size_t kRuleCount = kRules.size();

// Whether `entry` takes `def`.
constexpr bool takes(EntryPoint entry, const RuleDef& def) {
    return entry == EntryPoint::MarketRun || def.scope == RuleScope::Everywhere;
}

// How many rules `entry` takes.
constexpr std::size_t rule_count(EntryPoint entry) {
    std::size_t n = 0;
    for (const RuleDef& def : kRules) n += takes(entry, def) ? 1 : 0;
    return n;
}

// Whether the rule checks its values (numbers and integers do).
constexpr bool has_range(const RuleDef& def) {
    return def.kind == RuleKind::Number || def.kind == RuleKind::Integer;
}

// The names of the rules `entry` takes, in table order: its parameters.
std::vector<const char*> rule_names(EntryPoint entry);

// The defaults of the rules `entry` takes, in table order, as a tuple: floats
// (the infinities are `numpy_inf`, NumPy's `inf`), ints and bools.
py::Ref rule_defaults(EntryPoint entry, PyObject* numpy_inf);

// Converts the values `given` (one per rule `entry` takes, in table order;
// null: take the default from `defaults`, the tuple made by rule_defaults)
// in table order: floats as float() converts them, ints as 32-bit ints,
// flags by truth, objects kept.  A rule with messages of its own is refused
// with them as it is converted; a rule `entry` does not take gets its
// default.  Failures are reported at the caller's line.
RuleValues convert_rules(EntryPoint entry, PyObject* const* given, PyObject* defaults,
                         std::source_location caller = std::source_location::current());

// Market.run's check of the converted rules against their ranges: the first
// number or integer outside its range raises ValueError "<rule> must be
// <range> (got <value>)", at the caller's line.
void check_rule_ranges(const RuleValues& values, std::source_location caller = std::source_location::current());

// The range as the messages and docs write it: "a number, not NaN", ">= 1";
// empty for flags and objects.
std::string range_text(const RuleDef& def);

}  // namespace mirelo::glue
