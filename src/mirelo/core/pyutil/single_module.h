// An extension module whose state is process-wide: it can be created once, in
// one interpreter.  `SingleModule` holds the module definition with its create
// and exec slots:
// - create: ImportError "Interpreter change detected - ..." in a second
//   interpreter, RuntimeError "Module '<name>' has already been imported.
//   Re-initialisation is not supported." for a second module object;
// - exec: runs `initialise` once, under the module's traceback entry; when it
//   fails, `reset` restores the state and a later import may try again.
#pragma once

#include "pyutil/error.h"

#include <cstdint>

namespace mirelo::py {

class SingleModule {
public:
    using Initialise = void (*)(PyObject* module);  // throws on failure
    using Reset = void (*)() noexcept;

    SingleModule(const char* name, const char* doc, const TraceSite& init_site, Initialise initialise,
                 Reset reset = nullptr);
    SingleModule(const SingleModule&) = delete;
    SingleModule& operator=(const SingleModule&) = delete;

    // The result of PyInit_<name>.
    PyObject* init() { return PyModuleDef_Init(&def_); }

private:
    static PyObject* create(PyObject* module_spec, PyModuleDef* def) noexcept;
    static int exec(PyObject* module) noexcept;
    static SingleModule& of(PyModuleDef* def);

    PyModuleDef def_;  // first member: the slots find the instance from it
    PyModuleDef_Slot slots_[3];
    TraceSite init_site_;
    Initialise initialise_;
    Reset reset_;
    std::int64_t interpreter_id_ = -1;
    PyObject* module_ = nullptr;  // borrowed: only compared, never used
    bool executed_ = false;
};

}  // namespace mirelo::py
