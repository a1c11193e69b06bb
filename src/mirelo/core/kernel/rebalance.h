// A rebalance: a row of target weights (fractions of the balance) turned
// into target values, and every stock that is weighted or held moved to its
// target, in ascending sid.
#pragma once

#include "kernel/errors.h"
#include "kernel/holdings.h"
#include "kernel/weight_scan.h"
#include "messages.h"

#include <algorithm>
#include <climits>
#include <cmath>

namespace mirelo::core {

// What a rebalance needs besides the holdings and the row.
struct RebalanceTerms {
    double fee_ratio;
    double tax_ratio;
    double position_limit;
    Index pos_row;  // the row's number, for the messages
    int bar;        // where the trades happen
};

// 1. balance = cash + holdings (ascending sid);
// 2. the row's non-zero weights, found once; a NaN among them fails (it
//    would make the scale 1.0 and size every other stock against 1.0);
// 3. scale (the host sums the row: balance / max(abs(row).sum(), 1));
// 4. cap from the balance;
// 5. one merge of the weighted and the held stocks, ascending: target =
//    weight x scale, capped, then move_to_target.  A column neither weighted
//    nor held has target 0 and nothing to close, so it is not visited --
//    unless the scale is infinite, which gives every column a NaN target.
// The positions that remain form the new holdings; `fills` adds the fills.
template <typename Host, typename WeightRow>
double rebalance(Host& host, const ColumnTable& columns, Holdings& holdings, WeightRow& row, SparseRow& nonzero,
                 double cash, const RebalanceTerms& terms, BarFills& fills) {
    return host.in_rebalance([&] {
        double invested = 0.0;
        for (const Position& p : holdings) invested += p.value;
        const double balance = cash + invested;

        const WeightRowView weights = host.weights_of(row);
        scan_weights(weights, nonzero);
        for (const WeightEntry& e : nonzero.entries) {
            if (std::isnan(e.weight)) host.nan_weight(static_cast<int>(e.column), terms.pos_row);
        }
        const double scale = host.weight_scale(row, nonzero, balance);
        const double cap = balance * terms.position_limit;
        // A ruined portfolio (negative balance) opens and resizes nothing.
        const bool ruined = balance < 0;
        const bool every_column = !ruined && !std::isfinite(scale);

        const Index size = nonzero.size;
        std::vector<Position>& next = holdings.next();
        auto held = holdings.begin();
        const WeightEntry* weighted = nonzero.entries.data();
        const WeightEntry* const weighted_end = weighted + nonzero.entries.size();
        for (Index i = 0;; ++i) {
            if (!every_column) {
                const Index next_held = held != holdings.end() ? held->sid : size;
                const Index next_weighted = weighted != weighted_end ? weighted->column : size;
                i = std::min(next_held, next_weighted);
            }
            if (i >= size) break;
            // A column that is not weighted reads 0 (its sign cannot matter:
            // a target of either zero closes the stock, and 0 x inf is NaN).
            double weight = 0.0;
            if (weighted != weighted_end && weighted->column == i) weight = (weighted++)->weight;

            double value = 0.0;
            if (!ruined) {
                value = weight * scale;
                if (std::fabs(value) > cap) value = cap * (value > 0 ? 1 : -1);  // NaN is never capped
            }
            if (i > INT_MAX) throw Error{ErrorKind::OverflowError, msg::kCIntOverflow};
            const int sid = static_cast<int>(i);
            const bool is_held = held != holdings.end() && held->sid == sid;
            if (value == 0 && !is_held) continue;  // nothing to open and nothing to close
            if (value != 0 && !columns.has(sid)) host.weight_without_prices(sid);

            // The position moves to its place in the next holdings, and leaves
            // it again when it is closed.
            Position& position = is_held ? next.emplace_back(*held++) : next.emplace_back();
            if (!is_held) {
                position.sid = sid;
                position.column = columns.column_of(sid);
            }
            const MoveResult moved = move_to_target(host, position, is_held, value, cash, terms.fee_ratio,
                                                    terms.tax_ratio, balance, terms.bar, fills);
            cash = moved.cash;
            if (!moved.kept) next.pop_back();
        }
        next.insert(next.end(), held, holdings.end());  // sids past the row are not visited
        holdings.take_next();
        return cash;
    });
}

}  // namespace mirelo::core
