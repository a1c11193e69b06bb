// The backtest_ function object.
//
// A builtin function has no __defaults__ and no Python-level signature for a
// parameter list this long, so backtest_ is an instance of a small callable
// type of its own: vectorcall for speed, __defaults__, __name__, __qualname__,
// __module__, a docstring, and a __signature__ built from the parameter names
// and the defaults.  Its __get__ returns the function itself, so documentation
// tools treat it as a routine (it is never bound to an instance).
#include "glue/rule_texts.h"
#include "tradesim/backtest.h"
#include "tradesim/functions.h"
#include "tradesim/state.h"

#include <structmember.h>

#include <algorithm>
#include <string>
#include <vector>

namespace mirelo::tradesim {
namespace {

struct BacktestFunction {
    PyObject_HEAD
    vectorcallfunc vectorcall;
    PyObject* defaults;   // tuple, parameters 12 to 25
    PyObject* signature;  // inspect.Signature, built on first request
};

const char kBacktestIntro[] =
    "Simulate a portfolio of target weights over a calendar of price bars and return\n"
    "its value path: a 1-D float64 array with one value per bar, relative to a start\n"
    "of 1.0 (bars dated before the first position date are 1.0).\n"
    "\n"
    "Prices (2-D float64, bars x price columns, NaN = missing):\n"
    "  price_values   trading price used for fills and valuation\n"
    "  close_values   close, used to report the value of each bar and for close-mode exits\n"
    "  high_values, low_values, open_values   used by touched-mode exits\n"
    "  price_index    1-D int64, the date of each bar (ascending)\n"
    "  price_columns  1-D object array of str, the stock of each price column\n"
    "Targets:\n"
    "  pos_values     2-D float64, position dates x position columns: signed target\n"
    "                 weights as fractions of the balance (scaled down when their\n"
    "                 absolute sum exceeds 1; a NaN in a row that a rebalance uses\n"
    "                 is refused)\n"
    "  pos_index      1-D int64, the date of each row of pos_values (ascending)\n"
    "  pos_columns    1-D object array of str, matched to price_columns by name\n"
    "  resample       1-D int64 rebalance dates; each marks the last bar on or before it,\n"
    "                 and the rebalance trades on the next bar with the newest weights row\n";

const char kBacktestOutro[] =
    "Delistings:\n"
    "  delisting_bars 1-D int64 per position column: the bar at which the stock is\n"
    "                 closed for good (negative: never), or None\n"
    "\n"
    "The run's trades and final stock operations stay in the module:\n"
    "get_trade_stocks() and get_stock_operations() return them; the excursion\n"
    "profiles are mirelo.core.excursion.excursion.  One run at a time per process\n"
    "(mirelo.core.batch runs many at once).";

PyObject* call(PyObject*, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
    return run_backtest(args, nargsf, kwnames);
}

void dealloc(PyObject* self) {
    auto* f = reinterpret_cast<BacktestFunction*>(self);
    PyTypeObject* type = Py_TYPE(self);
    Py_CLEAR(f->defaults);
    Py_CLEAR(f->signature);
    type->tp_free(self);
    Py_DECREF(type);
}

PyObject* descr_get(PyObject* self, PyObject*, PyObject*) { return Py_NewRef(self); }

PyObject* get_name(PyObject*, void*) { return PyUnicode_FromString("backtest_"); }

// The call with every parameter: the arrays, then the rules and
// delisting_bars (the last) with their defaults.
std::string signature_text() {
    const py::ArgParser& parser = backtest_arg_parser();
    std::vector<std::string> params;
    for (Py_ssize_t i = 0; i < parser.size(); ++i) params.emplace_back(parser.name(i));
    const std::vector<std::string> rules = glue::rule_parameters(glue::EntryPoint::Backtest);
    std::copy(rules.begin(), rules.end(), params.end() - 1 - static_cast<std::ptrdiff_t>(rules.size()));
    params.back() += "=None";
    return glue::call_text("backtest_", params);
}

// The docstring belongs to the function object, not to its type: help() and
// pydoc show an object's own __doc__ only when it differs from its type's.
PyObject* get_doc(PyObject*, void*) {
    static const py::TraceSite site{"mirelo.core.tradesim.backtest_.__doc__",
                                    "mirelo/core/tradesim/backtest_function.cpp"};
    return py::guarded(site, static_cast<PyObject*>(nullptr), [] {
        static const std::string doc = signature_text() + "\n\n" + kBacktestIntro +
                                       glue::rules_doc(glue::EntryPoint::Backtest) + kBacktestOutro;
        return py::check(PyUnicode_FromStringAndSize(doc.data(), static_cast<Py_ssize_t>(doc.size()))).release();
    });
}

PyObject* get_defaults(PyObject* self, void*) {
    return Py_NewRef(reinterpret_cast<BacktestFunction*>(self)->defaults);
}

// inspect.Signature of backtest_: every parameter positional-or-keyword, the
// last fourteen with the defaults.
py::Ref build_signature(PyObject* defaults) {
    py::Ref inspect = py::check(PyImport_ImportModule("inspect"));
    py::Ref parameter = py::check(PyObject_GetAttrString(inspect.get(), "Parameter"));
    py::Ref kind = py::check(PyObject_GetAttrString(parameter.get(), "POSITIONAL_OR_KEYWORD"));
    const py::ArgParser& parser = backtest_arg_parser();
    const Py_ssize_t first_default = parser.size() - PyTuple_GET_SIZE(defaults);
    py::Ref params = py::check(PyList_New(0));
    for (Py_ssize_t i = 0; i < parser.size(); ++i) {
        py::Ref name = py::check(PyUnicode_FromString(parser.name(i)));
        py::Ref kwargs = py::check(PyDict_New());
        if (i >= first_default) {
            py::check_status(PyDict_SetItemString(kwargs.get(), "default",
                                                  PyTuple_GET_ITEM(defaults, i - first_default)));
        }
        py::Ref posargs = py::check(PyTuple_Pack(2, name.get(), kind.get()));
        py::Ref p = py::check(PyObject_Call(parameter.get(), posargs.get(), kwargs.get()));
        py::check_status(PyList_Append(params.get(), p.get()));
    }
    py::Ref signature = py::check(PyObject_GetAttrString(inspect.get(), "Signature"));
    return py::check(PyObject_CallOneArg(signature.get(), params.get()));
}

PyObject* get_signature(PyObject* self, void*) {
    auto* f = reinterpret_cast<BacktestFunction*>(self);
    if (f->signature == nullptr) {
        static const py::TraceSite site{"mirelo.core.tradesim.backtest_.__signature__",
                                        "mirelo/core/tradesim/backtest_function.cpp"};
        f->signature = py::guarded(site, static_cast<PyObject*>(nullptr),
                                   [&] { return build_signature(f->defaults).release(); });
        if (f->signature == nullptr) return nullptr;
    }
    return Py_NewRef(f->signature);
}

// Pickled by reference, like any module-level function.
PyObject* reduce(PyObject*, PyObject*) { return PyUnicode_FromString("backtest_"); }

PyMethodDef type_methods[] = {
    {"__reduce__", reduce, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef getset[] = {
    {"__name__", get_name, nullptr, nullptr, nullptr},
    {"__qualname__", get_name, nullptr, nullptr, nullptr},
    {"__doc__", get_doc, nullptr, nullptr, nullptr},
    {"__defaults__", get_defaults, nullptr, nullptr, nullptr},
    {"__signature__", get_signature, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMemberDef members[] = {
    {"__vectorcalloffset__", T_PYSSIZET, offsetof(BacktestFunction, vectorcall), READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyType_Slot type_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc)},
    {Py_tp_call, reinterpret_cast<void*>(PyVectorcall_Call)},
    {Py_tp_descr_get, reinterpret_cast<void*>(descr_get)},
    {Py_tp_getset, getset},
    {Py_tp_members, members},
    {Py_tp_methods, type_methods},
    {0, nullptr},
};

PyType_Spec type_spec = {
    "mirelo.core.tradesim.backtest_function",
    sizeof(BacktestFunction),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_VECTORCALL | Py_TPFLAGS_DISALLOW_INSTANTIATION |
        Py_TPFLAGS_IMMUTABLETYPE,
    type_slots,
};

// The rules' defaults, then None for delisting_bars; the infinities are
// NumPy's inf, read at import.
py::Ref make_defaults() {
    py::Ref inf = numpy_attr("inf");
    py::Ref rules = glue::rule_defaults(glue::EntryPoint::Backtest, inf.get());
    py::Ref none = py::check(PyTuple_Pack(1, Py_None));
    return py::check(PySequence_Concat(rules.get(), none.get()));
}

}  // namespace

py::Ref make_backtest_function(PyObject* module) {
    py::Ref type = py::check(PyType_FromModuleAndSpec(module, &type_spec, nullptr));
    py::Ref defaults = make_defaults();
    set_backtest_defaults(defaults.get());
    auto* tp = reinterpret_cast<PyTypeObject*>(type.get());
    py::Ref self = py::check(tp->tp_alloc(tp, 0));
    auto* f = reinterpret_cast<BacktestFunction*>(self.get());
    f->vectorcall = call;
    f->defaults = defaults.release();
    f->signature = nullptr;
    return self;
}

}  // namespace mirelo::tradesim
