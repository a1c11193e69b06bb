// Holdings and rebalance: moving stocks to target values with fee and tax.
//
// The money arithmetic is plain double arithmetic in the order written here;
// the host of a run (the extension module that drives it) records the trades
// and decides what depends on the caller's objects: whether a resize splits a
// trade, the gross sum of a weight row, the messages that name a stock.
#pragma once

#include "kernel/errors.h"
#include "kernel/exit_rules.h"
#include "kernel/holdings_book.h"
#include "kernel/messages.h"
#include "kernel/view.h"

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstdint>
#include <map>
#include <vector>

namespace mirelo::core {


// The entry weight reported for a position: target_value / weight_base, with
// Python's error for a zero base.
inline double entry_weight(double target_value, double weight_base) {
    if (weight_base == 0.0) throw Error{ErrorKind::ZeroDivisionError, msg::kFloatDivisionByZero};
    return target_value / weight_base;
}

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

// Moves `sid` to `target_value`, charging the fee on trades that add exposure
// and fee plus tax on trades that reduce it, and reports trade boundaries to
// the host (`reason`: why a position that ends here ended) with the money
// each trade exits and enters at, and the fill (the change of position and
// its cost).  Returns the new cash.
// 1. held / has_pos / new_pos; 2. trade records; 3. money.
template <typename Host>
double set_position(Host& host, Holdings& holdings, int sid, double target_value, double cash, double fee_ratio,
                    double tax_ratio, bool check_held, bool erase_if_flat, double weight_base,
                    ExitReason reason) {
    return host.in_set_position([&] {
        auto slot = holdings.lower_bound(sid);
        const bool present = slot != holdings.end() && slot->first == sid;
        const bool held = !check_held || present;
        const bool has_pos = present && slot->second != 0;  // NaN counts as a position
        const bool new_pos = target_value != 0;
        const PositionChange change =
            position_change(present ? slot->second : 0.0, target_value, fee_ratio, tax_ratio);

        if (has_pos && !new_pos) {
            host.record_exit(sid, 1, reason, change.carried);
        } else if (has_pos && new_pos) {
            if (host.split_trade_on_resize()) {
                host.record_exit(sid, 0, ExitReason::Rebalance, change.carried);
                host.record_entry(sid, entry_weight(target_value, weight_base), 0, change.entered());
            } else {
                host.record_resize(sid, change.cash_change);
            }
        } else if (new_pos) {
            host.record_entry(sid, entry_weight(target_value, weight_base), 1, change.entered());
        }

        // The records above ran no code that changes the holdings: `slot` is
        // still where `sid` is or goes.  A missing entry is read as 0 and added.
        if (new_pos) {
            if (!present) slot = holdings.insert_at(slot, sid, 0.0);
            double& holding = slot->second;
            const double delta = target_value - holding;
            // A purchase's cost comes out of the position, a sale's out of the cash.
            const double fill = delta > 0 ? delta - change.cost : delta;
            cash += change.cash_change;
            holding += fill;
            host.record_fill(sid, fill, change.cost);
            if (erase_if_flat && holding == 0) holdings.erase(slot);
        } else if (held) {
            if (!present) slot = holdings.insert_at(slot, sid, 0.0);
            cash += change.cash_change;
            host.record_fill(sid, -slot->second, change.cost);
            if (erase_if_flat) {
                holdings.erase(slot);
            } else {
                slot->second = 0.0;
            }
        }
        return cash;
    });
}

// Closes one position outside a rebalance (an exit rule, a delisting).
template <typename Host>
double close_position(Host& host, Holdings& holdings, int sid, double cash, double fee_ratio, double tax_ratio,
                      bool erase_if_flat, ExitReason reason) {
    return set_position(host, holdings, sid, 0.0, cash, fee_ratio, tax_ratio, false, erase_if_flat, 1.0, reason);
}

// The price column of every sid that has one (-1 elsewhere), as a flat table.
class ColumnTable {
public:
    ColumnTable() = default;
    explicit ColumnTable(const std::map<int, int>& col_map) {
        for (const auto& [sid, col] : col_map) {
            if (sid < 0) continue;
            if (static_cast<std::size_t>(sid) >= columns_.size()) columns_.resize(static_cast<std::size_t>(sid) + 1, -1);
            columns_[static_cast<std::size_t>(sid)] = col;
        }
    }
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
    std::vector<int> columns_;
};

// A NaN weight would make the scale 1.0 and size every other stock against
// 1.0 instead of the balance: the lowest NaN column fails the rebalance.
template <typename Host>
void refuse_nan_weight(Host& host, const Vec<double>& weights, Index pos_row) {
    for (Index i = 0; i < weights.extent(0); ++i) {
        if (std::isnan(weights(i))) host.nan_weight(static_cast<int>(i), pos_row);
    }
}

// Turns a row of target weights (fractions of the balance) into target
// values and moves every column to its target.
// 0. no NaN weight; 1. balance = cash + holdings; 2. scale (the host sums the
// row); 3. cap from the balance; 4. every column in order: target = weight x
// scale, capped, then set_position.
template <typename Host, typename WeightRow>
double rebalance(Host& host, const ColumnTable& columns, Holdings& holdings, WeightRow& row, double cash,
                 double fee_ratio, double tax_ratio, double position_limit, Index pos_row) {
    return host.in_rebalance([&] {
        double invested = 0.0;
        for (const auto& [sid, value] : holdings) invested += value;
        const double balance = cash + invested;

        const Vec<double> weights = host.weights_of(row);
        refuse_nan_weight(host, weights, pos_row);
        const double scale = host.weight_scale(row, weights, balance);
        const double cap = balance * position_limit;
        // A ruined portfolio (negative balance) opens and resizes nothing.
        const bool ruined = balance < 0;

        // Most columns are neither weighted nor held: with a finite scale their
        // target is 0 and nothing happens, so they are passed over without the
        // holdings walk.  `next_key` is the first held sid not yet visited.
        const bool zero_weight_is_no_target = ruined || std::isfinite(scale);
        auto next_held = holdings.begin();
        auto key_of = [&](Holdings::iterator it) { return it == holdings.end() ? INT64_MAX : std::int64_t{it->first}; };
        std::int64_t next_key = key_of(next_held);
        const Index columns_in_row = weights.extent(0);
        for (Index i = 0; i < columns_in_row; ++i) {
            if (i < next_key && zero_weight_is_no_target) {
                // Up to the next held stock, only a weighted column trades.
                const Index stop = std::min<std::int64_t>(next_key, columns_in_row);
                if (ruined) {
                    i = stop - 1;
                    continue;
                }
                while (i < stop && weights(i) == 0) ++i;
                if (i == stop) {
                    --i;
                    continue;
                }
            }
            double value = 0.0;
            if (!ruined) {
                value = weights(i) * scale;
                if (std::fabs(value) > cap) value = cap * (value > 0 ? 1 : -1);
            }
            if (i > INT_MAX) throw Error{ErrorKind::OverflowError, msg::kCIntOverflow};
            const int sid = static_cast<int>(i);

            while (next_held != holdings.end() && next_held->first < sid) ++next_held;
            next_key = key_of(next_held);
            const bool held = next_key == sid;
            if (value == 0 && !held) continue;  // nothing to open and nothing to close
            if (value != 0 && !columns.has(sid)) host.weight_without_prices(sid);
            cash = set_position(host, holdings, sid, value, cash, fee_ratio, tax_ratio, true, true, balance,
                                ExitReason::Rebalance);
            next_held = holdings.upper_bound(sid);
            next_key = key_of(next_held);
        }
        return cash;
    });
}

}  // namespace mirelo::core
