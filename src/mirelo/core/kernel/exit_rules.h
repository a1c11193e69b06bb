// Exit levels of a position on the scale of its price relative to the entry
// (cum_return): a fixed stop, a fixed take-profit and a trailing stop armed
// once the position has moved far enough in its favour.
#pragma once

#include "kernel/exit_reasons.h"

#include <cmath>

namespace mirelo::core {

// The four distances, made absolute by the run setup.
struct ExitRules {
    double stop_loss;
    double take_profit;
    double trail_stop;
    double trail_stop_activation;
};

// An exit decided by the exit rules: the stock, why, and the direction of
// the position it closes.
struct Exit {
    int sid;
    ExitReason reason;
    bool is_long;
};

// Whether an exit's label is "tp" (else "sl").  Within the bar the label
// follows the reason.  On the close it names the level crossed, whatever the
// direction: the upper level ("tp") is a long's take-profit but a short's
// stop, the lower one ("sl") a long's stop but a short's take-profit.
inline bool labelled_tp(const Exit& exit, bool touched) {
    const bool take_profit = exit.reason == ExitReason::TakeProfit;
    return touched || exit.is_long ? take_profit : !take_profit;
}

struct ExitLevels {
    double upper;
    double lower;
    bool trailing = false;  // the stop level is the armed trailing stop
};

// Whether a trailing stop can ever set a level: an infinite distance never
// does (max - inf and min + inf are infinite or NaN, never past a level).
inline bool trailing_possible(const ExitRules& r) { return !std::isinf(r.trail_stop); }

// A stop level, and whether the armed trailing stop set it.
struct StopLevel {
    double level;
    bool trailing;
};

// Long: the higher of the fixed stop and the armed trailing stop, which
// follows the running maximum.  NaN extremes never arm the trailing stop.
inline StopLevel long_stop(double max_return, const ExitRules& r) {
    StopLevel stop{1 - r.stop_loss, false};
    const bool armed = max_return >= 1 + r.trail_stop_activation;
    if (armed && max_return - r.trail_stop > stop.level) stop = {max_return - r.trail_stop, true};
    return stop;
}

// Short: the lower of the fixed stop and the armed trailing stop, which
// follows the running minimum.
inline StopLevel short_stop(double min_return, const ExitRules& r) {
    StopLevel stop{1 + r.stop_loss, false};
    const bool armed = min_return <= 1 - r.trail_stop_activation;
    if (armed && min_return + r.trail_stop < stop.level) stop = {min_return + r.trail_stop, true};
    return stop;
}

// Long: upper = take-profit, lower = its stop.  Short (entry value 0
// included): upper = its stop, lower = take-profit.
inline ExitLevels levels_of(bool is_long, const StopLevel& long_level, const StopLevel& short_level,
                            const ExitRules& r) {
    if (is_long) return {1 + r.take_profit, long_level.level, long_level.trailing};
    return {short_level.level, 1 - r.take_profit, short_level.trailing};
}

inline ExitLevels exit_levels(bool is_long, double max_return, double min_return, const ExitRules& r) {
    return is_long ? levels_of(true, long_stop(max_return, r), {}, r) : levels_of(false, {}, short_stop(min_return, r), r);
}

// Where a bar took the position in touched mode, on the cum_return scale.
struct BarPath {
    double high, low, open;
};

// The reason of an exit: the profit side is the take-profit; the stop side
// is the trailing stop when that set the stop level, else the fixed stop.
inline ExitReason exit_reason(bool profit_side, const ExitLevels& lv) {
    if (profit_side) return ExitReason::TakeProfit;
    return lv.trailing ? ExitReason::TrailStop : ExitReason::StopLoss;
}

// The touched-mode decision: the exit value (at the open when the bar opened
// beyond a level, else at the upper level, else at the lower one) and the
// reason (a stop when a long touched its lower level or a short its upper).
struct TouchedExit {
    bool triggered = false;
    double exit_value = 0.0;
    ExitReason reason = ExitReason::StopLoss;
};

// Whether the bar touched a level or opened beyond one (inclusive tests).
inline bool touches(const BarPath& path, const ExitLevels& lv) {
    return path.low <= lv.lower || path.high >= lv.upper || path.open >= lv.upper || path.open <= lv.lower;
}

inline TouchedExit touched_exit(const BarPath& path, const ExitLevels& lv, double entry_value) {
    TouchedExit t;
    const bool touched_lower = path.low <= lv.lower;
    const bool touched_upper = path.high >= lv.upper;
    const bool opened_beyond = path.open >= lv.upper || path.open <= lv.lower;
    if (!(touched_lower || touched_upper || opened_beyond)) return t;
    t.triggered = true;
    if (opened_beyond) t.exit_value = entry_value * path.open;
    else if (touched_upper) t.exit_value = entry_value * lv.upper;
    else t.exit_value = entry_value * lv.lower;
    const bool stop_side = (touched_lower && t.exit_value > 0) || (touched_upper && t.exit_value < 0);
    t.reason = exit_reason(!stop_side, lv);
    return t;
}

// Close mode: +1 (upper level reached, inclusive), -1 (below the lower level,
// strictly), 0 (no exit).
inline int close_exit(double close_level, const ExitLevels& lv) {
    if (close_level >= lv.upper) return 1;
    if (close_level < lv.lower) return -1;
    return 0;
}

}  // namespace mirelo::core
