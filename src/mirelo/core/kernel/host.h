// The host of the bar loop: the extension module that runs it.  The loop
// knows nothing of Python; every call it makes of its host is listed here,
// with its contract.  A call that fails throws (a Python error already set,
// or one of the kernel's errors), and the run ends with it.
#pragma once

#include "kernel/bar_totals.h"
#include "kernel/exit_rules.h"
#include "kernel/holdings_book.h"
#include "kernel/holdings_record.h"
#include "kernel/view.h"
#include "kernel/weight_scan.h"

#include <concepts>
#include <vector>

namespace mirelo::core {

template <typename H>
concept BarLoopHost = requires(H& host, typename H::WeightRow& row, const Position& position,
                               const Holdings& holdings, const std::vector<Exit>& stopped,
                               const SparseRow& nonzero, int bar, int sid, int is_final, ExitReason reason,
                               double price, double balance, double value, double change, double cost,
                               const std::vector<double>& values, Index index) {
    // ---- trade records ----
    // Bar `bar` starts; called once per bar from the first position date on,
    // before anything else happens on it.
    host.record_date(bar);
    // A trade of `position` starts on the current bar; its entry fields
    // (bar, weight, whether it opens from flat, the money it enters at) are
    // set.
    host.record_entry(position);
    // The trade of `position` ends on the current bar at `value` (the money
    // the position exits at, before what a resize took out of the trade);
    // is_final 0: a resize splits it and a new trade follows at once;
    // `reason` says why.
    host.record_exit(position, is_final, reason, value);
    // After the last bar, with the positions still open (value 0 included)
    // and what each is worth at the last bar's close, in the same order.
    host.end_analysis(holdings, values);

    // ---- what the run held and traded ----
    // Where every bar's holdings and cash go, once its trades are done; null
    // when the run records none (asked once, when the loop starts).
    { host.holdings_recorder() } -> std::convertible_to<HoldingsRecorder*>;
    // Where every bar's totals go (sized for the bars; the loop writes every
    // bar); null when the host keeps none (asked once, when the loop starts).
    { host.bar_totals() } -> std::convertible_to<BarTotals*>;
    // A fill on the current bar: the position of `sid` changed by `change`
    // (money at the fill price: positive bought), paying `cost` in fee and
    // tax; called where the cash changes, in that order.
    host.record_fill(sid, change, cost);

    // ---- what the caller decides ----
    // Whether a resize at a rebalance ends the trade and starts a new one.
    { host.split_trade_on_resize() } -> std::convertible_to<bool>;
    // Whether stocks stopped out since the last rebalance sit out the next.
    { host.stop_trading() } -> std::convertible_to<bool>;
    // Serves a request to stop (throws to end the run); called every so many
    // bars and at every rebalance.
    host.poll();
    // Position row `index`, with the `stopped` stocks set to 0 when they sit
    // the period out; kept by the loop until the rebalance is done.
    { host.weight_row(index, stopped) } -> std::same_as<typename H::WeightRow>;
    // The row's weights, one per sid, and the sids to read as 0.
    { host.weights_of(row) } -> std::convertible_to<WeightRowView>;
    // balance / max(abs(row).sum(), 1) in NumPy's order of additions, 1.0
    // when NaN; `nonzero` holds the row's non-zero weights.
    { host.weight_scale(row, nonzero, balance) } -> std::same_as<double>;

    // ---- failures that name a stock (they throw) ----
    // A held stock's trading price `price` on bar `index` is 0, negative or
    // infinite.
    host.invalid_trade_price(price, sid, index);
    // A rebalance gives a weight to a stock without price column.
    host.weight_without_prices(sid);
    // Position row `index` holds a NaN weight for `sid` (its lowest).
    host.nan_weight(sid, index);

    // ---- where failures are reported ----
    // Runs a rebalance / one stock's move and returns its result; a failure
    // inside is reported as that operation's.
    { host.in_rebalance([] { return 0.0; }) } -> std::same_as<double>;
    { host.in_set_position([] { return 0.0; }) } -> std::same_as<double>;
};

// Whether the runs of host H may pay a borrow fee (Rules::borrow_rate): all
// but those of a host that declares `static constexpr bool kNoBorrowFee`,
// whose loop then has no walk that pays one.
template <typename H>
concept HostMayBorrow = !requires { H::kNoBorrowFee; };

}  // namespace mirelo::core
