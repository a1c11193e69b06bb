#include "pyutil/module_globals.h"
#include "pyutil/messages.h"

namespace mirelo::py {

PyObject* GlobalName::interned(std::source_location loc) {
    if (interned_ == nullptr) {
        interned_ = PyUnicode_InternFromString(text_);
        if (interned_ == nullptr) throw_pending(loc);
    }
    return interned_;
}

Ref ModuleGlobals::get(GlobalName& name, std::source_location loc) const {
    PyObject* key = name.interned(loc);
    PyObject* value = PyDict_GetItemWithError(dict_.get(), key);
    if (value == nullptr && !PyErr_Occurred()) {
        PyObject* builtins = PyEval_GetBuiltins();
        if (builtins != nullptr) value = PyDict_GetItemWithError(builtins, key);
    }
    if (value == nullptr) {
        if (!PyErr_Occurred()) PyErr_Format(PyExc_NameError, msg::kNameNotDefined, key);
        throw_pending(loc);
    }
    // Owned: later calls may run code that removes the name.
    return Ref::borrow(value);
}

PyObject* ModuleGlobals::find(GlobalName& name, std::source_location loc) const {
    PyObject* value = PyDict_GetItemWithError(dict_.get(), name.interned(loc));
    if (value == nullptr && PyErr_Occurred()) throw_pending(loc);
    return value;
}

void ModuleGlobals::set(const char* name, PyObject* value, std::source_location loc) const {
    check_status(PyDict_SetItemString(dict_.get(), name, value), loc);
}

Ref ModuleGlobals::attr(GlobalName& name, const char* attribute, std::source_location loc) const {
    Ref holder = get(name, loc);
    return check(PyObject_GetAttrString(holder.get(), attribute), loc);
}

}  // namespace mirelo::py
