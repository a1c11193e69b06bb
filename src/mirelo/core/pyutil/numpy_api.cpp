#define PY_SSIZE_T_CLEAN
#include <Python.h>

#define NPY_NO_DEPRECATED_API NPY_1_25_API_VERSION
#define NPY_TARGET_VERSION NPY_1_25_API_VERSION
#define PY_ARRAY_UNIQUE_SYMBOL mirelo_core_ARRAY_API
#include <numpy/arrayobject.h>

#include "pyutil/numpy_api.h"

namespace mirelo::py {

void import_numpy_capi() {
    if (_import_array() < 0) throw_pending();
}

PyTypeObject* ndarray_type() { return &PyArray_Type; }

namespace {

Ref scalar_of(int type_num, void* value) {
    Ref descr = check(reinterpret_cast<PyObject*>(PyArray_DescrFromType(type_num)));
    return check(PyArray_Scalar(value, reinterpret_cast<PyArray_Descr*>(descr.get()), nullptr));
}

}  // namespace

Ref float64_scalar(double value) { return scalar_of(NPY_FLOAT64, &value); }

Ref int64_scalar(std::int64_t value) { return scalar_of(NPY_INT64, &value); }

}  // namespace mirelo::py
