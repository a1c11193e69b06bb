// The engine's own messages, raised by the modules that run backtests
// (tradesim and batch): bad prices and weights named by stock, rules out of
// range, calendars out of order, and the batch interface's argument checks.
// printf-style fields as in pyutil/messages.h.
#pragma once

namespace mirelo::msg {

// ---- a run ----
inline constexpr char kInvalidTradePrice[] =
    "Invalid trading price for %U at price row %d: %s. Expected a positive finite price; "
    "check the trading-price dataset.";
inline constexpr char kWeightWithoutPrices[] = "Stock %S has a non-zero weight but no trading prices";
inline constexpr char kNaNWeight[] = "Stock %S has a NaN weight in position row %zd";
inline constexpr char kNegativeLimit[] = "position_limit must not be negative";
inline constexpr char kNaNLimit[] = "position_limit must not be NaN";
inline constexpr char kNotAscending[] = "%s must be in ascending order";
inline constexpr char kRuleOutOfRange[] = "%s must be %s (got %s)";
inline constexpr char kRunInProgress[] =
    "backtest_ cannot start while another run is in progress in this process";

// ---- the batch interface ----
inline constexpr char kShapeMismatch[] = "%s has shape (%zd, %zd), price_values (%zd, %zd)";
inline constexpr char kDatesPerBar[] = "price_index has %zd dates for %zd bars";
inline constexpr char kNamesPerColumn[] = "price_columns has %zd names for %zd price columns";
inline constexpr char kNameNotStr[] = "price_columns[%zd] is %.200s, not str";
inline constexpr char kDelistingPerColumn[] = "delisting_bars has %zd entries for %zd price columns";
inline constexpr char kJobNotMapping[] = "job %zu is %.200s, not a mapping of run()'s arguments";
inline constexpr char kJobNote[] = "in job %zu of run_many";
inline constexpr char kThreadsAtLeastOne[] = "threads must be at least 1, not %ld";
inline constexpr char kErrorsArgument[] = "errors must be 'raise' or 'return', not %R";

}  // namespace mirelo::msg
