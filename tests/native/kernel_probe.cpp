// Test-only extension over parts of the kernel that tests compare with
// NumPy or with a plain model: its NumPy-order summation on any 1-D float64
// buffer (whole, or from the non-zero weights a rebalance finds in it), the
// scan for those weights, the array the profiles grow in, and the recorder of
// the holdings record.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "kernel/growing_array.h"
#include "kernel/holdings_record.h"
#include "kernel/pairwise_sum.h"

#include <cstdint>
#include <type_traits>
#include <vector>

namespace {

// A 1-D float64 buffer of `arg` (released by the caller); false with a
// TypeError set otherwise.
bool float64_vector(PyObject* arg, Py_buffer& buf) {
    if (PyObject_GetBuffer(arg, &buf, PyBUF_FORMAT | PyBUF_STRIDES) < 0) return false;
    if (buf.ndim != 1 || buf.itemsize != 8 || buf.format == nullptr || buf.format[0] != 'd') {
        PyBuffer_Release(&buf);
        PyErr_SetString(PyExc_TypeError, "expected a 1-D float64 buffer");
        return false;
    }
    return true;
}

mirelo::core::Vec<double> view_of(const Py_buffer& buf, const mirelo::core::Index& shape,
                                  const mirelo::core::Index& stride) {
    return mirelo::core::Vec<double>(buf.buf, &shape, &stride);
}

PyObject* abs_sum(PyObject*, PyObject* arg) {
    Py_buffer buf;
    if (!float64_vector(arg, buf)) return nullptr;
    const mirelo::core::Index shape = buf.shape[0];
    const mirelo::core::Index stride = buf.strides[0];
    const double sum = mirelo::core::numpy_abs_sum(view_of(buf, shape, stride));
    PyBuffer_Release(&buf);
    return PyFloat_FromDouble(sum);
}

// The non-zero entries the rebalance's scan finds in (values, zeroed): the
// columns listed in `zeroed` (ascending) read as 0.  False with an error set.
bool scanned_row(PyObject* args, mirelo::core::SparseRow& row) {
    PyObject* values;
    PyObject* zeroed;
    if (!PyArg_ParseTuple(args, "OO!", &values, &PyList_Type, &zeroed)) return false;
    std::vector<mirelo::core::Index> columns;
    for (Py_ssize_t k = 0; k < PyList_GET_SIZE(zeroed); ++k) {
        columns.push_back(PyLong_AsSsize_t(PyList_GET_ITEM(zeroed, k)));
    }
    if (PyErr_Occurred() != nullptr) return false;
    Py_buffer buf;
    if (!float64_vector(values, buf)) return false;
    const mirelo::core::Index shape = buf.shape[0];
    const mirelo::core::Index stride = buf.strides[0];
    mirelo::core::scan_weights({view_of(buf, shape, stride), columns}, row);
    PyBuffer_Release(&buf);
    return true;
}

// abs(values).sum() from the non-zero entries the rebalance's scan finds.
PyObject* sparse_abs_sum(PyObject*, PyObject* args) {
    mirelo::core::SparseRow row;
    if (!scanned_row(args, row)) return nullptr;
    return PyFloat_FromDouble(mirelo::core::numpy_abs_sum(row));
}

// The (column, weight) pairs the rebalance's scan finds.
PyObject* nonzero_weights(PyObject*, PyObject* args) {
    mirelo::core::SparseRow row;
    if (!scanned_row(args, row)) return nullptr;
    PyObject* out = PyList_New(0);
    if (out == nullptr) return nullptr;
    for (const mirelo::core::WeightEntry& e : row.entries) {
        PyObject* pair = Py_BuildValue("(nd)", static_cast<Py_ssize_t>(e.column), e.weight);
        if (pair == nullptr || PyList_Append(out, pair) < 0) {
            Py_XDECREF(pair);
            Py_DECREF(out);
            return nullptr;
        }
        Py_DECREF(pair);
    }
    return out;
}

PyObject* list_of(const double* values, std::size_t n) {
    PyObject* out = PyList_New(static_cast<Py_ssize_t>(n));
    for (std::size_t k = 0; out != nullptr && k < n; ++k) {
        PyList_SET_ITEM(out, static_cast<Py_ssize_t>(k), PyFloat_FromDouble(values[k]));
    }
    return out;
}

template <typename T>
PyObject* list_of(const mirelo::core::RecordColumn<T>& column) {
    PyObject* out = PyList_New(static_cast<Py_ssize_t>(column.size()));
    for (std::size_t k = 0; out != nullptr && k < column.size(); ++k) {
        PyObject* item = std::is_floating_point_v<T> ? PyFloat_FromDouble(static_cast<double>(column.data()[k]))
                                                     : PyLong_FromLongLong(static_cast<long long>(column.data()[k]));
        PyList_SET_ITEM(out, static_cast<Py_ssize_t>(k), item);
    }
    return out;
}

// The elements of a growing array extended by each list of `chunks` in turn,
// then released.
PyObject* grown(PyObject*, PyObject* chunks) {
    if (!PyList_Check(chunks)) {
        PyErr_SetString(PyExc_TypeError, "expected a list of lists of floats");
        return nullptr;
    }
    mirelo::core::GrowingArray<double> array;
    for (Py_ssize_t c = 0; c < PyList_GET_SIZE(chunks); ++c) {
        PyObject* chunk = PyList_GET_ITEM(chunks, c);
        const Py_ssize_t n = PyList_Size(chunk);
        if (n < 0) return nullptr;
        double* at = array.extend(static_cast<std::size_t>(n));
        for (Py_ssize_t k = 0; k < n; ++k) at[k] = PyFloat_AsDouble(PyList_GET_ITEM(chunk, k));
    }
    const std::size_t n = array.size();
    const auto storage = array.release();
    if (PyErr_Occurred() != nullptr) return nullptr;
    return list_of(storage.get(), n);
}

// A holdings record written bar by bar as the bar loop writes it: each bar of
// `bars` is (holdings [(sid, value)], cash, fills [(sid, change, cost)]), the
// run `total` bars long.  Returns the record's columns by name.
PyObject* recorded(PyObject*, PyObject* args) {
    PyObject* bars;
    Py_ssize_t total;
    if (!PyArg_ParseTuple(args, "O!n", &PyList_Type, &bars, &total)) return nullptr;
    mirelo::core::HoldingsRecord record;
    {
        mirelo::core::HoldingsRecorder recorder(record, static_cast<std::size_t>(total));
        for (Py_ssize_t b = 0; b < PyList_GET_SIZE(bars); ++b) {
            PyObject* holdings;
            double cash;
            PyObject* fills;
            if (!PyArg_ParseTuple(PyList_GET_ITEM(bars, b), "O!dO!", &PyList_Type, &holdings, &cash, &PyList_Type,
                                  &fills)) {
                return nullptr;
            }
            for (Py_ssize_t k = 0; k < PyList_GET_SIZE(fills); ++k) {
                int sid;
                double change, cost;
                if (!PyArg_ParseTuple(PyList_GET_ITEM(fills, k), "idd", &sid, &change, &cost)) return nullptr;
                recorder.fill(sid, change, cost);
            }
            const std::size_t count = static_cast<std::size_t>(PyList_GET_SIZE(holdings));
            const mirelo::core::HoldingsRecorder::Slots slots = recorder.open_bar(count);
            for (std::size_t k = 0; k < count; ++k) {
                int sid;
                double value;
                if (!PyArg_ParseTuple(PyList_GET_ITEM(holdings, static_cast<Py_ssize_t>(k)), "id", &sid, &value)) {
                    return nullptr;
                }
                slots.sid[k] = sid;
                slots.value[k] = value;
            }
            recorder.end_bar(count, cash);
        }
        recorder.finish();
    }
    return Py_BuildValue("{sNsNsNsNsNsNsN}", "holdings_offsets", list_of(record.offsets), "holdings_sid",
                         list_of(record.sid), "holdings_value", list_of(record.value), "cash", list_of(record.cash),
                         "fills_offsets", list_of(record.fill_offsets), "fills_sid", list_of(record.fill_sid),
                         "fills_value", list_of(record.fill_value));
}

PyMethodDef methods[] = {
    {"abs_sum", abs_sum, METH_O, "abs(values).sum() in NumPy's order of additions."},
    {"sparse_abs_sum", sparse_abs_sum, METH_VARARGS,
     "sparse_abs_sum(values, zeroed): the same sum from the row's non-zero entries, zeroed columns left out."},
    {"nonzero_weights", nonzero_weights, METH_VARARGS,
     "nonzero_weights(values, zeroed): the (column, weight) pairs a rebalance reads, zeroed columns left out."},
    {"grown", grown, METH_O, "grown(chunks): a growing array extended by each chunk, then released."},
    {"recorded", recorded, METH_VARARGS,
     "recorded(bars, total): the holdings record of bars (holdings, cash, fills) in a run of `total` bars."},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef module = {PyModuleDef_HEAD_INIT, "kernel_probe", nullptr, -1, methods,
                      nullptr, nullptr, nullptr, nullptr};

}  // namespace

PyMODINIT_FUNC PyInit_kernel_probe() { return PyModule_Create(&module); }
