#include "batch/market.h"

#include "glue/messages.h"
#include "pyutil/messages.h"
#include "pyutil/args.h"
#include "pyutil/numpy_api.h"

namespace mirelo::batch {
namespace {

enum { kPrice, kClose, kHigh, kLow, kOpen, kPriceIndex, kPriceColumns, kDelisting };

PyObject* ndarray_argument(PyObject* const* args, int i) {
    py::check_arg_type(args[i], py::ndarray_type(), kMarketParams[i], /*none_allowed=*/false, /*exact=*/false);
    return args[i];
}

void require_shape(const Matrix& m, const Matrix& price, const char* name) {
    if (m.extent(0) != price.extent(0) || m.extent(1) != price.extent(1)) {
        py::raise_format(PyExc_ValueError, msg::kShapeMismatch, name, m.extent(0),
                         m.extent(1), price.extent(0), price.extent(1));
    }
}

// Every name a str.
void require_names(const Names& names) {
    for (Py_ssize_t i = 0; i < names.extent(0); ++i) {
        PyObject* name = names(i);
        if (name == nullptr || !PyUnicode_Check(name)) {
            py::raise_format(PyExc_TypeError, msg::kNameNotStr, i,
                             name == nullptr ? "NULL" : Py_TYPE(name)->tp_name);
        }
    }
}

// The name objects, when every name is an exact str and none repeats.
void hold_distinct_names(MarketData& m) {
    const Py_ssize_t n = m.price_columns.extent(0);
    if (static_cast<Py_ssize_t>(m.names.size()) != n) return;
    std::vector<py::Ref> held;
    held.reserve(static_cast<std::size_t>(n));
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject* name = m.price_columns(i);
        if (!PyUnicode_CheckExact(name)) return;
        held.push_back(py::Ref::borrow(name));
    }
    m.name_objects = std::move(held);
}

}  // namespace

void build_market(MarketData& m, PyObject* const* args) {
    for (int i = 0; i < 8; ++i) m.objects[i] = py::Ref::borrow(args[i] != nullptr ? args[i] : Py_None);
    Matrix* matrices[] = {&m.price, &m.close, &m.high, &m.low, &m.open};
    for (int i = kPrice; i <= kOpen; ++i) *matrices[i] = Matrix::acquire(ndarray_argument(args, i));
    for (int i = kClose; i <= kOpen; ++i) require_shape(*matrices[i], m.price, kMarketParams[i]);

    m.price_index = Dates::acquire(ndarray_argument(args, kPriceIndex));
    if (m.price_index.extent(0) != m.price.extent(0)) {
        py::raise_format(PyExc_ValueError, msg::kDatesPerBar, m.price_index.extent(0),
                         m.price.extent(0));
    }
    if (core::first_step_back(m.price_index.view()) >= 0) {
        py::raise_format(PyExc_ValueError, msg::kNotAscending, "price_index");
    }

    m.price_columns = Names::acquire(ndarray_argument(args, kPriceColumns));
    if (m.price_columns.extent(0) != m.price.extent(1)) {
        py::raise_format(PyExc_ValueError, msg::kNamesPerColumn,
                         m.price_columns.extent(0), m.price.extent(1));
    }
    require_names(m.price_columns);
    m.names = glue::index_names(m.price_columns);
    hold_distinct_names(m);

    PyObject* delisting = args[kDelisting];
    if (delisting != nullptr && delisting != Py_None) {
        Dates bars = Dates::acquire(ndarray_argument(args, kDelisting));
        if (bars.extent(0) != m.price.extent(1)) {
            py::raise_format(PyExc_ValueError, msg::kDelistingPerColumn,
                             bars.extent(0), m.price.extent(1));
        }
        m.delisting.resize(static_cast<std::size_t>(bars.extent(0)));
        for (Py_ssize_t i = 0; i < bars.extent(0); ++i) m.delisting[static_cast<std::size_t>(i)] = bars(i);
    }
}

}  // namespace mirelo::batch
