#include "excursion/price_grid.h"

#include "pyutil/args.h"
#include "pyutil/numpy_api.h"

namespace mirelo::excursion {

namespace {

// True when `obj` indexes exactly as ndarray does.
bool indexes_as_ndarray(PyObject* obj) {
    const PyMappingMethods* own = Py_TYPE(obj)->tp_as_mapping;
    const PyMappingMethods* base = py::ndarray_type()->tp_as_mapping;
    return own != nullptr && own->mp_subscript == base->mp_subscript;
}

}  // namespace

PriceGrid::PriceGrid(PyObject* matrix) : matrix_(py::Ref::borrow(matrix)) {
    if (matrix == Py_None || !indexes_as_ndarray(matrix)) return;
    try {
        view_ = py::BufferView<double, 2>::acquire(matrix);
        direct_ = true;
    } catch (const py::ErrorSet&) {
        // Not (or no longer) a 2-D float64 buffer: indexing decides what it gives.
        PyErr_Clear();
    }
}

std::int64_t PriceGrid::rows(std::source_location loc) const {
    if (direct_) return view_.extent(0);
    py::Ref shape = py::check(PyObject_GetAttrString(matrix_.get(), "shape"), loc);
    py::Ref first = py::check(PySequence_GetItem(shape.get(), 0), loc);
    long long n = PyLong_AsLongLong(first.get());
    if (n == -1 && PyErr_Occurred()) py::throw_pending(loc);
    return n;
}

double PriceGrid::at(std::int64_t row, std::int64_t col, std::source_location loc) const {
    if (!direct_) return at_by_indexing(row, col, loc);
    const Py_ssize_t i = py::numpy_index(row, 0, view_.extent(0), loc);
    const Py_ssize_t j = py::numpy_index(col, 1, view_.extent(1), loc);
    return view_(i, j);
}

double PriceGrid::at_by_indexing(std::int64_t row, std::int64_t col, std::source_location loc) const {
    py::Ref key = py::check(Py_BuildValue("(LL)", static_cast<long long>(row), static_cast<long long>(col)), loc);
    py::Ref item = py::check(PyObject_GetItem(matrix_.get(), key.get()), loc);
    return py::to_double(item.get(), loc);
}

}  // namespace mirelo::excursion
