#include "excursion/analysis.h"

#include "excursion/price_grid.h"
#include "kernel/excursion_profile.h"
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

    void write_group(std::int64_t first, const core::Group& group,
                     std::source_location loc = std::source_location::current()) {
        for (std::size_t i = 0; i < kGroupSize; ++i) set(static_cast<Py_ssize_t>(first + static_cast<std::int64_t>(i)), group[i], loc);
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
        PyObject* np = s.globals.find(g_org_np);
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

// The direction as the walk asks for it: fixed (core::FixedDirection), or the
// truth of an object, asked at every use.
using core::FixedDirection;

struct TruthDirection {
    PyObject* is_long;
    bool operator()(std::source_location loc = std::source_location::current()) const {
        return py::truth(is_long, loc);
    }
};

// What the analysis reads of the module state, read at each use: price
// reads and truth tests may run Python code that changes it.
struct ModuleContext {
    const ModuleState& s = state();
    std::int64_t current_date() const { return s.current_date; }
    int window() const { return s.window; }
    int window_step() const { return s.window_step; }
    double fee_ratio() const { return s.fee_ratio; }
    double tax_ratio() const { return s.tax_ratio; }
    Profile new_profile(std::int64_t length) const { return excursion::new_profile(length); }
};

template <typename Grid, typename Dir>
Ref analyse_with(const Grid& price, const Grid& close, int col, std::int64_t entry, Dir is_long, int is_new,
                 int is_final) {
    ModuleContext ctx;
    return core::excursion_profile(ctx, price, close, col, entry, is_long, is_new, is_final).release();
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
