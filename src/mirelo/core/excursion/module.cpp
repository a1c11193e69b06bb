// mirelo.core.excursion: records the trades of one backtest as the engine
// reports entries and exits, and keeps every trade's excursion profile.
//
// The module has no Python functions.  The engine drives it through the native
// entry points of its "__pyx_capi__" table: start_analysis once per run,
// record_date per bar, record_entry / record_exit per trade event, and
// end_analysis for the positions still open after the last bar.  The results
// are the module lists trades, trade_positions and excursion.
#include "excursion/analysis.h"
#include "pyutil/messages.h"
#include "excursion/price_grid.h"
#include "excursion/state.h"
#include "pyutil/args.h"
#include "pyutil/indexing.h"
#include "pyutil/buffer.h"
#include "pyutil/capsule.h"
#include "pyutil/single_module.h"
#include "pyutil/numpy_api.h"

#include <climits>
#include <cstdint>
#include <cstring>
#include <utility>

namespace mirelo::excursion {

namespace {

namespace api = excursion_api;
using py::Ref;

constexpr const char kFile[] = "mirelo/core/excursion/module.cpp";

GlobalName g_trades{"trades"};
GlobalName g_trade_positions{"trade_positions"};
GlobalName g_excursion{"excursion"};

PyObject* method_name(const char* text, PyObject*& cache) {
    if (cache == nullptr) cache = py::check(PyUnicode_InternFromString(text)).release();
    return cache;
}

// `target.append(item)`: a list directly, anything else by its method.
void append(PyObject* target, PyObject* item, std::source_location loc = std::source_location::current()) {
    if (PyList_CheckExact(target)) {
        py::check_status(PyList_Append(target, item), loc);
        return;
    }
    static PyObject* name = nullptr;
    py::check(PyObject_CallMethodOneArg(target, method_name("append", name), item), loc);
}

void clear(PyObject* target, std::source_location loc = std::source_location::current()) {
    static PyObject* name = nullptr;
    py::check(PyObject_CallMethodNoArgs(target, method_name("clear", name)), loc);
}

// ---- Per-sid array elements -----------------------------------------------
//
// The per-sid arrays are NumPy arrays that the engine (and any importer of the
// export table) can reach and change.  Each access below checks again whether
// the array is a plain ndarray (py::plain_vector) of an element type it knows;
// such an element is read or written in place, with the result and the errors
// of NumPy's integer indexing.  Anything else is indexed through Python.

template <typename T>
T load(const char* p) {
    T v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

char* element(const py::PlainVector& v, int index, std::source_location loc) {
    return v.data + py::numpy_index(index, 0, v.size, loc) * v.stride;
}

bool is_int(py::PlainElem e) { return e == py::PlainElem::Int32 || e == py::PlainElem::Int64; }

std::int64_t load_int(const py::PlainVector& v, const char* p) {
    return v.elem == py::PlainElem::Int64 ? load<std::int64_t>(p) : load<std::int32_t>(p);
}

// `array[index]`.
Ref get_item(PyObject* array, int index, std::source_location loc = std::source_location::current()) {
    py::PlainVector v;
    if (py::plain_vector(array, &v)) return py::element_scalar(array, element(v, index, loc), loc);
    return py::item_at(array, index, loc);
}

// `int(array[index])` as a 32-bit int.
int get_int32(PyObject* array, int index, std::source_location loc = std::source_location::current()) {
    py::PlainVector v;
    if (py::plain_vector(array, &v) && is_int(v.elem)) {
        const std::int64_t x = load_int(v, element(v, index, loc));
        if (x < INT_MIN || x > INT_MAX) py::raise(PyExc_OverflowError, msg::kIntOverflow, loc);
        return static_cast<int>(x);
    }
    return py::to_int32(get_item(array, index, loc).get(), loc);
}

// `array[index] > 0`: a plain bool for a plain numeric element, otherwise the
// object the comparison gives, kept alive in `result`.
Direction above_zero(PyObject* array, int index, Ref& result,
                     std::source_location loc = std::source_location::current()) {
    py::PlainVector v;
    if (py::plain_vector(array, &v)) {
        if (v.elem == py::PlainElem::Float64) return {nullptr, load<double>(element(v, index, loc)) > 0.0};
        if (is_int(v.elem)) return {nullptr, load_int(v, element(v, index, loc)) > 0};
    }
    Ref zero = py::check(PyLong_FromLong(0), loc);
    result = py::check(PyObject_RichCompare(get_item(array, index, loc).get(), zero.get(), Py_GT), loc);
    return {result.get(), false};
}

// `array[index] = value`, value an int.
void set_int(PyObject* array, int index, int value, std::source_location loc = std::source_location::current()) {
    py::PlainVector v;
    if (py::plain_vector(array, &v) && v.writable && is_int(v.elem)) {
        char* p = element(v, index, loc);
        if (v.elem == py::PlainElem::Int64) {
            const std::int64_t x = value;
            std::memcpy(p, &x, sizeof x);
        } else {
            const std::int32_t x = value;
            std::memcpy(p, &x, sizeof x);
        }
        return;
    }
    Ref key = py::check(PyLong_FromLong(index), loc);
    Ref item = py::check(PyLong_FromLong(value), loc);
    py::check_status(PyObject_SetItem(array, key.get(), item.get()), loc);
}

// `array[index] = value`, value a float.
void set_float(PyObject* array, int index, double value,
               std::source_location loc = std::source_location::current()) {
    py::PlainVector v;
    if (py::plain_vector(array, &v) && v.writable && v.elem == py::PlainElem::Float64) {
        std::memcpy(element(v, index, loc), &value, sizeof value);
        return;
    }
    Ref key = py::check(PyLong_FromLong(index), loc);
    Ref item = py::check(PyFloat_FromDouble(value), loc);
    py::check_status(PyObject_SetItem(array, key.get(), item.get()), loc);
}

PyObject* as_object(PyArrayObject* array) {
    return array != nullptr ? reinterpret_cast<PyObject*>(array) : Py_None;
}

// `org_np.zeros(count, dtype=dtype)`, which must be an ndarray.
Ref sid_array(int count, PyObject* dtype, std::source_location loc = std::source_location::current()) {
    Ref zeros = numpy_attr("zeros", loc);
    Ref size = py::check(PyLong_FromLong(count), loc);
    Ref array = call_with_dtype(zeros.get(), size.get(), dtype, loc);
    if (!PyObject_TypeCheck(array.get(), py::ndarray_type())) {
        py::raise_format(PyExc_TypeError, {"org_np.zeros returned %.200s, not a numpy.ndarray", loc},
                         Py_TYPE(array.get())->tp_name);
    }
    return array;
}

// Appends one trade: [sid, entry bar, exit_bar] to trades, its position to
// trade_positions, its profile to excursion (in this order, nothing undone on
// failure).  The profile is analysed up to the current date whatever
// exit_bar says.  A position of 0 or NaN is not greater than 0: a short.
void record_trade(int sid, PyObject* exit_bar, int is_final) {
    ModuleState& s = state();
    // Held: the appends below may run Python code.
    const Ref entry = Ref::borrow(as_object(s.entry));
    const Ref position = Ref::borrow(as_object(s.position));
    const Ref entry_is_new = Ref::borrow(s.entry_is_new.get());

    Ref trades = state().globals.get(g_trades);
    Ref sid_obj = py::check(PyLong_FromLong(sid));
    Ref trade = py::check(PyList_New(3));
    PyList_SET_ITEM(trade.get(), 0, sid_obj.new_ref());
    PyList_SET_ITEM(trade.get(), 1, get_item(entry.get(), sid).release());
    PyList_SET_ITEM(trade.get(), 2, Py_NewRef(exit_bar));
    append(trades.get(), trade.get());

    Ref positions = state().globals.get(g_trade_positions);
    append(positions.get(), get_item(position.get(), sid).get());

    Ref profiles = state().globals.get(g_excursion);
    const int entry_bar = get_int32(entry.get(), sid);
    Ref compared;
    const Direction is_long = above_zero(position.get(), sid, compared);
    const int is_new = get_int32(entry_is_new.get(), sid);
    Ref profile = py::check(excursion_analysis(sid, entry_bar, s.current_date, is_long, is_new, is_final));
    append(profiles.get(), profile.get());
}

// ---- Entry points ----------------------------------------------------------

// Checks `matrix` as a 2-D float64 buffer (None passes); the view is not kept.
void validate_matrix(PyObject* matrix, std::source_location loc = std::source_location::current()) {
    [[maybe_unused]] auto view = py::BufferView<double, 2>::acquire(matrix, py::Access::ReadOnly, loc);
}

// 1. Check both matrices as 2-D float64 buffers (None allowed), then store
//    them; 2. copy the column map; 3. window and step; 4. empty the three
//    result lists in place; 5. new per-sid arrays; 6. fee and tax ratios.
void start_analysis_impl(PyArrayObject* price_matrix, PyArrayObject* close_matrix,
                         std::map<int, int>&& col_map, int stock_count, double fee_ratio,
                         double tax_ratio, int window, int window_step) {
    ModuleState& s = state();
    PyObject* price = as_object(price_matrix);
    PyObject* close = as_object(close_matrix);
    validate_matrix(price);
    validate_matrix(close);

    s.price_matrix = Ref::borrow(price);
    s.close_matrix = Ref::borrow(close);
    s.col_map = std::move(col_map);
    s.window = window;
    s.window_step = window_step;

    clear(state().globals.get(g_trades).get());
    clear(state().globals.get(g_trade_positions).get());
    clear(state().globals.get(g_excursion).get());

    PyObject* int_type = reinterpret_cast<PyObject*>(&PyLong_Type);
    PyObject* float_type = reinterpret_cast<PyObject*>(&PyFloat_Type);
    replace_array(s.entry, sid_array(stock_count, int_type));
    replace_array(s.position, sid_array(stock_count, float_type));
    s.entry_is_new = sid_array(stock_count, int_type);

    s.fee_ratio = fee_ratio;
    s.tax_ratio = tax_ratio;
}

void start_analysis(PyArrayObject* price_matrix, PyArrayObject* close_matrix, std::map<int, int> col_map,
                    int stock_count, double fee_ratio, double tax_ratio, int window,
                    int window_step) noexcept {
    static const py::TraceSite site{"mirelo.core.excursion.start_analysis", kFile};
    py::guarded(site, 0, [&] {
        start_analysis_impl(price_matrix, close_matrix, std::move(col_map), stock_count, fee_ratio,
                            tax_ratio, window, window_step);
        return 0;
    });
}

void record_date(int bar) noexcept { state().current_date = bar; }

void record_entry(int sid, double position, int is_new) noexcept {
    static const py::TraceSite site{"mirelo.core.excursion.record_entry", kFile};
    py::guarded(site, 0, [&] {
        ModuleState& s = state();
        set_int(as_object(s.entry), sid, s.current_date);
        set_float(as_object(s.position), sid, position);
        set_int(s.entry_is_new.get(), sid, is_new);
        return 0;
    });
}

void record_exit(int sid, int is_final) noexcept {
    static const py::TraceSite site{"mirelo.core.excursion.record_exit", kFile};
    py::guarded(site, 0, [&] {
        Ref exit_bar = py::check(PyLong_FromLong(state().current_date));
        record_trade(sid, exit_bar.get(), is_final);
        return 0;
    });
}

// The open positions, in ascending sid, as trades without an exit (exit bar
// -1, no exit costs).  Only whether a value is 0.0 matters; NaN is not.
PyObject* end_analysis(std::map<int, double>& open_positions) noexcept {
    static const py::TraceSite site{"mirelo.core.excursion.end_analysis", kFile};
    return py::guarded(site, static_cast<PyObject*>(nullptr), [&] {
        if (!open_positions.empty()) {
            Ref no_exit = py::check(PyLong_FromLong(-1));
            for (const auto& [sid, value] : open_positions) {
                if (value != 0.0) record_trade(sid, no_exit.get(), 0);
            }
        }
        return Py_NewRef(Py_None);
    });
}

// The signatures are checked here against the shared header.
constexpr api::StartAnalysisFn kStartAnalysis = start_analysis;
constexpr api::RecordDateFn kRecordDate = record_date;
constexpr api::RecordEntryFn kRecordEntry = record_entry;
constexpr api::RecordExitFn kRecordExit = record_exit;
constexpr api::EndAnalysisFn kEndAnalysis = end_analysis;

template <typename Fn>
void* function_address(Fn fn) {
    return reinterpret_cast<void*>(fn);
}

// ---- Module initialisation -------------------------------------------------

// The variables first, then the functions, in the order importers bind them.
Ref export_table() {
    ModuleState& s = state();
    void* const addresses[api::kExportCount] = {
        &s.entry, &s.position, function_address(kStartAnalysis), function_address(kRecordDate),
        function_address(kRecordEntry), function_address(kRecordExit), function_address(kEndAnalysis)};
    Ref table = py::check(PyDict_New());
    for (int k = 0; k < api::kExportCount; ++k) {
        py::export_capsule(table.get(), api::kExports[k].name, addresses[k], api::kExports[k].signature);
    }
    return table;
}

void add_list(PyObject* module, const char* name) {
    Ref list = py::check(PyList_New(0));
    py::check_status(PyModule_AddObjectRef(module, name, list.get()));
}

// 1. NumPy's C API and numpy as org_np; 2. the three result lists; 3. the
// load-time arrays (0 x 0 price matrices, empty per-sid arrays); 4. the
// export table.
void initialise(PyObject* module) {
    ModuleState& s = state();
    s.globals.bind(module);
    py::import_numpy_capi();
    Ref numpy = py::check(PyImport_ImportModule("numpy"));
    py::check_status(PyModule_AddObjectRef(module, "org_np", numpy.get()));

    add_list(module, "trades");
    add_list(module, "trade_positions");
    add_list(module, "excursion");

    Ref empty = numpy_attr("empty");
    Ref float64 = numpy_attr("float64");
    s.numpy_module = Ref::borrow(numpy.get());
    s.numpy_empty = Ref::borrow(empty.get());
    s.numpy_float64 = Ref::borrow(float64.get());
    Ref no_bars = py::check(Py_BuildValue("(ii)", 0, 0));
    s.price_matrix = call_with_dtype(empty.get(), no_bars.get(), float64.get());
    s.close_matrix = call_with_dtype(empty.get(), no_bars.get(), float64.get());
    PyObject* int_type = reinterpret_cast<PyObject*>(&PyLong_Type);
    PyObject* float_type = reinterpret_cast<PyObject*>(&PyFloat_Type);
    replace_array(s.entry, sid_array(0, int_type));
    replace_array(s.position, sid_array(0, float_type));
    s.entry_is_new = sid_array(0, int_type);

    Ref table = export_table();
    py::check_status(PyModule_AddObjectRef(module, "__pyx_capi__", table.get()));
}

void reset() noexcept { state().reset(); }

py::SingleModule g_module{
    "excursion",
    "Trade excursion analytics: the trades of the last backtest (trades,\n"
    "trade_positions) and their excursion profiles (excursion).  The entry points\n"
    "are native, published in __pyx_capi__.",
    {"mirelo.core.excursion.<module init>", kFile}, initialise, reset};

}  // namespace

}  // namespace mirelo::excursion

PyMODINIT_FUNC PyInit_excursion() { return mirelo::excursion::g_module.init(); }
