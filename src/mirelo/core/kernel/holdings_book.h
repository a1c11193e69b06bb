// The holdings of a run: one Position per stock held, in ascending sid.
//
// A run holds tens of stocks and walks all of them on every bar, so each
// position keeps beside its money value everything the walk needs of it (its
// price column, the exit tracking, the reference price, the open trade), and
// the positions are one sorted array: the walk reads consecutive memory, a
// lookup is a binary search.  Iterators stay valid while no position is added
// or removed; a rebalance builds the next array in one merge instead.
#pragma once

#include "kernel/exit_rules.h"

#include <algorithm>
#include <cstddef>
#include <map>
#include <vector>

namespace mirelo::core {

struct Position {
    int sid = 0;
    int column = 0;            // price column (0 for a stock without one)
    double value = 0.0;        // money held; negative = short; 0 once closed within a bar
    // The exit horizon: the price relative to the entry, and its running
    // extremes since the entry (an extreme moves only on a strict improvement;
    // kept while a trailing stop can move the levels, which alone read them).
    double cum_return = 1.0;
    double max_return = 1.0;
    double min_return = 1.0;
    double reference = 1.0;    // last valid trading price (NaN: take the next one)
    // The stops of the running extremes, kept by a loop whose trailing stop
    // can move (long_stop(max_return), short_stop(min_return)).
    StopLevel long_stop{0.0, false};
    StopLevel short_stop{0.0, false};
    // The open trade, as reported to the host when it started.
    int entry_bar = 0;
    int entry_is_new = 0;      // opened from flat (its entry fee counts in its profile)
    double entry_weight = 0.0; // signed weight of the balance at entry
    // The money the trade stands on (see NativeTrade): what it entered at,
    // with cash a resize kept in the trade, and cash a resize took out.
    double entry_value = 0.0;
    double taken_out = 0.0;

    // Entering, exiting or delisting starts a new exit horizon.
    void reset_tracking() {
        cum_return = 1.0;
        max_return = 1.0;
        min_return = 1.0;
    }
};

class Holdings {
public:
    using iterator = std::vector<Position>::iterator;
    using const_iterator = std::vector<Position>::const_iterator;

    iterator begin() { return positions_.begin(); }
    iterator end() { return positions_.end(); }
    const_iterator begin() const { return positions_.begin(); }
    const_iterator end() const { return positions_.end(); }
    bool empty() const { return positions_.empty(); }
    Position* data() { return positions_.data(); }
    std::size_t size() const { return positions_.size(); }

    iterator find(int sid) {
        auto it = lower_bound(sid);
        return it != positions_.end() && it->sid == sid ? it : positions_.end();
    }
    const_iterator find(int sid) const {
        auto it = std::lower_bound(positions_.begin(), positions_.end(), sid,
                                   [](const Position& p, int s) { return p.sid < s; });
        return it != positions_.end() && it->sid == sid ? it : positions_.end();
    }
    // The value held in `sid`, 0 when it is not held.
    double value_of(int sid) const {
        auto it = find(sid);
        return it != end() ? it->value : 0.0;
    }
    iterator erase(iterator it) { return positions_.erase(it); }

    // The positions a rebalance leaves, in ascending sid, replace these; the
    // old array is kept as the next rebalance's scratch.
    std::vector<Position>& next() {
        scratch_.clear();
        return scratch_;
    }
    void take_next() { positions_.swap(scratch_); }

    // sid -> value (for the excursion module's export table, which takes one).
    std::map<int, double> to_map() const {
        std::map<int, double> m;
        for (const Position& p : positions_) m.emplace_hint(m.end(), p.sid, p.value);
        return m;
    }

private:
    iterator lower_bound(int sid) {
        return std::lower_bound(positions_.begin(), positions_.end(), sid,
                                [](const Position& p, int s) { return p.sid < s; });
    }

    std::vector<Position> positions_;
    std::vector<Position> scratch_;
};

}  // namespace mirelo::core
