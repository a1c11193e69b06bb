// mirelo.core.batch: many backtests on one market, on native threads.
//
// A Market holds the price matrices of many backtests, checked once and read
// in place.  Market.run converts one run's arguments with the interpreter
// lock, runs the kernel without it, and builds the RunResult; Market.run_many
// does so for many runs on native threads.  The module keeps no state that a
// run changes.
#include "batch/market_type.h"
#include "batch/run_result.h"
#include "batch/state.h"
#include "glue/rule_records.h"
#include "glue/rules.h"
#include "kernel/exit_reasons.h"
#include "pyutil/numpy_api.h"
#include "pyutil/single_module.h"

#include <string>
#include <string_view>

namespace mirelo::batch {

ModuleState& state() {
    static ModuleState* const s = new ModuleState();
    return *s;
}

namespace {

constexpr const char kFile[] = "mirelo/core/batch/module.cpp";

// numpy.dtype([("sid", "<i4"), ("entry_bar", "<i4"), ("exit_bar", "<i4"),
// ("position", "<f8"), ("entry_value", "<f8"), ("exit_value", "<f8"),
// ("reason", "<U<n>")]), n the longest exit reason's name, and where its
// fields lie.
void make_trade_dtype(ModuleState& s, PyObject* numpy) {
    const std::string reason_type = "<U" + std::to_string(core::kExitReasonWidth);
    py::Ref fields_list = py::check(Py_BuildValue("[(ss)(ss)(ss)(ss)(ss)(ss)(ss)]", "sid", "<i4", "entry_bar", "<i4",
                                                  "exit_bar", "<i4", "position", "<f8", "entry_value", "<f8",
                                                  "exit_value", "<f8", "reason", reason_type.c_str()));
    py::Ref dtype_type = py::check(PyObject_GetAttrString(numpy, "dtype"));
    s.trade_dtype = py::check(PyObject_CallOneArg(dtype_type.get(), fields_list.get()));
    py::Ref fields = py::check(PyObject_GetAttrString(s.trade_dtype.get(), "fields"));
    auto offset = [&](const char* name) {
        py::Ref f = py::check(PyMapping_GetItemString(fields.get(), name));
        Py_ssize_t v = PyLong_AsSsize_t(PyTuple_GET_ITEM(f.get(), 1));
        if (v == -1 && PyErr_Occurred()) py::throw_pending();
        return v;
    };
    s.sid_offset = offset("sid");
    s.entry_offset = offset("entry_bar");
    s.exit_offset = offset("exit_bar");
    s.position_offset = offset("position");
    s.entry_value_offset = offset("entry_value");
    s.exit_value_offset = offset("exit_value");
    s.reason_offset = offset("reason");
    py::Ref itemsize = py::check(PyObject_GetAttrString(s.trade_dtype.get(), "itemsize"));
    s.trade_itemsize = PyLong_AsSsize_t(itemsize.get());
    if (s.trade_itemsize == -1 && PyErr_Occurred()) py::throw_pending();
}

// The names of the exit reasons, in the kernel's table order.
py::Ref exit_reason_names() {
    py::Ref names = py::check(PyTuple_New(static_cast<Py_ssize_t>(core::kExitReasonCount)));
    for (std::size_t i = 0; i < core::kExitReasonCount; ++i) {
        const std::string_view name = core::kExitReasons[i].name;
        py::Ref text = py::check(PyUnicode_FromStringAndSize(name.data(), static_cast<Py_ssize_t>(name.size())));
        PyTuple_SET_ITEM(names.get(), static_cast<Py_ssize_t>(i), text.release());
    }
    return names;
}

void add_type(PyObject* module, PyType_Spec* type_shape, py::Ref* keep = nullptr) {
    py::Ref type = py::check(PyType_FromModuleAndSpec(module, type_shape, nullptr));
    py::check_status(PyModule_AddType(module, reinterpret_cast<PyTypeObject*>(type.get())));
    if (keep != nullptr) *keep = std::move(type);
}

// 1. NumPy's C API; 2. the trade dtype and the rules' defaults; 3. the
// types; 4. TRADE_DTYPE and EXIT_REASONS; 5. Rule and RULES.
void initialise(PyObject* module) {
    ModuleState& s = state();
    py::import_numpy_capi();
    py::Ref numpy = py::check(PyImport_ImportModule("numpy"));
    make_trade_dtype(s, numpy.get());
    py::Ref inf = py::check(PyObject_GetAttrString(numpy.get(), "inf"));
    s.rule_defaults = glue::rule_defaults(glue::EntryPoint::MarketRun, inf.get());

    add_type(module, &market_type_description());
    add_type(module, &kRunResultSpec, &s.run_result_type);
    py::check_status(PyModule_AddObjectRef(module, "TRADE_DTYPE", s.trade_dtype.get()));
    py::Ref reasons = exit_reason_names();
    py::check_status(PyModule_AddObjectRef(module, "EXIT_REASONS", reasons.get()));
    py::check_status(PyModule_AddObjectRef(module, "REASONS", reasons.get()));  // the earlier name

    py::Ref rule_type = glue::new_rule_type("mirelo.core.batch.Rule");
    py::check_status(PyModule_AddObjectRef(module, "Rule", rule_type.get()));
    py::Ref rules = glue::rule_records(rule_type.get(), inf.get());
    py::check_status(PyModule_AddObjectRef(module, "RULES", rules.get()));
}

void reset() noexcept { state() = ModuleState{}; }

py::SingleModule g_module{
    "batch",
    "Many backtests on one market, on native threads.\n"
    "\n"
    "Market(...) holds the price matrices, checked once and read in place;\n"
    "Market.run(...) runs one backtest with the interpreter lock released and\n"
    "returns a RunResult (value path, trades with the reason each ended, excursion\n"
    "profiles, final stock operations); Market.run_many(jobs) runs many at once.\n"
    "The results equal those of mirelo.core.tradesim.backtest_ bit for bit.",
    {"mirelo.core.batch.<module init>", kFile}, initialise, reset};

}  // namespace
}  // namespace mirelo::batch

PyMODINIT_FUNC PyInit_batch() { return mirelo::batch::g_module.init(); }
