#include "pyutil/single_module.h"
#include "pyutil/messages.h"

#include <cstddef>
#include <type_traits>

namespace mirelo::py {

SingleModule::SingleModule(const char* name, const char* doc, const TraceSite& init_site,
                           Initialise initialise, Reset reset)
    : def_{PyModuleDef_HEAD_INIT, name, doc, 0, nullptr, slots_, nullptr, nullptr, nullptr},
      slots_{{Py_mod_create, reinterpret_cast<void*>(&SingleModule::create)},
             {Py_mod_exec, reinterpret_cast<void*>(&SingleModule::exec)},
             {0, nullptr}},
      init_site_(init_site),
      initialise_(initialise),
      reset_(reset) {
    static_assert(std::is_standard_layout_v<PyModuleDef>);
}

SingleModule& SingleModule::of(PyModuleDef* def) {
    // def_ is the first member, so the definition's address is the instance's.
    return *reinterpret_cast<SingleModule*>(reinterpret_cast<char*>(def) - offsetof(SingleModule, def_));
}

PyObject* SingleModule::create(PyObject* module_spec, PyModuleDef* def) noexcept {
    SingleModule& self = of(def);
    const std::int64_t current = PyInterpreterState_GetID(PyInterpreterState_Get());
    if (current == -1) return nullptr;
    if (self.interpreter_id_ == -1) {
        self.interpreter_id_ = current;
    } else if (self.interpreter_id_ != current) {
        PyErr_SetString(PyExc_ImportError, msg::kSecondInterpreter);
        return nullptr;
    }
    if (self.module_ != nullptr) {
        PyErr_Format(PyExc_RuntimeError,
                     msg::kReinitialised,
                     self.def_.m_name);
        return nullptr;
    }
    Ref name = Ref::steal(PyObject_GetAttrString(module_spec, "name"));
    if (!name) return nullptr;
    self.module_ = PyModule_NewObject(name.get());
    return self.module_;
}

int SingleModule::exec(PyObject* module) noexcept {
    PyModuleDef* def = PyModule_GetDef(module);
    if (def == nullptr) return -1;
    SingleModule& self = of(def);
    // A reload executes the slots again on the same module object: nothing to do.
    if (module != self.module_ || self.executed_) return 0;
    self.executed_ = true;
    const int status = guarded(self.init_site_, -1, [&] {
        self.initialise_(module);
        return 0;
    });
    if (status < 0) {
        if (self.reset_ != nullptr) self.reset_();
        self.module_ = nullptr;
        self.executed_ = false;
    }
    return status;
}

}  // namespace mirelo::py
