#include "pyutil/indexing.h"

#include "pyutil/messages.h"

namespace mirelo::py {

Ref item_at(PyObject* obj, Py_ssize_t i, std::source_location loc) {
    Ref key = check(PyLong_FromSsize_t(i), loc);
    return check(PyObject_GetItem(obj, key.get()), loc);
}

void raise_index_error(std::int64_t i, int axis, Py_ssize_t size, std::source_location loc) {
    PyErr_Format(PyExc_IndexError, msg::kNumpyIndex, static_cast<long long>(i), axis, size);
    throw_pending(loc);
}

}  // namespace mirelo::py
