// The texts made from the rule table: each rule's "name=default", the call
// signatures that list them and the rule lines of the docstrings.
#pragma once

#include "glue/rules.h"

#include <string>
#include <string_view>
#include <vector>

namespace mirelo::glue {

// "name=default" for every rule `entry` takes, in table order: defaults as
// repr() writes them (inf for an infinity, or math.inf where inspect is to
// read the text).
std::vector<std::string> rule_parameters(EntryPoint entry, bool for_inspect = false);

// "<function>(<p1>, <p2>, ...)" wrapped before 88 columns, a continued line
// indented under the first parameter.
std::string call_text(std::string_view function, const std::vector<std::string>& params);

// The rule lines of a docstring: "Rules:", then for every rule `entry` takes
// "  name=default" (with the values it accepts where `entry` checks them) and
// its description on the next line.
std::string rules_doc(EntryPoint entry);

}  // namespace mirelo::glue
