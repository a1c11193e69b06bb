// A module's Python globals, read by name at every use, as Python code reads a
// global: the module's dictionary first, then the builtins.  User code may
// rebind or delete them between two uses, so nothing is cached but the name.
#pragma once

#include "pyutil/error.h"

namespace mirelo::py {

// The name of a module global, interned on first use.
class GlobalName {
public:
    explicit constexpr GlobalName(const char* text) : text_(text) {}
    PyObject* interned(std::source_location loc = std::source_location::current());

private:
    const char* text_;
    PyObject* interned_ = nullptr;  // immortal once made
};

class ModuleGlobals {
public:
    // Reads and writes the dictionary of `module`.
    void bind(PyObject* module) { dict_ = Ref::borrow(PyModule_GetDict(module)); }
    void reset() noexcept { dict_.reset(); }

    // The global (a new reference): NameError "name '...' is not defined"
    // when neither the dictionary nor the builtins have it.
    Ref get(GlobalName& name, std::source_location loc = std::source_location::current()) const;
    // The dictionary's value (borrowed) or null: no builtins, no NameError.
    PyObject* find(GlobalName& name, std::source_location loc = std::source_location::current()) const;
    void set(const char* name, PyObject* value, std::source_location loc = std::source_location::current()) const;
    // getattr(<global>, attribute).
    Ref attr(GlobalName& name, const char* attribute,
             std::source_location loc = std::source_location::current()) const;

private:
    Ref dict_;
};

}  // namespace mirelo::py
