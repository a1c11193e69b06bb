#include "pyutil/module_once.h"

namespace mirelo::py {

PyObject* ModuleOnce::create(PyObject* spec) noexcept {
    std::int64_t current = PyInterpreterState_GetID(PyInterpreterState_Get());
    if (current == -1) return nullptr;
    if (interpreter_id_ == -1) {
        interpreter_id_ = current;
    } else if (interpreter_id_ != current) {
        PyErr_SetString(PyExc_ImportError,
                        "Interpreter change detected - this module can only be loaded into one "
                        "interpreter per process.");
        return nullptr;
    }
    if (module_ != nullptr) {
        PyErr_Format(PyExc_RuntimeError,
                     "Module '%s' has already been imported. Re-initialisation is not supported.",
                     short_name_);
        return nullptr;
    }
    Ref name = Ref::steal(PyObject_GetAttrString(spec, "name"));
    if (!name) return nullptr;
    module_ = PyModule_NewObject(name.get());
    return module_;
}

bool ModuleOnce::needs_exec(PyObject* module) noexcept {
    if (module != module_ || executed_) return false;
    executed_ = true;
    return true;
}

}  // namespace mirelo::py
