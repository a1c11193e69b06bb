#include "glue/rule_texts.h"

#include <cmath>

namespace mirelo::glue {
namespace {

constexpr std::size_t kWidth = 88;

std::string default_text(const RuleDef& def, bool for_inspect) {
    switch (def.kind) {
        case RuleKind::Number: {
            if (std::isinf(def.fallback) && for_inspect) return def.fallback > 0 ? "math.inf" : "-math.inf";
            char* text = PyOS_double_to_string(def.fallback, 'r', 0, Py_DTSF_ADD_DOT_0, nullptr);
            if (text == nullptr) py::throw_pending();
            std::string written = text;
            PyMem_Free(text);
            return written;
        }
        case RuleKind::Integer:
            return std::to_string(static_cast<long long>(def.fallback));
        case RuleKind::Flag:
        case RuleKind::Object:
            break;
    }
    return def.fallback != 0.0 ? "True" : "False";
}

// The values `entry` refuses with a message: Market.run checks every range,
// backtest_ only those with messages of their own.
bool checked_by(EntryPoint entry, const RuleDef& def) {
    return has_range(def) && (entry == EntryPoint::MarketRun || def.range.below != nullptr);
}

}  // namespace

std::vector<std::string> rule_parameters(EntryPoint entry, bool for_inspect) {
    std::vector<std::string> params;
    for (const RuleDef& def : kRules) {
        if (takes(entry, def)) params.push_back(std::string(def.name) + "=" + default_text(def, for_inspect));
    }
    return params;
}

std::string call_text(std::string_view function, const std::vector<std::string>& params) {
    const std::string indent(function.size() + 1, ' ');
    std::string text = std::string(function) + "(";
    std::size_t line_start = 0;
    for (std::size_t i = 0; i < params.size(); ++i) {
        const std::string piece = params[i] + (i + 1 < params.size() ? "," : ")");
        const bool first_on_line = text.size() - line_start == indent.size();
        if (!first_on_line && text.size() - line_start + 1 + piece.size() > kWidth) {
            text += "\n";
            line_start = text.size();
            text += indent;
        } else if (!first_on_line) {
            text += " ";
        }
        text += piece;
    }
    if (params.empty()) text += ")";
    return text;
}

std::string rules_doc(EntryPoint entry) {
    std::string text = "Rules:\n";
    for (const RuleDef& def : kRules) {
        if (!takes(entry, def)) continue;
        text += "  " + std::string(def.name) + "=" + default_text(def, false);
        if (checked_by(entry, def)) text += " (" + range_text(def) + ")";
        text += "\n      " + std::string(def.doc) + "\n";
    }
    return text;
}

}  // namespace mirelo::glue
