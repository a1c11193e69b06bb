#include "glue/rules.h"

#include "pyutil/args.h"

#include <cmath>

namespace mirelo::glue {

namespace rule_field {

void convert(double& field, PyObject* value) { field = py::to_double(value); }
void convert(int& field, PyObject* value) { field = py::to_int32(value); }
void convert(bool& field, PyObject* value) { field = py::truth(value); }
void convert(PyObject*& field, PyObject* value) { field = value; }
void set_default(double& field, double fallback) { field = fallback; }
void set_default(int& field, double fallback) { field = static_cast<int>(fallback); }
void set_default(bool& field, double fallback) { field = fallback != 0.0; }
void set_default(PyObject*& field, double fallback) { field = fallback != 0.0 ? Py_True : Py_False; }

}  // namespace rule_field

namespace {

py::Ref default_object(const RuleDef& def, PyObject* numpy_inf) {
    switch (def.kind) {
        case RuleKind::Number:
            if (std::isinf(def.fallback) && def.fallback > 0) return py::Ref::borrow(numpy_inf);
            return py::check(PyFloat_FromDouble(def.fallback));
        case RuleKind::Integer:
            return py::check(PyLong_FromLong(static_cast<long>(def.fallback)));
        case RuleKind::Flag:
        case RuleKind::Object:
            break;
    }
    return py::Ref::borrow(def.fallback != 0.0 ? Py_True : Py_False);
}

// The checks a rule with messages of its own makes as it is converted.
void check_on_conversion(const RuleDef& def, const RuleValues& values) {
    if (def.range.below == nullptr) return;
    const double x = def.number(values);
    if (x < def.range.minimum) py::raise(PyExc_ValueError, def.range.below);
    if (std::isnan(x)) py::raise(PyExc_ValueError, def.range.nan);
}

// "<rule> must be <range> (got <value>)", the value as repr() writes it.
[[noreturn]] void raise_out_of_range(const RuleDef& def, double value) {
    std::string got;
    if (def.kind == RuleKind::Integer) {
        got = std::to_string(static_cast<long long>(value));
    } else {
        char* text = PyOS_double_to_string(value, 'r', 0, Py_DTSF_ADD_DOT_0, nullptr);
        if (text == nullptr) py::throw_pending();
        got = text;
        PyMem_Free(text);
    }
    py::raise_format(PyExc_ValueError, msg::kRuleOutOfRange, def.name, range_text(def).c_str(), got.c_str());
}

}  // namespace

std::vector<const char*> rule_names(EntryPoint entry) {
    std::vector<const char*> names;
    for (const RuleDef& def : kRules) {
        if (takes(entry, def)) names.push_back(def.name);
    }
    return names;
}

py::Ref rule_defaults(EntryPoint entry, PyObject* numpy_inf) {
    py::Ref defaults = py::check(PyTuple_New(static_cast<Py_ssize_t>(rule_count(entry))));
    Py_ssize_t k = 0;
    for (const RuleDef& def : kRules) {
        if (takes(entry, def)) PyTuple_SET_ITEM(defaults.get(), k++, default_object(def, numpy_inf).release());
    }
    return defaults;
}

RuleValues convert_rules(EntryPoint entry, PyObject* const* given, PyObject* defaults, std::source_location caller) {
    return py::at_caller_line(caller, [&] {
        RuleValues values;
        Py_ssize_t k = 0;
        for (const RuleDef& def : kRules) {
            if (!takes(entry, def)) {
                def.store_default(values);
                continue;
            }
            PyObject* value = given[k] != nullptr ? given[k] : PyTuple_GET_ITEM(defaults, k);
            ++k;
            def.store(values, value);
            check_on_conversion(def, values);
        }
        return values;
    });
}

void check_rule_ranges(const RuleValues& values, std::source_location caller) {
    py::at_caller_line(caller, [&] {
        for (const RuleDef& def : kRules) {
            if (!has_range(def)) continue;
            const double x = def.number(values);
            // NaN is below every range.
            if (!(x >= def.range.minimum) || (def.range.finite && std::isinf(x))) raise_out_of_range(def, x);
        }
    });
}

std::string range_text(const RuleDef& def) {
    if (!has_range(def)) return "";
    if (std::isinf(def.range.minimum)) return "a number, not NaN";
    const std::string text = ">= " + std::to_string(static_cast<long long>(def.range.minimum));
    return def.range.finite ? text + " and finite" : text;
}

}  // namespace mirelo::glue
