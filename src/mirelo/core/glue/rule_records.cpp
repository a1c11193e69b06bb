#include "glue/rule_records.h"

#include "glue/rules.h"

#include <cmath>

namespace mirelo::glue {
namespace {

PyStructSequence_Field kFields[] = {
    {"name", "the keyword"},
    {"kind", "'float', 'int', 'bool' (taken by truth) or 'object' (tested for truth where used)"},
    {"default", "the value when the rule is not given"},
    {"minimum", "the smallest value Market.run accepts (-inf: any number but NaN); None for the others"},
    {"range", "the values Market.run accepts, as its messages write them"},
    {"doc", "what the rule sets"},
    {"in_backtest_", "whether mirelo.core.tradesim.backtest_ takes it (else it runs with the default)"},
    {nullptr, nullptr},
};
constexpr int kFieldCount = 7;

const char* kind_name(RuleKind kind) {
    switch (kind) {
        case RuleKind::Number: return "float";
        case RuleKind::Integer: return "int";
        case RuleKind::Flag: return "bool";
        case RuleKind::Object: return "object";
    }
    return "";
}

py::Ref text(const char* value) { return py::check(PyUnicode_FromString(value)); }

py::Ref record(PyObject* rule_type, const RuleDef& def, PyObject* default_value) {
    py::Ref r = py::check(PyStructSequence_New(reinterpret_cast<PyTypeObject*>(rule_type)));
    py::Ref values[kFieldCount] = {
        text(def.name),
        text(kind_name(def.kind)),
        py::Ref::borrow(default_value),
        has_range(def) ? py::check(PyFloat_FromDouble(def.range.minimum)) : py::Ref::borrow(Py_None),
        text(range_text(def).c_str()),
        text(def.doc),
        py::Ref::borrow(def.scope == RuleScope::Everywhere ? Py_True : Py_False),
    };
    for (int i = 0; i < kFieldCount; ++i) PyStructSequence_SetItem(r.get(), i, values[i].release());
    return r;
}

}  // namespace

py::Ref new_rule_type(const char* qualified_name) {
    static PyStructSequence_Desc desc{nullptr, "A trading rule: its name, kind, default, accepted values and use.",
                                      kFields, kFieldCount};
    desc.name = qualified_name;
    return py::check(reinterpret_cast<PyObject*>(PyStructSequence_NewType(&desc)));
}

py::Ref rule_records(PyObject* rule_type, PyObject* numpy_inf) {
    py::Ref defaults = rule_defaults(EntryPoint::MarketRun, numpy_inf);
    py::Ref records = py::check(PyTuple_New(static_cast<Py_ssize_t>(kRuleCount)));
    for (std::size_t i = 0; i < kRuleCount; ++i) {
        PyObject* default_value = PyTuple_GET_ITEM(defaults.get(), static_cast<Py_ssize_t>(i));
        PyTuple_SET_ITEM(records.get(), static_cast<Py_ssize_t>(i),
                         record(rule_type, kRules[i], default_value).release());
    }
    return records;
}

}  // namespace mirelo::glue
