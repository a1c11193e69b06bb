// Test-only extension: binds the export table of mirelo.core.excursion by name
// and signature, as the engine does, and lets Python call the bound entry
// points.  After every call it returns the pending exception, if any, so a
// test sees the exception and traceback the entry point left.
#include "excursion_import.h"

#include <map>
#include <type_traits>

namespace {

namespace api = mirelo::excursion_api;

api::Bindings g_bound;
bool g_is_bound = false;

bool require_bound() {
    if (!g_is_bound) PyErr_SetString(PyExc_RuntimeError, "excursion_probe.bind() was not called");
    return g_is_bound;
}

PyObject* result_of_void_call() {
    if (PyErr_Occurred() != nullptr) return nullptr;
    Py_RETURN_NONE;
}

// {int: int} or {int: float} as an ordered map.
template <typename V>
bool to_map(PyObject* dict, std::map<int, V>* out) {
    if (!PyDict_Check(dict)) {
        PyErr_SetString(PyExc_TypeError, "expected a dict");
        return false;
    }
    PyObject* key;
    PyObject* value;
    Py_ssize_t pos = 0;
    while (PyDict_Next(dict, &pos, &key, &value)) {
        const long k = PyLong_AsLong(key);
        if (k == -1 && PyErr_Occurred()) return false;
        V v;
        if constexpr (std::is_same_v<V, int>) v = static_cast<int>(PyLong_AsLong(value));
        else v = PyFloat_AsDouble(value);
        if (PyErr_Occurred()) return false;
        (*out)[static_cast<int>(k)] = v;
    }
    return true;
}

PyObject* bind(PyObject*, PyObject* module) {
    try {
        g_bound = api::import_bindings(module);
        g_is_bound = true;
    } catch (const mirelo::py::ErrorSet&) {
        return nullptr;
    }
    Py_RETURN_NONE;
}

PyObject* start_analysis(PyObject*, PyObject* args) {
    PyObject *price, *close, *col_map_obj;
    int stock_count, window, window_step;
    double fee_ratio, tax_ratio;
    if (!PyArg_ParseTuple(args, "OOOiddii", &price, &close, &col_map_obj, &stock_count, &fee_ratio,
                          &tax_ratio, &window, &window_step)) {
        return nullptr;
    }
    std::map<int, int> col_map;
    if (!require_bound() || !to_map(col_map_obj, &col_map)) return nullptr;
    g_bound.start_analysis(reinterpret_cast<PyArrayObject*>(price), reinterpret_cast<PyArrayObject*>(close),
                           col_map, stock_count, fee_ratio, tax_ratio, window, window_step);
    return result_of_void_call();
}

PyObject* record_date(PyObject*, PyObject* args) {
    int bar;
    if (!PyArg_ParseTuple(args, "i", &bar) || !require_bound()) return nullptr;
    g_bound.record_date(bar);
    return result_of_void_call();
}

PyObject* record_entry(PyObject*, PyObject* args) {
    int sid, is_new;
    double position;
    if (!PyArg_ParseTuple(args, "idi", &sid, &position, &is_new) || !require_bound()) return nullptr;
    g_bound.record_entry(sid, position, is_new);
    return result_of_void_call();
}

PyObject* record_exit(PyObject*, PyObject* args) {
    int sid, is_final;
    if (!PyArg_ParseTuple(args, "ii", &sid, &is_final) || !require_bound()) return nullptr;
    g_bound.record_exit(sid, is_final);
    return result_of_void_call();
}

PyObject* end_analysis(PyObject*, PyObject* dict) {
    std::map<int, double> open_positions;
    if (!require_bound() || !to_map(dict, &open_positions)) return nullptr;
    return g_bound.end_analysis(open_positions);
}

// The array an exported variable holds now.
PyObject* variable(PyArrayObject** slot) {
    if (!require_bound()) return nullptr;
    PyObject* array = reinterpret_cast<PyObject*>(*slot);
    return Py_NewRef(array != nullptr ? array : Py_None);
}

PyObject* entry(PyObject*, PyObject*) { return variable(g_bound.entry); }
PyObject* position(PyObject*, PyObject*) { return variable(g_bound.position); }

PyMethodDef methods[] = {
    {"bind", bind, METH_O, "bind(module): bind the export table of `module`."},
    {"start_analysis", start_analysis, METH_VARARGS,
     "start_analysis(price, close, col_map, stock_count, fee_ratio, tax_ratio, window, window_step)"},
    {"record_date", record_date, METH_VARARGS, "record_date(bar)"},
    {"record_entry", record_entry, METH_VARARGS, "record_entry(sid, position, is_new)"},
    {"record_exit", record_exit, METH_VARARGS, "record_exit(sid, is_final)"},
    {"end_analysis", end_analysis, METH_O, "end_analysis(open_positions)"},
    {"entry", entry, METH_NOARGS, "The array the exported variable `entry` holds."},
    {"position", position, METH_NOARGS, "The array the exported variable `position` holds."},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef module_def = {PyModuleDef_HEAD_INIT, "excursion_probe", nullptr, -1, methods};

}  // namespace

PyMODINIT_FUNC PyInit_excursion_probe() { return PyModule_Create(&module_def); }
