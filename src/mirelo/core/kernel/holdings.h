// Moving one stock to a target value: fee and tax, and the trade records.
//
// The money arithmetic is plain double arithmetic in the order written here;
// the host of a run records the trades and decides what depends on the
// caller's objects (whether a resize splits a trade, the messages that name a
// stock).  A rebalance moves every stock it visits with move_to_target; exit
// rules and delistings close one position with close_position.
#pragma once

#include "kernel/errors.h"
#include "kernel/exit_rules.h"
#include "kernel/holdings_book.h"
#include "kernel/messages.h"
#include "kernel/view.h"

#include <algorithm>
#include <cmath>
#include <span>
#include <vector>

namespace mirelo::core {

// The entry weight reported for a position: target_value / weight_base, with
// Python's error for a zero base.
inline double entry_weight(double target_value, double weight_base) {
    if (weight_base == 0.0) throw Error{ErrorKind::ZeroDivisionError, msg::kFloatDivisionByZero};
    return target_value / weight_base;
}

// The money a bar's fills moved so far: the gross change of position (at
// the fill price, fees excluded) and the fees and tax, each added fill by
// fill in the order of the fills.
struct BarFills {
    double traded = 0.0;
    double costs = 0.0;
    void add(double change, double cost) {
        traded += std::fabs(change);
        costs += cost;
    }
};

// The money of one change of a position from `before` to `target`, as
// set_position books it: the trade's cost, the cash it moves, and what the
// position is worth across the change, for the trade records.
struct PositionChange {
    double cost;         // fee, and tax on a reduction
    double cash_change;  // cash brought in (negative: paid)
    // The old position's value after the costs of the part that reduced it:
    // what an ending trade exits at.  The new position stands on `carried`
    // less the cash brought in: what a starting trade enters at.
    double carried;
    double entered() const { return carried - cash_change; }
};

// 1. An exit (target 0) sells or covers at fee plus tax; it carries exactly
//    the cash it brings in.
// 2. Otherwise the cost is |delta| x fee when the change adds exposure,
//    x (fee + tax) when it reduces it; a purchase pays it out of the
//    position, a sale out of cash.
// 3. The part of |delta| that reduces the old position (all of a reduction,
//    the old position of a reversal, none of an addition) bears its share of
//    the cost; the rest stays with the new position.  So an entry (before 0)
//    enters at the cash it paid, or for a short at minus the cash it received.
inline PositionChange position_change(double before, double target, double fee_ratio, double tax_ratio) {
    if (target == 0) {
        const double cost = std::fabs(before) * (fee_ratio + tax_ratio);
        const double cash_change = before - cost;
        return {cost, cash_change, cash_change};
    }
    const double delta = target - before;
    const bool adding = (target >= 0 && delta > 0) || (target <= 0 && delta < 0);
    const double size = std::fabs(delta);
    const double cost = size * (adding ? fee_ratio : fee_ratio + tax_ratio);
    const double cash_change = delta > 0 ? -delta : -delta - cost;
    const bool opposed = (before > 0 && delta < 0) || (before < 0 && delta > 0);
    const double reducing = opposed ? std::min(size, std::fabs(before)) : 0.0;
    const double carried = reducing == 0 ? before : before - cost * (reducing / size);
    return {cost, cash_change, carried};
}

// A trade of `position` starts on `bar`, entering at `entry_value`; the host
// hears of it.
template <typename Host>
void start_trade(Host& host, Position& position, double weight, int is_new, int bar, double entry_value) {
    position.entry_bar = bar;
    position.entry_weight = weight;
    position.entry_is_new = is_new;
    position.entry_value = entry_value;
    position.taken_out = 0.0;
    host.record_entry(position);
}

// A trade that goes on through a resize: cash put in on the trade's side
// (paid for a long, received for a short) adds to its entry value, cash
// taken out to its exit value.
inline void resize_trade(Position& position, double cash_change) {
    if (cash_change * position.entry_value < 0) position.entry_value -= cash_change;
    else position.taken_out += cash_change;
}

// Closes `position` outside a rebalance (an exit rule, a delisting): the
// sale credits its value less fee and tax; the host hears of the fill, and
// `fills` adds it.  The position stays, at value 0; the caller removes it
// when it may.  Returns the new cash.
template <typename Host>
double close_position(Host& host, Position& position, double cash, double fee_ratio, double tax_ratio,
                      ExitReason reason, BarFills& fills) {
    return host.in_set_position([&] {
        const PositionChange change = position_change(position.value, 0.0, fee_ratio, tax_ratio);
        if (position.value != 0) host.record_exit(position, 1, reason, change.carried);  // NaN counts as a position
        cash += change.cash_change;
        host.record_fill(position.sid, -position.value, change.cost);
        fills.add(-position.value, change.cost);
        position.value = 0.0;
        return cash;
    });
}

// Moves one stock to `target_value` within a rebalance, charging the fee on
// trades that add exposure and fee plus tax on trades that reduce it, and
// reports trade boundaries to the host with the money each trade exits and
// enters at, and the fill (the change of position and its cost), which
// `fills` adds.  `position`
// is the stock's position (`held`), or a new one at value 0.  Returns the new
// cash; the position remains held when `kept`.
// 1. has_pos / new_pos; 2. trade records; 3. money.
struct MoveResult {
    double cash;
    bool kept;
};

template <typename Host>
MoveResult move_to_target(Host& host, Position& position, bool held, double target_value, double cash,
                          double fee_ratio, double tax_ratio, double weight_base, int bar, BarFills& fills) {
    return host.in_set_position([&] {
        const bool has_pos = held && position.value != 0;  // NaN counts as a position
        const bool new_pos = target_value != 0;
        const PositionChange change = position_change(position.value, target_value, fee_ratio, tax_ratio);

        if (has_pos && !new_pos) {
            host.record_exit(position, 1, ExitReason::Rebalance, change.carried);
        } else if (has_pos && new_pos) {
            if (host.split_trade_on_resize()) {
                host.record_exit(position, 0, ExitReason::Rebalance, change.carried);
                start_trade(host, position, entry_weight(target_value, weight_base), 0, bar, change.entered());
            } else {
                resize_trade(position, change.cash_change);
            }
        } else if (new_pos) {
            start_trade(host, position, entry_weight(target_value, weight_base), 1, bar, change.entered());
        }

        if (!new_pos) {
            if (held) {
                cash += change.cash_change;
                host.record_fill(position.sid, -position.value, change.cost);
                fills.add(-position.value, change.cost);
            }
            return MoveResult{cash, false};
        }
        double& holding = position.value;  // 0 for a stock not held
        const double delta = target_value - holding;
        // A purchase's cost comes out of the position, a sale's out of the cash.
        const double fill = delta > 0 ? delta - change.cost : delta;
        cash += change.cash_change;
        holding += fill;
        host.record_fill(position.sid, fill, change.cost);
        fills.add(fill, change.cost);
        return MoveResult{cash, holding != 0};
    });
}

// The price column of every sid that has one (-1 elsewhere, and past the
// end of the table).
class ColumnTable {
public:
    ColumnTable() = default;
    explicit ColumnTable(std::span<const int> columns) : columns_(columns) {}
    bool has(int sid) const { return lookup(sid) >= 0; }
    // A sid without a price column reads column 0, as the column map's
    // subscript would (a rebalance never gives such a sid a position).
    int column_of(int sid) const {
        const int col = lookup(sid);
        return col >= 0 ? col : 0;
    }

private:
    int lookup(int sid) const {
        if (sid < 0 || static_cast<std::size_t>(sid) >= columns_.size()) return -1;
        return columns_[static_cast<std::size_t>(sid)];
    }
    std::span<const int> columns_;
};

}  // namespace mirelo::core
