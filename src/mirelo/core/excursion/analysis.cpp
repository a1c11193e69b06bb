#include "excursion/analysis.h"

#include "excursion/path.h"
#include "excursion/price_grid.h"
#include "excursion/state.h"
#include "pyutil/args.h"
#include "pyutil/buffer.h"

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

// `org_np.empty(length, dtype=org_np.float64)`, then `.fill(-1)`: every group
// the analysis does not reach keeps -1.0.
Ref new_profile(std::int64_t length) {
    static PyObject* fill_name = nullptr;
    if (fill_name == nullptr) fill_name = py::check(PyUnicode_InternFromString("fill")).release();
    Ref empty = numpy_attr("empty");
    Ref size = py::check(PyLong_FromLongLong(length));
    Ref float64 = numpy_attr("float64");
    Ref profile = call_with_dtype(empty.get(), size.get(), float64.get());
    Ref minus_one = py::check(PyLong_FromLong(-1));
    py::check(PyObject_CallMethodOneArg(profile.get(), fill_name, minus_one.get()));
    return profile;
}

void write_group(py::BufferView<double, 1>& profile, Py_ssize_t first, const core::Group& group,
                 std::source_location loc = std::source_location::current()) {
    for (std::size_t i = 0; i < kGroupSize; ++i) {
        profile.set(first + static_cast<Py_ssize_t>(i), group[i], loc);
    }
}

// 1. The trade's price column; a sid missing from the map is added with 0.
// 2. The span: from the entry to the current date, at least `window` bars
//    (also past the exit), at most to the last bar of the data.
// 3. The entry bar's return, with the entry commission for a new position.
// 4. One element per later bar; a bar without a close repeats the return and
//    the next close is compared with the last valid one.
// 5. A final exit re-prices the last bar at its trade price and charges exit
//    commission and tax; only that return changes, the statistics keep the
//    values computed from the close.
// 6. The profile: groups at offsets 0, step, 2 x step, ... below
//    min(window, bars analysed), then the exit bar's group last.
Ref analyse(int sid, std::int64_t entry, PyObject* is_long, int is_new, int is_final) {
    ModuleState& s = state();
    const int col = s.col_map[sid];
    const PriceGrid price(s.price_matrix.get());
    const PriceGrid close(s.close_matrix.get());

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
    double r = core::entry_return(entry_price, entry_close, py::truth(is_long));
    if (is_new != 0) r = (1.0 - s.fee_ratio) * r;
    path.start(r);

    double last_close = entry_close;
    for (std::int64_t ith = entry + 1; ith <= end; ++ith) {
        const double c = close.at(ith, col);
        const bool valid = !std::isnan(c);
        if (valid) {
            if (last_close == 0.0) raise(PyExc_ZeroDivisionError, "float division");
            const double ratio = c / last_close;
            last_close = c;
            if (!std::isnan(ratio)) r = core::compound(r, ratio, py::truth(is_long));
        }
        path.advance(r, valid);
    }

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
                core::reprice_at_trade_price(path.last_return(), exit_price, exit_close, py::truth(is_long));
        }
        path.last_return() *= (1.0 - s.fee_ratio) - s.tax_ratio;
    }

    const int window = s.window;
    const int step = s.window_step;
    const std::int64_t samples = sample_count(window, step);
    Ref profile = new_profile((samples + 2) * static_cast<std::int64_t>(kGroupSize));
    auto out = py::BufferView<double, 1>::acquire(profile.get(), py::Access::Writable);

    // A negative window, as an unsigned size, exceeds any number of bars.
    const std::size_t span = std::min(static_cast<std::size_t>(window), path.size());
    Py_ssize_t w = 0;
    if (step > 0) {
        for (std::size_t d = 0; d < span; d += static_cast<std::size_t>(step)) {
            write_group(out, w, path.group(d));
            w += static_cast<Py_ssize_t>(kGroupSize);
        }
    }

    const std::int64_t last = static_cast<std::int64_t>(path.size()) - 1;
    std::int64_t exit_offset = std::int64_t{s.current_date} - entry;
    if (exit_offset > last || exit_offset < 0) exit_offset = last;
    write_group(out, out.extent(0) - static_cast<Py_ssize_t>(kGroupSize),
                path.group(static_cast<std::size_t>(exit_offset)));
    return profile;
}

}  // namespace

PyObject* excursion_analysis(int sid, int entry_bar, int /*exit_bar*/, PyObject* is_long, int is_new,
                             int is_final) noexcept {
    static const py::TraceSite site{"mirelo.core.excursion.excursion_analysis", kFile};
    return py::guarded(site, static_cast<PyObject*>(nullptr),
                       [&] { return analyse(sid, entry_bar, is_long, is_new, is_final).release(); });
}

}  // namespace mirelo::excursion
