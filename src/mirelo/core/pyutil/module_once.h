// A module whose state is process-wide can be created once, in one
// interpreter.  `ModuleOnce` implements the create and exec slots' checks.
#pragma once

#include "pyutil/error.h"

#include <cstdint>

namespace mirelo::py {

class ModuleOnce {
public:
    explicit constexpr ModuleOnce(const char* short_name) : short_name_(short_name) {}

    // Py_mod_create: ImportError in a second interpreter, RuntimeError on a
    // second initialisation; otherwise a new module object named after `spec`.
    PyObject* create(PyObject* spec) noexcept;

    // Py_mod_exec: true when `module` still has to be initialised (the first
    // and only module object, executed for the first time).
    bool needs_exec(PyObject* module) noexcept;

    // The exec slot failed: a later import may try again from the start.
    void exec_failed() noexcept {
        module_ = nullptr;
        executed_ = false;
    }

private:
    const char* short_name_;
    std::int64_t interpreter_id_ = -1;
    PyObject* module_ = nullptr;  // borrowed: only compared, never used
    bool executed_ = false;
};

}  // namespace mirelo::py
