#include "excursion/analysis.h"

#include "excursion/path.h"
#include "excursion/price_grid.h"
#include "excursion/state.h"
#include "pyutil/args.h"
#include "pyutil/buffer.h"
#include "pyutil/numpy_api.h"

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstdint>

namespace mirelo::excursion {

namespace {

using core::kGroupSize;
using py::raise;
using py::Ref;

constexpr const char kFile[] = "mirelo/core/excursion/analysis.cpp";

// (window - 1) // window_step with Python's floor division: the number of
// sampled groups after the first.  The quotient is a 32-bit int, so the one
// division whose result does not fit (the smallest int by -1) is refused.
std::int64_t sample_count(int window, int window_step,
                          std::source_location loc = std::source_location::current()) {
    if (window_step == 0) raise(PyExc_ZeroDivisionError, "integer division or modulo by zero", loc);
    const std::int64_t numerator = std::int64_t{window} - 1;
    std::int64_t q = numerator / window_step;
    if (numerator % window_step != 0 && (numerator < 0) != (window_step < 0)) --q;
    if (q > INT_MAX) raise(PyExc_OverflowError, "value too large to perform division", loc);
    return q;
}

// The profile being written: a buffer view of whatever org_np.empty returned,
// or the memory of an array made here.  Each write is bounds-tested.
class Profile {
public:
    // A profile made by calling org_np.empty and fill as Python code would.
    explicit Profile(Ref array, std::source_location loc = std::source_location::current())
        : array_(std::move(array)),
          view_(py::BufferView<double, 1>::acquire(array_.get(), py::Access::Writable, loc)),
          length_(view_.extent(0)) {}
    // An array made here, `length` elements at `data`.
    Profile(Ref array, double* data, Py_ssize_t length)
        : array_(std::move(array)), data_(data), length_(length) {}

    Py_ssize_t length() const { return length_; }

    void set(Py_ssize_t i, double value, std::source_location loc = std::source_location::current()) {
        if (data_ == nullptr) return view_.set(i, value, loc);
        if (i < 0) i += length_;
        if (i < 0 || i >= length_) py::raise_out_of_bounds(0, loc);
        data_[i] = value;
    }

    void write_group(Py_ssize_t first, const core::Group& group,
                     std::source_location loc = std::source_location::current()) {
        for (std::size_t i = 0; i < kGroupSize; ++i) set(first + static_cast<Py_ssize_t>(i), group[i], loc);
    }

    Ref release() { return std::move(array_); }

private:
    Ref array_;
    py::BufferView<double, 1> view_;
    double* data_ = nullptr;
    Py_ssize_t length_ = 0;
};

// `org_np.empty(length, dtype=org_np.float64)`, then `.fill(-1)`: every group
// the analysis does not reach keeps -1.0.
Profile new_profile_by_calls(std::int64_t length) {
    static PyObject* fill_name = nullptr;
    if (fill_name == nullptr) fill_name = py::check(PyUnicode_InternFromString("fill")).release();
    Ref empty = numpy_attr("empty");
    Ref size = py::check(PyLong_FromLongLong(length));
    Ref float64 = numpy_attr("float64");
    Ref profile = call_with_dtype(empty.get(), size.get(), float64.get());
    Ref minus_one = py::check(PyLong_FromLong(-1));
    py::check(PyObject_CallMethodOneArg(profile.get(), fill_name, minus_one.get()));
    return Profile(std::move(profile));
}

// Longer profiles are left to the calls, whatever NumPy makes of them.
constexpr std::int64_t kLongestMadeProfile = std::int64_t{1} << 24;

// The profile of `length` elements, all -1.0.  While org_np is still the
// numpy module of the load (a plain module, whose attributes are the entries
// of its dictionary) and its `empty` and `float64` are those of the load, the
// calls would only make a C-ordered float64 array and fill it, with no other
// effect: the array is then made here.  Otherwise the calls do it.  Deciding
// takes only dictionary lookups, which run no Python code.
Profile new_profile(std::int64_t length) {
    ModuleState& s = state();
    if (length >= 0 && length <= kLongestMadeProfile) {
        PyObject* np = find_module_global(g_org_np);
        if (np != nullptr && np == s.numpy_module.get() && Py_TYPE(np) == &PyModule_Type) {
            static PyObject* empty_name = py::check(PyUnicode_InternFromString("empty")).release();
            static PyObject* float64_name = py::check(PyUnicode_InternFromString("float64")).release();
            PyObject* dict = PyModule_GetDict(np);
            PyObject* empty = PyDict_GetItemWithError(dict, empty_name);
            if (empty == nullptr && PyErr_Occurred()) py::throw_pending();
            PyObject* float64 = PyDict_GetItemWithError(dict, float64_name);
            if (float64 == nullptr && PyErr_Occurred()) py::throw_pending();
            if (empty == s.numpy_empty.get() && float64 == s.numpy_float64.get()) {
                double* data = nullptr;
                Ref array = py::new_float64_vector(static_cast<Py_ssize_t>(length), &data);
                std::fill_n(data, length, -1.0);
                return Profile(std::move(array), data, static_cast<Py_ssize_t>(length));
            }
        }
    }
    return new_profile_by_calls(length);
}

// The direction as the walk asks for it: fixed, or the truth of an object,
// asked at every use.
struct FixedDirection {
    bool is_long;
    bool operator()(std::source_location = std::source_location::current()) const { return is_long; }
};

struct TruthDirection {
    PyObject* is_long;
    bool operator()(std::source_location loc = std::source_location::current()) const {
        return py::truth(is_long, loc);
    }
};

// 1. The span: from the entry to the current date, at least `window` bars
//    (also past the exit), at most to the last bar of the data.
// 2. The entry bar's return, with the entry commission for a new position.
// 3. One element per later bar; a bar without a close repeats the return and
//    the next close is compared with the last valid one.
// 4. A final exit re-prices the last bar at its trade price and charges exit
//    commission and tax; only that return changes, the statistics keep the
//    values computed from the close.
// 5. The profile: groups at offsets 0, step, 2 x step, ... below
//    min(window, bars analysed), then the exit bar's group last.
// The module state is read at the points where the steps need it: the reads
// through `Grid` may run Python code (a matrix with its own indexing), and so
// may the truth of `is_long`.
template <typename Grid, typename Dir>
Ref analyse_with(const Grid& price, const Grid& close, int col, std::int64_t entry, Dir is_long,
                 int is_new, int is_final) {
    ModuleState& s = state();
    std::int64_t end = s.current_date;
    if (entry + s.window > end) end = entry + s.window;
    const std::int64_t rows = price.rows();
    if (end >= rows) end = rows - 1;

    const std::int64_t bars = end - entry + 1;
    if (bars < 0) raise(PyExc_OverflowError, "can't convert negative value to size_t");
    core::ExcursionPath path;
    path.reserve(static_cast<std::size_t>(bars));

    const double entry_price = price.at(entry, col);
    const double entry_close = close.at(entry, col);
    if (entry_price == 0.0) raise(PyExc_ZeroDivisionError, "float division");
    double r = core::entry_return(entry_price, entry_close, is_long());
    if (is_new != 0) r = (1.0 - s.fee_ratio) * r;
    path.start(r);

    double last_close = entry_close;
    std::int64_t ith = entry;
    path.walk(static_cast<std::size_t>(bars), [&] {
        ++ith;
        const double c = close.at(ith, col);
        const bool valid = !std::isnan(c);
        if (valid) {
            if (last_close == 0.0) raise(PyExc_ZeroDivisionError, "float division");
            const double ratio = c / last_close;
            last_close = c;
            if (!std::isnan(ratio)) r = core::compound(r, ratio, is_long());
        }
        return core::ExcursionPath::Bar{r, valid};
    });

    if (is_final != 0) {
        if (entry != end) {
            // The last bar is that of the walk, which did not run.
            if (end < entry) {
                py::raise_format(PyExc_UnboundLocalError,
                                 "local variable '%s' referenced before assignment", "ith");
            }
            const double exit_price = price.at(end, col);
            const double exit_close = close.at(end, col);
            if (exit_close == 0.0) raise(PyExc_ZeroDivisionError, "float division");
            path.last_return() =
                core::reprice_at_trade_price(path.last_return(), exit_price, exit_close, is_long());
        }
        path.last_return() *= (1.0 - s.fee_ratio) - s.tax_ratio;
    }

    const int window = s.window;
    const int step = s.window_step;
    const std::int64_t samples = sample_count(window, step);
    Profile out = new_profile((samples + 2) * static_cast<std::int64_t>(kGroupSize));

    // A negative window, as an unsigned size, exceeds any number of bars.
    const std::size_t span = std::min(static_cast<std::size_t>(window), path.size());
    Py_ssize_t w = 0;
    if (step > 0) {
        for (std::size_t d = 0; d < span; d += static_cast<std::size_t>(step)) {
            out.write_group(w, path.group(d));
            w += static_cast<Py_ssize_t>(kGroupSize);
        }
    }

    const std::int64_t last = static_cast<std::int64_t>(path.size()) - 1;
    std::int64_t exit_offset = std::int64_t{s.current_date} - entry;
    if (exit_offset > last || exit_offset < 0) exit_offset = last;
    out.write_group(out.length() - static_cast<Py_ssize_t>(kGroupSize),
                    path.group(static_cast<std::size_t>(exit_offset)));
    return out.release();
}

// The trade's price column, a sid missing from the map added with column 0;
// then the analysis, with the prices read in one of two ways:
// - the matrices are plain 2-D float64 arrays and the direction is a plain
//   bool: no Python code can run while the prices are read, so they are read
//   straight from the arrays' memory;
// - otherwise each matrix is read through a PriceGrid, which keeps its matrix
//   and buffer for the whole analysis, whatever Python code runs meanwhile.
Ref analyse(int sid, std::int64_t entry, Direction direction, int is_new, int is_final) {
    ModuleState& s = state();
    const int col = s.col_map[sid];
    bool is_long = direction.is_long;
    const bool fixed = direction.object == nullptr || py::plain_bool(direction.object, &is_long);
    if (fixed) {
        PlainGrid price;
        PlainGrid close;
        if (price.bind(s.price_matrix.get()) && close.bind(s.close_matrix.get())) {
            return analyse_with(price, close, col, entry, FixedDirection{is_long}, is_new, is_final);
        }
    }
    const PriceGrid price(s.price_matrix.get());
    const PriceGrid close(s.close_matrix.get());
    if (fixed) return analyse_with(price, close, col, entry, FixedDirection{is_long}, is_new, is_final);
    return analyse_with(price, close, col, entry, TruthDirection{direction.object}, is_new, is_final);
}

}  // namespace

PyObject* excursion_analysis(int sid, int entry_bar, int /*exit_bar*/, Direction direction, int is_new,
                             int is_final) noexcept {
    static const py::TraceSite site{"mirelo.core.excursion.excursion_analysis", kFile};
    return py::guarded(site, static_cast<PyObject*>(nullptr),
                       [&] { return analyse(sid, entry_bar, direction, is_new, is_final).release(); });
}

}  // namespace mirelo::excursion
