#include "pyutil/capsule.h"
#include "pyutil/messages.h"

#include <cstring>

namespace mirelo::py {

void export_capsule(PyObject* table, const char* name, void* pointer, const char* signature) {
    Ref capsule = check(PyCapsule_New(pointer, signature, nullptr));
    check_status(PyDict_SetItemString(table, name, capsule.get()));
}

void* import_capsule(PyObject* module, const char* module_name, const char* name,
                     const char* signature, ExportKind kind) {
    const bool is_function = kind == ExportKind::Function;
    PyObject* entry = nullptr;
    Ref table = Ref::steal(PyObject_GetAttrString(module, "__pyx_capi__"));
    if (table && PyDict_Check(table.get())) {
        entry = PyDict_GetItemString(table.get(), name);  // borrowed; a str key cannot fail
    }
    if (entry == nullptr) {
        PyErr_Clear();
        raise_format(PyExc_ImportError,
                     is_function ? msg::kMissingFunction : msg::kMissingVariable,
                     module_name, name);
    }
    const char* got = PyCapsule_CheckExact(entry) ? PyCapsule_GetName(entry) : nullptr;
    if (got == nullptr) got = "";
    if (std::strcmp(got, signature) != 0) {
        raise_format(PyExc_TypeError,
                     is_function ? msg::kWrongFunctionSignature : msg::kWrongVariableSignature,
                     module_name, name, signature, got);
    }
    void* pointer = PyCapsule_GetPointer(entry, signature);
    if (pointer == nullptr) throw_pending();
    return pointer;
}

}  // namespace mirelo::py
