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
#include "messages.h"

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

// A trade of `position` starts on `bar`; the host hears of it.
template <typename Host>
void start_trade(Host& host, Position& position, double weight, int is_new, int bar) {
    position.entry_bar = bar;
    position.entry_weight = weight;
    position.entry_is_new = is_new;
    host.record_entry(position);
}

// Closes `position` outside a rebalance (an exit rule, a delisting): the
// sale credits its value less fee and tax.  The position stays, at value 0;
// the caller removes it when it may.  Returns the new cash.
template <typename Host>
double close_position(Host& host, Position& position, double cash, double fee_ratio, double tax_ratio,
                      ExitReason reason) {
    return host.in_set_position([&] {
        if (position.value != 0) host.record_exit(position, 1, reason);  // NaN counts as a position
        const double value = position.value;
        cash += value - std::fabs(value) * (fee_ratio + tax_ratio);
        position.value = 0.0;
        return cash;
    });
}

// Moves one stock to `target_value` within a rebalance, charging the fee on
// trades that add exposure and fee plus tax on trades that reduce it.
// `position` is the stock's position (`held`), or a new one at value 0.
// Returns the new cash; the position remains held when `kept`.
// 1. has_pos / new_pos; 2. trade records; 3. money.
struct MoveResult {
    double cash;
    bool kept;
};

template <typename Host>
MoveResult move_to_target(Host& host, Position& position, bool held, double target_value, double cash,
                          double fee_ratio, double tax_ratio, double weight_base, int bar) {
    return host.in_set_position([&] {
        const bool has_pos = held && position.value != 0;  // NaN counts as a position
        const bool new_pos = target_value != 0;

        if (has_pos && !new_pos) {
            host.record_exit(position, 1, ExitReason::Rebalance);
        } else if (has_pos && new_pos) {
            if (host.split_trade_on_resize()) {
                host.record_exit(position, 0, ExitReason::Rebalance);
                start_trade(host, position, entry_weight(target_value, weight_base), 0, bar);
            }
        } else if (new_pos) {
            start_trade(host, position, entry_weight(target_value, weight_base), 1, bar);
        }

        const double exit_ratio = fee_ratio + tax_ratio;
        if (!new_pos) {
            if (held) cash += position.value - std::fabs(position.value) * exit_ratio;
            return MoveResult{cash, false};
        }
        double& holding = position.value;  // 0 for a stock not held
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
