// The export table of native functions and variables ("__pyx_capi__"): a
// dictionary from export name to a capsule whose name is the exact signature
// string of the export and whose pointer is the function, or the address of
// the variable.
#pragma once

#include "pyutil/error.h"

namespace mirelo::py {

enum class ExportKind { Function, Variable };

// Adds `name` -> capsule(pointer, signature) to `table`.  `signature` must
// outlive the capsule (a string literal).
void export_capsule(PyObject* table, const char* name, void* pointer, const char* signature);

// The pointer exported by `module` (imported as `module_name`) under `name`,
// after checking its signature character for character.  ImportError when the
// table or the entry is missing, TypeError when the signature differs.
void* import_capsule(PyObject* module, const char* module_name, const char* name,
                     const char* signature, ExportKind kind);

template <typename Fn>
Fn import_function(PyObject* module, const char* module_name, const char* name, const char* signature) {
    return reinterpret_cast<Fn>(import_capsule(module, module_name, name, signature, ExportKind::Function));
}

}  // namespace mirelo::py
