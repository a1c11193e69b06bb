#define PY_SSIZE_T_CLEAN
#include <Python.h>

#define NPY_NO_DEPRECATED_API NPY_1_25_API_VERSION
#define NPY_TARGET_VERSION NPY_1_25_API_VERSION
#define PY_ARRAY_UNIQUE_SYMBOL mirelo_core_ARRAY_API
#include <numpy/arrayobject.h>
#include <numpy/arrayscalars.h>

#include "pyutil/numpy_api.h"

#include <cstdlib>
#include <memory>
#include <utility>

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

namespace {

// NumPy's own flag for arrays whose first write warns (not in its public
// headers): item assignment to such an array does more than store.
constexpr unsigned kWarnOnWrite = 1u << 31;

bool native_order(PyArrayObject* a) { return PyArray_ISNBO(PyArray_DESCR(a)->byteorder); }

PlainElem plain_elem(PyArrayObject* a) {
    switch (PyArray_TYPE(a)) {
        case NPY_BYTE: case NPY_SHORT: case NPY_INT: case NPY_LONG: case NPY_LONGLONG:
            switch (PyArray_ITEMSIZE(a)) {
                case 4: return PlainElem::Int32;
                case 8: return PlainElem::Int64;
                default: return PlainElem::Other;
            }
        case NPY_DOUBLE:
            return PyArray_ITEMSIZE(a) == 8 ? PlainElem::Float64 : PlainElem::Other;
        default:
            return PlainElem::Other;
    }
}

}  // namespace

bool plain_vector(PyObject* obj, PlainVector* out) {
    if (Py_TYPE(obj) != &PyArray_Type) return false;
    PyArrayObject* a = reinterpret_cast<PyArrayObject*>(obj);
    if (PyArray_NDIM(a) != 1 || !native_order(a)) return false;
    out->data = static_cast<char*>(PyArray_DATA(a));
    out->size = PyArray_DIM(a, 0);
    out->stride = PyArray_STRIDE(a, 0);
    out->elem = plain_elem(a);
    const unsigned flags = static_cast<unsigned>(PyArray_FLAGS(a));
    out->writable = (flags & NPY_ARRAY_WRITEABLE) != 0 && (flags & kWarnOnWrite) == 0;
    return true;
}

bool plain_float64_matrix(PyObject* obj, PlainMatrix* out) {
    if (Py_TYPE(obj) != &PyArray_Type) return false;
    PyArrayObject* a = reinterpret_cast<PyArrayObject*>(obj);
    if (PyArray_NDIM(a) != 2 || !native_order(a) || plain_elem(a) != PlainElem::Float64) return false;
    out->data = static_cast<const char*>(PyArray_DATA(a));
    out->rows = PyArray_DIM(a, 0);
    out->cols = PyArray_DIM(a, 1);
    out->row_stride = PyArray_STRIDE(a, 0);
    out->col_stride = PyArray_STRIDE(a, 1);
    return true;
}

Ref element_scalar(PyObject* array, const void* item, std::source_location loc) {
    PyArrayObject* a = reinterpret_cast<PyArrayObject*>(array);
    return check(PyArray_Scalar(const_cast<void*>(item), PyArray_DESCR(a), array), loc);
}

Ref new_float64_vector(Py_ssize_t length, double** data, std::source_location loc) {
    npy_intp dims[1] = {length};
    Ref array = check(PyArray_EMPTY(1, dims, NPY_FLOAT64, 0), loc);
    *data = static_cast<double*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(array.get())));
    return array;
}

Ref new_float64_matrix(Py_ssize_t rows, Py_ssize_t cols, double** data, std::source_location loc) {
    npy_intp dims[2] = {rows, cols};
    Ref array = check(PyArray_EMPTY(2, dims, NPY_FLOAT64, 0), loc);
    *data = static_cast<double*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(array.get())));
    return array;
}

namespace {

constexpr const char kStorageCapsule[] = "mirelo.core.array_storage";

void release_malloced(PyObject* capsule) {
    std::free(PyCapsule_GetPointer(capsule, kStorageCapsule));
}

void release_bytes(PyObject* capsule) {
    delete[] static_cast<char*>(PyCapsule_GetPointer(capsule, kStorageCapsule));
}

// The array over `data`, owned by `owner` (a capsule that releases it).
Ref array_over(PyArray_Descr* descr, int ndim, npy_intp* dims, void* data, Ref owner, std::source_location loc) {
    Ref array = check(PyArray_NewFromDescr(&PyArray_Type, descr, ndim, dims, nullptr, data, NPY_ARRAY_CARRAY, nullptr),
                      loc);  // steals descr
    check_status(PyArray_SetBaseObject(reinterpret_cast<PyArrayObject*>(array.get()), owner.release()), loc);
    return array;
}

}  // namespace

Ref adopt_float64_matrix(Py_ssize_t rows, Py_ssize_t cols, double* data, std::source_location loc) {
    Ref owner = Ref::steal(PyCapsule_New(data, kStorageCapsule, release_malloced));
    if (!owner) {
        std::free(data);
        throw_pending(loc);
    }
    npy_intp dims[2] = {rows, cols};
    return array_over(PyArray_DescrFromType(NPY_FLOAT64), 2, dims, data, std::move(owner), loc);
}

namespace {

template <typename T>
void release_elements(PyObject* capsule) {
    delete[] static_cast<T*>(PyCapsule_GetPointer(capsule, kStorageCapsule));
}

template <typename T>
Ref adopt_elements(std::unique_ptr<T[]> data, std::size_t size, int type, std::source_location loc) {
    npy_intp dims[1] = {static_cast<npy_intp>(size)};
    if (size == 0 || data == nullptr) return check(PyArray_EMPTY(1, dims, type, 0), loc);
    Ref owner = check(PyCapsule_New(data.get(), kStorageCapsule, release_elements<T>), loc);
    T* elements = data.release();  // the capsule's now
    return array_over(PyArray_DescrFromType(type), 1, dims, elements, std::move(owner), loc);
}

}  // namespace

Ref adopt_array(std::unique_ptr<double[]> data, std::size_t size, std::source_location loc) {
    return adopt_elements(std::move(data), size, NPY_FLOAT64, loc);
}
Ref adopt_array(std::unique_ptr<std::int64_t[]> data, std::size_t size, std::source_location loc) {
    return adopt_elements(std::move(data), size, NPY_INT64, loc);
}
Ref adopt_array(std::unique_ptr<std::int32_t[]> data, std::size_t size, std::source_location loc) {
    return adopt_elements(std::move(data), size, NPY_INT32, loc);
}

Ref adopt_array(PyObject* dtype, Py_ssize_t length, std::unique_ptr<char[]> data, std::source_location loc) {
    PyArray_Descr* descr = nullptr;
    if (PyArray_DescrConverter(dtype, &descr) != NPY_SUCCEED) throw_pending(loc);
    Ref held = Ref::steal(reinterpret_cast<PyObject*>(descr));
    Ref owner = check(PyCapsule_New(data.get(), kStorageCapsule, release_bytes), loc);
    char* bytes = data.release();  // the capsule's now
    npy_intp dims[1] = {length};
    return array_over(reinterpret_cast<PyArray_Descr*>(held.release()), 1, dims, bytes, std::move(owner), loc);
}

Ref new_zeroed_array(PyObject* dtype, Py_ssize_t length, char** data, std::source_location loc) {
    PyArray_Descr* descr = nullptr;
    if (PyArray_DescrConverter(dtype, &descr) != NPY_SUCCEED) throw_pending(loc);
    npy_intp dims[1] = {length};
    Ref array = check(PyArray_Zeros(1, dims, descr, 0), loc);  // steals descr
    *data = static_cast<char*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(array.get())));
    return array;
}

bool plain_bool(PyObject* obj, bool* value) {
    if (PyBool_Check(obj)) {
        *value = obj == Py_True;
        return true;
    }
    if (Py_TYPE(obj) == &PyBoolArrType_Type) {
        *value = PyArrayScalar_VAL(obj, Bool) != 0;
        return true;
    }
    return false;
}

}  // namespace mirelo::py
