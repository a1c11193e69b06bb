#include "excursion/state.h"

namespace mirelo::excursion {

ModuleState& state() {
    static ModuleState* const s = new ModuleState();
    return *s;
}

void ModuleState::reset() noexcept {
    globals.reset();
    price_matrix.reset();
    close_matrix.reset();
    col_map.clear();
    fee_ratio = tax_ratio = 0.0;
    window = window_step = current_date = 0;
    replace_array(entry, py::Ref());
    replace_array(position, py::Ref());
    entry_is_new.reset();
    numpy_module.reset();
    numpy_empty.reset();
    numpy_float64.reset();
}

void replace_array(PyArrayObject*& slot, py::Ref array) noexcept {
    PyObject* old = reinterpret_cast<PyObject*>(slot);
    slot = reinterpret_cast<PyArrayObject*>(array.release());
    Py_XDECREF(old);
}

namespace {

PyObject* intern(const char* text, std::source_location loc) {
    PyObject* s = PyUnicode_InternFromString(text);
    if (s == nullptr) py::throw_pending(loc);
    return s;
}

}  // namespace

py::Ref global(GlobalName& name, std::source_location loc) {
    if (name.interned == nullptr) name.interned = intern(name.text, loc);
    PyObject* value = PyDict_GetItemWithError(state().globals.get(), name.interned);
    if (value == nullptr && !PyErr_Occurred()) {
        PyObject* builtins = PyEval_GetBuiltins();
        if (builtins != nullptr) value = PyDict_GetItemWithError(builtins, name.interned);
    }
    if (value == nullptr) {
        if (!PyErr_Occurred()) PyErr_Format(PyExc_NameError, "name '%U' is not defined", name.interned);
        py::throw_pending(loc);
    }
    // Owned: later calls may run code that removes the name.
    return py::Ref::borrow(value);
}

PyObject* find_module_global(GlobalName& name, std::source_location loc) {
    if (name.interned == nullptr) name.interned = intern(name.text, loc);
    PyObject* value = PyDict_GetItemWithError(state().globals.get(), name.interned);
    if (value == nullptr && PyErr_Occurred()) py::throw_pending(loc);
    return value;
}

GlobalName g_org_np{"org_np"};

py::Ref numpy_attr(const char* name, std::source_location loc) {
    py::Ref module = global(g_org_np, loc);
    return py::check(PyObject_GetAttrString(module.get(), name), loc);
}

py::Ref call_with_dtype(PyObject* callable, PyObject* arg, PyObject* dtype, std::source_location loc) {
    static PyObject* kwnames = nullptr;
    if (kwnames == nullptr) {
        kwnames = Py_BuildValue("(s)", "dtype");
        if (kwnames == nullptr) py::throw_pending(loc);
    }
    PyObject* args[] = {arg, dtype};
    return py::check(PyObject_Vectorcall(callable, args, 1, kwnames), loc);
}

}  // namespace mirelo::excursion
