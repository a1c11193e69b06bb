// mirelo.core.tradesim: module state, import-time bindings and initialisation.
#include "excursion_import.h"
#include "pyutil/single_module.h"
#include "pyutil/numpy_api.h"
#include "glue/normalize.h"
#include "tradesim/functions.h"
#include "tradesim/state.h"

namespace mirelo::tradesim {

ModuleState& g_state = *new ModuleState();

py::Ref numpy_attr(const char* name, std::source_location loc) {
    static GlobalName org_np{"org_np"};
    return g_state.globals.attr(org_np, name, loc);
}

namespace {

constexpr const char kFile[] = "mirelo/core/tradesim/module.cpp";

PyMethodDef methods[] = {
    {"get_stock_operations", get_stock_operations, METH_NOARGS, kGetStockOperationsDoc},
    {"normalize_weight", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(glue::normalize_weight)),
     METH_FASTCALL | METH_KEYWORDS, glue::kNormalizeWeightDoc},
    {"ioft", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(ioft)),
     METH_FASTCALL | METH_KEYWORDS, kIoftDoc},
    {nullptr, nullptr, 0, nullptr},
};

// Published after backtest_, keeping the module's function order.
PyMethodDef ledger_methods[] = {
    {"get_trade_stocks", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(get_trade_stocks)),
     METH_FASTCALL | METH_KEYWORDS, kGetTradeStocksDoc},
    {nullptr, nullptr, 0, nullptr},
};

void add_module(PyObject* module, const char* as_name, const char* import_name) {
    py::Ref imported = py::check(PyImport_ImportModule(import_name));
    py::check_status(PyModule_AddObjectRef(module, as_name, imported.get()));
}

// 1. NumPy's C API; 2. numpy as org_np; 3. mirelo.core.excursion and its
// export table; 4. datetime; 5. the settings globals and stock_operations;
// 6. the functions, backtest_ with its defaults.
void initialise(PyObject* module) {
    g_state.globals.bind(module);
    py::import_numpy_capi();
    add_module(module, "org_np", "numpy");
    py::Ref excursion = py::check(PyImport_ImportModule(excursion_api::kModuleName));
    g_state.excursion = excursion_api::import_bindings(excursion.get());
    py::check_status(PyModule_AddObjectRef(module, "excursion", excursion.get()));
    add_module(module, "datetime", "datetime");
    py::check_status(PyModule_AddObjectRef(module, "RETAIN_COST_WHEN_REBALANCE", Py_False));
    py::check_status(PyModule_AddObjectRef(module, "RESAMPLE", Py_None));
    g_state.stock_operations = py::check(PyDict_New());

    py::check_status(PyModule_AddFunctions(module, methods));
    py::Ref backtest = make_backtest_function(module);
    py::check_status(PyModule_AddObjectRef(module, "backtest_", backtest.get()));
    py::check_status(PyModule_AddFunctions(module, ledger_methods));
}

void reset() noexcept { g_state = ModuleState{}; }

py::SingleModule g_module{
    "tradesim",
    "Backtest engine: simulates a portfolio of target weights over a calendar of\n"
    "price bars (backtest_) and keeps the last run's trades and stock operations\n"
    "(get_trade_stocks, get_stock_operations).",
    {"mirelo.core.tradesim.<module init>", kFile}, initialise, reset};

}  // namespace
}  // namespace mirelo::tradesim

PyMODINIT_FUNC PyInit_tradesim() { return mirelo::tradesim::g_module.init(); }
