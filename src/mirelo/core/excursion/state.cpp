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

GlobalName g_org_np{"org_np"};

py::Ref numpy_attr(const char* name, std::source_location loc) { return state().globals.attr(g_org_np, name, loc); }

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
