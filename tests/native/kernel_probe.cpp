// Test-only extension: the kernel's NumPy-order summation, callable on any
// 1-D float64 buffer, so that tests compare it with numpy.sum.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "kernel/pairwise_sum.h"

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

PyMethodDef methods[] = {
    {"abs_sum", abs_sum, METH_O, "abs(values).sum() in NumPy's order of additions."},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef module = {PyModuleDef_HEAD_INIT, "kernel_probe", nullptr, -1, methods,
                      nullptr, nullptr, nullptr, nullptr};

}  // namespace

PyMODINIT_FUNC PyInit_kernel_probe() { return PyModule_Create(&module); }
