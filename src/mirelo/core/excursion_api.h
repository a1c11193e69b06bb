// Native interface of mirelo.core.excursion, shared by the exporting module
// and its importers (the engine and the test probe) so that the signature
// strings and function-pointer types cannot drift apart.
//
// The module publishes these entries in its "__pyx_capi__" dictionary, each as
// a capsule named by its signature string: first the two variables (the
// capsule holds the address of the module variable, so an importer always sees
// the array stored there by the latest start_analysis), then the five
// functions.  All functions report failure only through the Python error
// indicator; end_analysis also returns null.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <map>

// NumPy's array object, opaque here; importers only pass it on.  This is the
// same declaration NumPy's headers make when NPY_NO_DEPRECATED_API is defined,
// as it is wherever this project includes them.
typedef struct tagPyArrayObject PyArrayObject;

namespace mirelo::excursion_api {

using StartAnalysisFn = void (*)(PyArrayObject* price_matrix, PyArrayObject* close_matrix,
                                 std::map<int, int> col_map, int stock_count, double fee_ratio,
                                 double tax_ratio, int window, int window_step);
using RecordDateFn = void (*)(int bar);
using RecordEntryFn = void (*)(int sid, double position, int is_new);
using RecordExitFn = void (*)(int sid, int is_final);
using EndAnalysisFn = PyObject* (*)(std::map<int, double>& open_positions);

inline constexpr const char kModuleName[] = "mirelo.core.excursion";

// The export table, in the order of the module's "__pyx_capi__": the two
// variables, then the five functions.  Exporter and importers walk this one
// list, so names, signatures and order cannot drift apart.
enum Export { kEntry, kPosition, kStartAnalysis, kRecordDate, kRecordEntry, kRecordExit, kEndAnalysis, kExportCount };

struct ExportEntry {
    const char* name;
    const char* signature;  // the capsule's name, compared character for character
    bool is_function;
};

inline constexpr ExportEntry kExports[kExportCount] = {
    {"entry", "PyArrayObject *", false},
    {"position", "PyArrayObject *", false},
    {"start_analysis", "void (PyArrayObject *, PyArrayObject *, std::map<int,int> , int, double, double, int, int)",
     true},
    {"record_date", "void (int)", true},
    {"record_entry", "void (int, double, int)", true},
    {"record_exit", "void (int, int)", true},
    {"end_analysis", "PyObject *(std::map<int,double>  &)", true},
};

// The bound entries, as an importer holds them.
struct Bindings {
    PyArrayObject** entry = nullptr;
    PyArrayObject** position = nullptr;
    StartAnalysisFn start_analysis = nullptr;
    RecordDateFn record_date = nullptr;
    RecordEntryFn record_entry = nullptr;
    RecordExitFn record_exit = nullptr;
    EndAnalysisFn end_analysis = nullptr;
};

}  // namespace mirelo::excursion_api
