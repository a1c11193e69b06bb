#include "engine/rules.h"

#include "messages.h"
#include "pyutil/args.h"

#include <cmath>
#include <string>

namespace mirelo::engine {

py::Ref rule_defaults(PyObject* numpy_inf) {
    return py::check(Py_BuildValue("(dddOOdOdOOiiO)", 0.001425, 0.003, 1.0, numpy_inf, numpy_inf, 0.0, Py_False,
                                   1.0, Py_False, Py_True, 0, 1, Py_True));
}

RuleValues convert_rules(PyObject* const* given, PyObject* defaults) {
    PyObject* a[kRuleCount];
    for (std::size_t i = 0; i < kRuleCount; ++i) {
        a[i] = given[i] != nullptr ? given[i] : PyTuple_GET_ITEM(defaults, static_cast<Py_ssize_t>(i));
    }
    RuleValues v;
    core::Rules& r = v.rules;
    r.fee_ratio = py::to_double(a[0]);
    r.tax_ratio = py::to_double(a[1]);
    r.exits.stop_loss = py::to_double(a[2]);
    r.exits.take_profit = py::to_double(a[3]);
    r.exits.trail_stop = py::to_double(a[4]);
    r.exits.trail_stop_activation = py::to_double(a[5]);
    r.touched_exit = py::truth(a[6]);
    r.position_limit = py::to_double(a[7]);
    // A negative limit would turn the position cap into a forced position of
    // the opposite sign for every stock; NaN would silently remove the cap.
    if (r.position_limit < rule_named("position_limit").minimum) py::raise(PyExc_ValueError, msg::kNegativeLimit);
    if (std::isnan(r.position_limit)) py::raise(PyExc_ValueError, msg::kNaNLimit);
    r.retain_cost_when_rebalance = py::truth(a[8]);
    v.stop_trading_next_period = a[9];
    v.excursion_window = py::to_int32(a[10]);
    v.excursion_window_step = py::to_int32(a[11]);
    v.periodically_rebalance = py::truth(a[12]);
    return v;
}

namespace {

// The converted value of every number and integer rule, in table order (the
// others are never read).
std::array<double, kRuleCount> numeric_values(const RuleValues& v) {
    const core::Rules& r = v.rules;
    const double none = 0.0;
    return {r.fee_ratio,     r.tax_ratio,       r.exits.stop_loss,
            r.exits.take_profit, r.exits.trail_stop, r.exits.trail_stop_activation,
            none,            r.position_limit,  none,
            none,            static_cast<double>(v.excursion_window), static_cast<double>(v.excursion_window_step),
            none};
}

// "a number, not NaN" or ">= 1"; the value as repr() writes it.
[[noreturn]] void raise_out_of_range(const RuleSpec& spec, double value) {
    const std::string range = std::isinf(spec.minimum)
                                  ? "a number, not NaN"
                                  : ">= " + std::to_string(static_cast<long long>(spec.minimum));
    std::string got;
    if (spec.kind == RuleKind::Integer) {
        got = std::to_string(static_cast<long long>(value));
    } else {
        char* text = PyOS_double_to_string(value, 'r', 0, Py_DTSF_ADD_DOT_0, nullptr);
        if (text == nullptr) py::throw_pending();
        got = text;
        PyMem_Free(text);
    }
    py::raise_format(PyExc_ValueError, msg::kRuleOutOfRange, spec.name, range.c_str(), got.c_str());
}

}  // namespace

void check_rule_ranges(const RuleValues& values) {
    const std::array<double, kRuleCount> numbers = numeric_values(values);
    for (std::size_t i = 0; i < kRuleCount; ++i) {
        const RuleSpec& spec = kRules[i];
        if (spec.kind != RuleKind::Number && spec.kind != RuleKind::Integer) continue;
        if (!(numbers[i] >= spec.minimum)) raise_out_of_range(spec, numbers[i]);  // NaN is below every range
    }
}

const char kRulesDoc[] =
    "Rules:\n"
    "  fee_ratio      commission on traded value\n"
    "  tax_ratio      tax charged in addition on trades that reduce a position\n"
    "  stop_loss, take_profit, trail_stop, trail_stop_activation\n"
    "                 exit distances on the price-relative-to-entry scale (absolute\n"
    "                 values are used); the trailing stop arms once the best price\n"
    "                 reached 1 + trail_stop_activation (long)\n"
    "  touched_exit   True: exits fill within the bar at the level touched by high/low\n"
    "                 (at the open when the bar gaps through a level); False: the close\n"
    "                 decides and the exit fills on the next bar's trading price\n"
    "  position_limit largest position as a fraction of the balance (not negative, not NaN)\n"
    "  retain_cost_when_rebalance   keep the exit reference of positions that a\n"
    "                 rebalance only resizes\n"
    "  stop_trading_next_period     stocks stopped out since the last rebalance get\n"
    "                 weight 0 at the next one (tested for truth)\n"
    "  excursion_window, excursion_window_step   bars sampled in each trade's\n"
    "                 excursion profile\n"
    "  periodically_rebalance       a resize at a rebalance is recorded as a new trade\n";

}  // namespace mirelo::engine
