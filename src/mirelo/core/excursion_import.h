// Binding of mirelo.core.excursion's export table by name and exact signature.
#pragma once

#include "excursion_api.h"
#include "pyutil/capsule.h"

namespace mirelo::excursion_api {

// Binds the two variables, then the five functions, of `module`'s export
// table.  Throws ErrorSet with ImportError (missing entry) or TypeError
// (different signature string).
inline Bindings import_bindings(PyObject* module) {
    using py::ExportKind;
    using py::import_capsule;
    using py::import_function;
    Bindings b;
    b.entry = static_cast<PyArrayObject**>(
        import_capsule(module, kModuleName, kEntryName, kArrayVariableSig, ExportKind::Variable));
    b.position = static_cast<PyArrayObject**>(
        import_capsule(module, kModuleName, kPositionName, kArrayVariableSig, ExportKind::Variable));
    b.start_analysis = import_function<StartAnalysisFn>(module, kModuleName, kStartAnalysisName, kStartAnalysisSig);
    b.record_date = import_function<RecordDateFn>(module, kModuleName, kRecordDateName, kRecordDateSig);
    b.record_entry = import_function<RecordEntryFn>(module, kModuleName, kRecordEntryName, kRecordEntrySig);
    b.record_exit = import_function<RecordExitFn>(module, kModuleName, kRecordExitName, kRecordExitSig);
    b.end_analysis = import_function<EndAnalysisFn>(module, kModuleName, kEndAnalysisName, kEndAnalysisSig);
    return b;
}

}  // namespace mirelo::excursion_api
