// ioft: nanosecond timestamps as local date-times.
#include "pyutil/args.h"
#include "tradesim/functions.h"
#include "tradesim/state.h"

namespace mirelo::tradesim {
namespace {

constexpr const char kFile[] = "mirelo/core/tradesim/ioft.cpp";

}  // namespace

const char kIoftDoc[] =
    "ioft(v)\n--\n\n"
    "Convert a timestamp in nanoseconds since the Unix epoch (int or float) to a\n"
    "naive datetime.datetime in the process's local time zone, with microsecond\n"
    "resolution: datetime.datetime.fromtimestamp(v / 1e9).";

PyObject* ioft(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const py::TraceSite site{"mirelo.core.tradesim.ioft", kFile};
    static py::ArgParser parser{"ioft", {"v"}, 1};
    static GlobalName datetime_module{"datetime"};
    return py::guarded(site, static_cast<PyObject*>(nullptr), [&] {
        PyObject* v = nullptr;
        parser.parse(args, static_cast<size_t>(nargs), kwnames, &v);
        py::Ref cls = g_state.globals.attr(datetime_module, "datetime");
        py::Ref billion = py::check(PyFloat_FromDouble(1e9));
        py::Ref seconds = py::check(PyNumber_TrueDivide(v, billion.get()));
        return py::check(PyObject_CallMethod(cls.get(), "fromtimestamp", "O", seconds.get())).release();
    });
}

}  // namespace mirelo::tradesim
