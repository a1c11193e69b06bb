// What every bar of a run traded, paid and ended up holding: cheap figures,
// one per bar, kept whether or not the run records its holdings.
//
// traded[i] is the money bar i traded, the sum of |change of position| over
// its fills (at the fill price, fees excluded); costs[i] the fees and tax it
// paid; each is its fills' figures added in the order they were filled,
// from 0 (BarFills).  holdings_count[i] is the number of holdings after the
// bar's trades, counted as the holdings record counts them (a position
// closed within the bar, left at 0 until the next rebalance, is none).
//
// Most bars trade nothing and hold what the bar before held: the bar loop
// writes a bar when it trades (or when its holdings may have changed
// otherwise) and fills the quiet bars before it in one go.  When it cannot
// tell where the number of holdings changed, it says so (counts_unsure).
#pragma once

#include "kernel/holdings.h"
#include "kernel/holdings_record.h"

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace mirelo::core {

class BarTotals {
public:
    RecordColumn<double> traded;
    RecordColumn<double> costs;
    RecordColumn<std::int32_t> holdings_count;
    bool counts_unsure = false;  // some bar's number of holdings may be wrong

    explicit BarTotals(std::size_t bars = 0) : bars_(bars) {
        traded.reserve(bars);
        costs.reserve(bars);
        holdings_count.reserve(bars);
    }

    // Bars [from, to) traded nothing; with `count`, each held `held`.
    void quiet(std::size_t from, std::size_t to, std::int32_t held, bool count) {
        if (from >= to) return;
        const std::size_t bars = to - from;
        std::memset(traded.data() + from, 0, bars * sizeof(double));
        std::memset(costs.data() + from, 0, bars * sizeof(double));
        if (count) fill_counts(holdings_count.data() + from, bars, held);
    }

    void set_fills(std::size_t bar, const BarFills& fills) {
        traded.data()[bar] = fills.traded;
        costs.data()[bar] = fills.costs;
    }
    void set_count(std::size_t bar, std::int32_t held) { holdings_count.data()[bar] = held; }

    // Once every bar is written: the columns take their sizes.
    void finish() {
        traded.extend(bars_);
        costs.extend(bars_);
        holdings_count.extend(bars_);
    }

private:
    // `held` in `bars` counts, four at a time.
    static void fill_counts(std::int32_t* at, std::size_t bars, std::int32_t held) {
        const std::int32_t four[4] = {held, held, held, held};
        std::int32_t* const end = at + bars;
        for (; end - at >= 4; at += 4) std::memcpy(at, four, sizeof four);
        for (; at != end; ++at) *at = held;
    }

    std::size_t bars_;
};

}  // namespace mirelo::core
