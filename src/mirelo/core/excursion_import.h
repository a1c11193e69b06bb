// Binding of mirelo.core.excursion's export table by name and exact signature.
#pragma once

#include "excursion_api.h"
#include "pyutil/capsule.h"

namespace mirelo::excursion_api {

// Binds the two variables, then the five functions, of `module`'s export
// table.  Throws ErrorSet with ImportError (missing entry) or TypeError
// (different signature string).
inline Bindings import_bindings(PyObject* module) {
    void* bound[kExportCount];
    for (int k = 0; k < kExportCount; ++k) {
        const ExportEntry& e = kExports[k];
        bound[k] = py::import_capsule(module, kModuleName, e.name, e.signature,
                                      e.is_function ? py::ExportKind::Function : py::ExportKind::Variable);
    }
    Bindings b;
    b.entry = static_cast<PyArrayObject**>(bound[kEntry]);
    b.position = static_cast<PyArrayObject**>(bound[kPosition]);
    b.start_analysis = reinterpret_cast<StartAnalysisFn>(bound[kStartAnalysis]);
    b.record_date = reinterpret_cast<RecordDateFn>(bound[kRecordDate]);
    b.record_entry = reinterpret_cast<RecordEntryFn>(bound[kRecordEntry]);
    b.record_exit = reinterpret_cast<RecordExitFn>(bound[kRecordExit]);
    b.end_analysis = reinterpret_cast<EndAnalysisFn>(bound[kEndAnalysis]);
    return b;
}

}  // namespace mirelo::excursion_api
