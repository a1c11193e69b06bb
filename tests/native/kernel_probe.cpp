// Test-only extension: the kernel's NumPy-order summation, callable on any
// 1-D float64 buffer (whole, or from the non-zero weights a rebalance finds
// in it), so that tests compare it with numpy.sum.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "kernel/pairwise_sum.h"

#include <vector>

namespace {

PyObject* abs_sum(PyObject*, PyObject* arg) {
    Py_buffer buf;
    if (PyObject_GetBuffer(arg, &buf, PyBUF_FORMAT | PyBUF_STRIDES) < 0) return nullptr;
    if (buf.ndim != 1 || buf.itemsize != 8 || buf.format == nullptr || buf.format[0] != 'd') {
        PyBuffer_Release(&buf);
        PyErr_SetString(PyExc_TypeError, "expected a 1-D float64 buffer");
        return nullptr;
    }
    const mirelo::core::Index shape = buf.shape[0];
    const mirelo::core::Index stride = buf.strides[0];
    const double sum = mirelo::core::numpy_abs_sum(mirelo::core::Vec<double>(buf.buf, &shape, &stride));
    PyBuffer_Release(&buf);
    return PyFloat_FromDouble(sum);
}

// abs(values).sum() with the columns listed in `zeroed` (ascending) read as
// 0, from the non-zero entries the rebalance's scan finds.
PyObject* sparse_abs_sum(PyObject*, PyObject* args) {
    PyObject* values;
    PyObject* zeroed;
    if (!PyArg_ParseTuple(args, "OO!", &values, &PyList_Type, &zeroed)) return nullptr;
    Py_buffer buf;
    if (PyObject_GetBuffer(values, &buf, PyBUF_FORMAT | PyBUF_STRIDES) < 0) return nullptr;
    if (buf.ndim != 1 || buf.itemsize != 8 || buf.format == nullptr || buf.format[0] != 'd') {
        PyBuffer_Release(&buf);
        PyErr_SetString(PyExc_TypeError, "expected a 1-D float64 buffer");
        return nullptr;
    }
    std::vector<mirelo::core::Index> columns;
    for (Py_ssize_t k = 0; k < PyList_GET_SIZE(zeroed); ++k) columns.push_back(PyLong_AsSsize_t(PyList_GET_ITEM(zeroed, k)));
    const mirelo::core::Index shape = buf.shape[0];
    const mirelo::core::Index stride = buf.strides[0];
    mirelo::core::SparseRow row;
    mirelo::core::scan_weights({mirelo::core::Vec<double>(buf.buf, &shape, &stride), columns}, row);
    const double sum = mirelo::core::numpy_abs_sum(row);
    PyBuffer_Release(&buf);
    if (PyErr_Occurred() != nullptr) return nullptr;
    return PyFloat_FromDouble(sum);
}

PyMethodDef methods[] = {
    {"abs_sum", abs_sum, METH_O, "abs(values).sum() in NumPy's order of additions."},
    {"sparse_abs_sum", sparse_abs_sum, METH_VARARGS,
     "sparse_abs_sum(values, zeroed): the same sum from the row's non-zero entries, zeroed columns left out."},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef module = {PyModuleDef_HEAD_INIT, "kernel_probe", nullptr, -1, methods,
                      nullptr, nullptr, nullptr, nullptr};

}  // namespace

PyMODINIT_FUNC PyInit_kernel_probe() { return PyModule_Create(&module); }
