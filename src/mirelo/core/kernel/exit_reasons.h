// Why a trade ended, each reason declared once in kExitReasons with the name
// the results give it.  The trades' reason field, its width and the names the
// Python side lists are all made from this table.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string_view>

namespace mirelo::core {

// In the order of kExitReasons.  Open (still held after the last bar) stays
// last: the table's size is checked against it.
enum class ExitReason { Rebalance, StopLoss, TrailStop, TakeProfit, Delisting, Open };

struct ExitReasonName {
    ExitReason reason;
    std::string_view name;
};

inline constexpr std::array kExitReasons{
    ExitReasonName{ExitReason::Rebalance, "rebalance"},      // closed or resized by a rebalance
    ExitReasonName{ExitReason::StopLoss, "stop_loss"},       // the fixed stop
    ExitReasonName{ExitReason::TrailStop, "trail_stop"},     // the armed trailing stop
    ExitReasonName{ExitReason::TakeProfit, "take_profit"},   // the take-profit
    ExitReasonName{ExitReason::Delisting, "delisting"},      // the stock's last priced bar
    ExitReasonName{ExitReason::Open, "open"},                // still held after the last bar
};
inline constexpr std::size_t kExitReasonCount = kExitReasons.size();

constexpr bool exit_reasons_in_order() {
    for (std::size_t i = 0; i < kExitReasonCount; ++i) {
        if (static_cast<std::size_t>(kExitReasons[i].reason) != i) return false;
    }
    return static_cast<std::size_t>(ExitReason::Open) + 1 == kExitReasonCount;
}
static_assert(exit_reasons_in_order(), "kExitReasons lists every ExitReason once, in the enum's order");

constexpr std::string_view name_of(ExitReason reason) { return kExitReasons[static_cast<std::size_t>(reason)].name; }

// The characters of the longest name: the width of the trades' reason field.
constexpr std::size_t longest_exit_reason() {
    std::size_t longest = 0;
    for (const ExitReasonName& r : kExitReasons) longest = r.name.size() > longest ? r.name.size() : longest;
    return longest;
}
inline constexpr std::size_t kExitReasonWidth = longest_exit_reason();

}  // namespace mirelo::core
