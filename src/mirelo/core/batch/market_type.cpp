// The Market type: construction, run, run_many and the attributes.
#include "batch/market_type.h"
#include "glue/messages.h"

#include "batch/executor.h"
#include "batch/state.h"
#include "glue/rule_texts.h"
#include "pyutil/args.h"

#include <memory>
#include <string>
#include <vector>

namespace mirelo::batch {
namespace {

constexpr const char kFile[] = "mirelo/core/batch/market_type.cpp";

struct MarketObject {
    PyObject_HEAD
    MarketData* data;
};

MarketData& market_of(PyObject* self) { return *reinterpret_cast<MarketObject*>(self)->data; }

constexpr const char* kRunArrays[] = {"pos_values", "pos_index", "pos_columns", "resample"};

py::ArgParser& run_parser() {
    static py::ArgParser parser = [] {
        std::vector<const char*> names(std::begin(kRunArrays), std::end(kRunArrays));
        const std::vector<const char*> rules = glue::rule_names(glue::EntryPoint::MarketRun);
        names.insert(names.end(), rules.begin(), rules.end());
        names.push_back("record_holdings");
        return py::ArgParser("run", names, 4, 4);
    }();
    return parser;
}

// ---- construction ----------------------------------------------------------

PyObject* market_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    static const py::TraceSite site{"mirelo.core.batch.Market", kFile};
    static py::ArgParser parser{"Market", std::vector<const char*>(std::begin(kMarketParams), std::end(kMarketParams)),
                                7};
    return py::guarded(site, static_cast<PyObject*>(nullptr), [&] {
        PyObject* a[8];
        parser.parse_tuple(args, kwargs, a);
        auto data = std::make_unique<MarketData>();
        build_market(*data, a);
        py::Ref self = py::check(type->tp_alloc(type, 0));
        reinterpret_cast<MarketObject*>(self.get())->data = data.release();
        return self.release();
    });
}

void market_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    delete reinterpret_cast<MarketObject*>(self)->data;
    type->tp_free(self);
    Py_DECREF(type);
}

// ---- running ---------------------------------------------------------------

// Whether this is the interpreter's main thread, the one its signal handlers
// run on.
bool on_main_thread() {
    static const unsigned long main_ident = [] {
        py::Ref threading = py::check(PyImport_ImportModule("threading"));
        py::Ref main = py::check(PyObject_CallMethod(threading.get(), "main_thread", nullptr));
        py::Ref ident = py::check(PyObject_GetAttrString(main.get(), "ident"));
        return PyLong_AsUnsignedLong(ident.get());
    }();
    return PyThread_get_thread_ident() == main_ident;
}

// The result of a finished run, or its failure raised.
py::Ref result_of(RunInput& run, RunOutcome& outcome) {
    if (outcome.failure) raise_run_failure(run, outcome.failure);
    return make_result(run, outcome.output);
}

// One run.  On the main thread it runs on a native thread while this one
// serves Ctrl-C; elsewhere (no signal arrives there) on this thread, the
// interpreter lock released.
py::Ref execute_one(RunInput& run) {
    if (!on_main_thread()) {
        RunOutcome outcome;
        Py_BEGIN_ALLOW_THREADS
        try {
            outcome.output = execute(run);
        } catch (...) {
            outcome.failure = std::current_exception();
        }
        Py_END_ALLOW_THREADS
        return result_of(run, outcome);
    }
    std::vector<RunInput*> runs{&run};
    std::vector<RunOutcome> outcomes;
    py::Ref result;
    run_on_threads(runs, outcomes, 1, true, [&](std::size_t k) { result = result_of(run, outcomes[k]); });
    return result;
}

const char kRunIntro[] =
    "Run one backtest of a weight matrix on this market and return a RunResult.\n"
    "\n"
    "The arguments, and the rules that backtest_ takes too, are those of\n"
    "mirelo.core.tradesim.backtest_, with the same defaults, checks and messages,\n"
    "and every number rule is checked against its range (below).  With the rules\n"
    "only backtest_ does not take at their defaults, the results are those of\n"
    "backtest_ bit for bit: the value path, the trades of mirelo.core.excursion\n"
    "(trades, trade_positions), their profiles (excursion) and\n"
    "get_stock_operations().\n"
    "stop_trading_next_period is tested for truth once.  The run keeps no state\n"
    "and releases the interpreter lock: any number of threads may run backtests on\n"
    "one market at once.  Ctrl-C stops a run within milliseconds.\n"
    "\n"
    "  pos_values     2-D float64, position dates x position columns (NaN refused in\n"
    "                 a row that a rebalance uses)\n"
    "  pos_index      1-D int64, the date of each row (ascending)\n"
    "  pos_columns    1-D object array of str, matched to the price columns by name\n"
    "  resample       1-D int64 rebalance dates\n";

const char kRecordDoc[] =
    "\n"
    "Every run reports the money each bar traded, the costs it paid and the number\n"
    "of holdings it ended with (RunResult.traded, costs, holdings_count).\n"
    "record_holdings=True (tested for truth) also records, for every bar after its\n"
    "trades, the money value of each holding at the close, the cash and each\n"
    "stock's net fills (RunResult.holdings_offsets and the attributes beside it);\n"
    "otherwise they are None.\n";

// The text signature (for inspect and help()), the description, the rule
// lines and record_holdings, made once.
const char* run_doc() {
    static const std::string doc = [] {
        std::vector<std::string> params = {"$self"};
        params.insert(params.end(), std::begin(kRunArrays), std::end(kRunArrays));
        params.emplace_back("*");
        const std::vector<std::string> rules = glue::rule_parameters(glue::EntryPoint::MarketRun, true);
        params.insert(params.end(), rules.begin(), rules.end());
        params.emplace_back("record_holdings=False");
        return glue::call_text("run", params) + "\n--\n\n" + kRunIntro + glue::rules_doc(glue::EntryPoint::MarketRun) +
               kRecordDoc;
    }();
    return doc.c_str();
}

PyObject* market_run(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const py::TraceSite site{"mirelo.core.batch.Market.run", kFile};
    return py::guarded(site, static_cast<PyObject*>(nullptr), [&] {
        PyObject* a[kRunParamCount];
        run_parser().parse(args, static_cast<size_t>(nargs), kwnames, a);
        RunInput run;
        prepare_run(run, market_of(self), a, state().rule_defaults.get());
        return execute_one(run).release();
    });
}

// ---- run_many --------------------------------------------------------------

bool was_cancelled(const std::exception_ptr& failure) {
    if (!failure) return false;
    try {
        std::rethrow_exception(failure);
    } catch (const core::Cancelled&) {
        return true;
    } catch (...) {
        return false;
    }
}

// "in job <k> of run_many" on the pending exception.
void add_job_note(std::size_t k) {
    PyObject* exc = py::fetch_exception();
    if (exc == nullptr) return;
    py::Ref note = py::Ref::steal(PyUnicode_FromFormat(msg::kJobNote, k));
    if (note) {
        py::Ref done = py::Ref::steal(PyObject_CallMethod(exc, "add_note", "O", note.get()));
        if (!done) PyErr_Clear();
    } else {
        PyErr_Clear();
    }
    py::restore_exception(exc);
}

// The pending exception as an object, with the traceback entry of run.
py::Ref exception_object(std::size_t k) {
    static const py::TraceSite site{"mirelo.core.batch.Market.run", kFile};
    try {
        throw;
    } catch (...) {
        py::handle_exception(site);
    }
    add_job_note(k);
    return py::Ref::steal(py::fetch_exception());
}

// The arguments of job k: a mapping with the names of run's parameters.
void prepare_job(RunInput& run, const MarketData& market, PyObject* job, std::size_t k) {
    if (!PyMapping_Check(job) || PyList_Check(job) || PyTuple_Check(job)) {
        py::raise_format(PyExc_TypeError, msg::kJobNotMapping, k,
                         Py_TYPE(job)->tp_name);
    }
    py::Ref items = py::check(PyMapping_Items(job));
    const Py_ssize_t n = PyList_GET_SIZE(items.get());
    py::Ref kwnames = py::check(PyTuple_New(n));
    std::vector<PyObject*> values;
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject* pair = PyList_GET_ITEM(items.get(), i);
        if (!PyTuple_Check(pair) || PyTuple_GET_SIZE(pair) != 2) {
            py::raise(PyExc_TypeError, msg::kItemsNotPairs);
        }
        PyTuple_SET_ITEM(kwnames.get(), i, Py_NewRef(PyTuple_GET_ITEM(pair, 0)));
        values.push_back(PyTuple_GET_ITEM(pair, 1));
    }
    PyObject* a[kRunParamCount];
    run_parser().parse(values.data(), 0, kwnames.get(), a);
    prepare_run(run, market, a, state().rule_defaults.get());
}

int threads_argument(PyObject* threads) {
    if (threads == nullptr || threads == Py_None) return default_threads();
    const long n = PyLong_AsLong(threads);
    if (n == -1 && PyErr_Occurred()) py::throw_pending();
    if (n < 1) py::raise_format(PyExc_ValueError, msg::kThreadsAtLeastOne, n);
    return n > 1024 ? 1024 : static_cast<int>(n);
}

bool return_errors(PyObject* errors) {
    if (errors == nullptr) return false;
    if (PyUnicode_Check(errors)) {
        if (PyUnicode_CompareWithASCIIString(errors, "raise") == 0) return false;
        if (PyUnicode_CompareWithASCIIString(errors, "return") == 0) return true;
    }
    py::raise_format(PyExc_ValueError, msg::kErrorsArgument, errors);
}

const char kRunManyDoc[] =
    "run_many(jobs, threads=None, errors='raise')\n"
    "--\n\n"
    "Run many backtests on this market on native threads and return their\n"
    "results in job order.\n"
    "\n"
    "  jobs     iterable of mappings, each with the arguments of run() by name\n"
    "  threads  number of native threads (default: the machine's cores)\n"
    "  errors   'raise': the first failing job (in job order) raises, the jobs not\n"
    "           yet started are not run; 'return': a failing job's exception takes\n"
    "           its place in the list and the other jobs run.\n"
    "\n"
    "The arguments of every job are checked before any job runs.  Ctrl-C cancels\n"
    "the jobs not yet finished and raises KeyboardInterrupt within a second.";

PyObject* market_run_many(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const py::TraceSite site{"mirelo.core.batch.Market.run_many", kFile};
    static py::ArgParser parser{"run_many", {"jobs", "threads", "errors"}, 1};
    return py::guarded(site, static_cast<PyObject*>(nullptr), [&] {
        PyObject* a[3];
        parser.parse(args, static_cast<size_t>(nargs), kwnames, a);
        const int threads = threads_argument(a[1]);
        const bool keep_going = return_errors(a[2]);
        const MarketData& market = market_of(self);

        py::Ref jobs = py::check(PySequence_List(a[0]));
        const std::size_t n = static_cast<std::size_t>(PyList_GET_SIZE(jobs.get()));
        py::Ref results = py::check(PyList_New(static_cast<Py_ssize_t>(n)));
        for (std::size_t k = 0; k < n; ++k) PyList_SET_ITEM(results.get(), static_cast<Py_ssize_t>(k), Py_NewRef(Py_None));

        std::vector<std::unique_ptr<RunInput>> inputs(n);
        std::vector<RunInput*> runnable;
        std::vector<std::size_t> job_of;
        for (std::size_t k = 0; k < n; ++k) {
            inputs[k] = std::make_unique<RunInput>();
            try {
                prepare_job(*inputs[k], market, PyList_GET_ITEM(jobs.get(), static_cast<Py_ssize_t>(k)), k);
            } catch (...) {
                py::Ref exc = exception_object(k);
                if (!keep_going) {
                    py::restore_exception(exc.release());
                    py::throw_pending();
                }
                PyList_SetItem(results.get(), static_cast<Py_ssize_t>(k), exc.release());
                continue;
            }
            runnable.push_back(inputs[k].get());
            job_of.push_back(k);
        }

        std::vector<RunOutcome> outcomes;
        std::size_t first_failure = n;
        run_on_threads(runnable, outcomes, threads, !keep_going, [&](std::size_t i) {
            const std::size_t k = job_of[i];
            // Stopped because another job failed: that job's exception is raised.
            if (was_cancelled(outcomes[i].failure)) return;
            try {
                py::Ref result = result_of(*runnable[i], outcomes[i]);
                PyList_SetItem(results.get(), static_cast<Py_ssize_t>(k), result.release());
            } catch (...) {
                py::Ref exc = exception_object(k);
                if (keep_going) {
                    PyList_SetItem(results.get(), static_cast<Py_ssize_t>(k), exc.release());
                } else if (k < first_failure) {
                    first_failure = k;
                    PyList_SetItem(results.get(), static_cast<Py_ssize_t>(k), exc.release());
                }
            }
        });
        if (first_failure < n) {
            py::Ref exc = py::Ref::borrow(PyList_GET_ITEM(results.get(), static_cast<Py_ssize_t>(first_failure)));
            py::restore_exception(exc.release());
            py::throw_pending();
        }
        return results.release();
    });
}

// ---- attributes ------------------------------------------------------------

PyObject* get_shape(PyObject* self, void*) {
    const MarketData& m = market_of(self);
    return Py_BuildValue("(nn)", m.price.extent(0), m.price.extent(1));
}

PyObject* get_price_index(PyObject* self, void*) { return Py_NewRef(market_of(self).objects[5].get()); }
PyObject* get_price_columns(PyObject* self, void*) { return Py_NewRef(market_of(self).objects[6].get()); }
PyObject* get_delisting_bars(PyObject* self, void*) { return Py_NewRef(market_of(self).objects[7].get()); }

PyObject* market_repr(PyObject* self) {
    const MarketData& m = market_of(self);
    return PyUnicode_FromFormat("Market(bars=%zd, columns=%zd)", m.price.extent(0), m.price.extent(1));
}

PyMethodDef methods[] = {
    {"run", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(market_run)), METH_FASTCALL | METH_KEYWORDS,
     nullptr},  // run_doc(), set by market_type_description()
    {"run_many", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(market_run_many)),
     METH_FASTCALL | METH_KEYWORDS, kRunManyDoc},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef getset[] = {
    {"shape", get_shape, nullptr, "(bars, price columns)", nullptr},
    {"price_index", get_price_index, nullptr, "The date of every bar, as given.", nullptr},
    {"price_columns", get_price_columns, nullptr, "The stock of every price column, as given.", nullptr},
    {"delisting_bars", get_delisting_bars, nullptr, "The delisting bar of every price column, or None.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

const char kMarketDoc[] =
    "Market(price_values, close_values, high_values, low_values, open_values, price_index,\n"
    "       price_columns, delisting_bars=None)\n"
    "--\n\n"
    "The price side of many backtests: checked once, then read in place (never\n"
    "copied) by every run, from any number of threads.\n"
    "\n"
    "  price_values, close_values, high_values, low_values, open_values\n"
    "                 2-D float64 arrays of one shape, bars x price columns (NaN =\n"
    "                 missing); C or Fortran order, strided views, read-only arrays,\n"
    "                 np.memmap and other ndarray subclasses all run at full speed\n"
    "  price_index    1-D int64, the date of every bar, ascending\n"
    "  price_columns  1-D object array of str, the stock of every price column\n"
    "  delisting_bars None, or 1-D int64 with the bar at which each price column's\n"
    "                 stock is closed for good (negative: never).  Runs look it up by\n"
    "                 name; backtest_ takes the same bars per position column.\n"
    "\n"
    "Market.run runs one backtest, Market.run_many many at once.";

PyType_Slot slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(market_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(market_dealloc)},
    {Py_tp_repr, reinterpret_cast<void*>(market_repr)},
    {Py_tp_methods, methods},
    {Py_tp_getset, getset},
    {Py_tp_doc, const_cast<char*>(kMarketDoc)},
    {0, nullptr},
};

}  // namespace

PyType_Spec& market_type_description() {
    static PyType_Spec market_type = {
        "mirelo.core.batch.Market",
        sizeof(MarketObject),
        0,
        Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE,
        slots,
    };
    methods[0].ml_doc = run_doc();
    return market_type;
}

}  // namespace mirelo::batch
