// normalize_weight: gross exposure at most 1, each weight clipped to the limit.
#include "glue/normalize.h"
#include "pyutil/messages.h"

#include "pyutil/args.h"

namespace mirelo::glue {
namespace {

constexpr const char kFile[] = "mirelo/core/glue/normalize.cpp";
const py::TraceSite kSite{"mirelo.core.tradesim.normalize_weight", kFile};

// Calls visit(key) for every key of `weights`, in its iteration order.
template <typename Visit>
void for_each_key(PyObject* weights, Visit&& visit) {
    py::Ref it = py::check(PyObject_GetIter(weights));
    while (py::Ref key = py::Ref::steal(PyIter_Next(it.get()))) visit(key.get());
    py::check_no_error();
}

// The gross sum: 0.0 + abs(weights[sid]) for every item, with Python
// arithmetic so that NumPy scalars keep their type.
py::Ref gross_sum(PyObject* weights) {
    py::Ref items_method = py::check(PyObject_GetAttrString(weights, "items"));
    py::Ref items = py::check(PyObject_CallNoArgs(items_method.get()));
    py::Ref it = py::check(PyObject_GetIter(items.get()));
    py::Ref sum = py::check(PyFloat_FromDouble(0.0));
    while (py::Ref item = py::Ref::steal(PyIter_Next(it.get()))) {
        py::Ref pair = py::check(PySequence_Tuple(item.get()));
        const Py_ssize_t got = PyTuple_GET_SIZE(pair.get());
        if (got > 2) py::raise_format(PyExc_ValueError, msg::kTooManyValues);
        if (got < 2) py::raise_format(PyExc_ValueError, msg::kNotEnoughValues, got);
        py::Ref value = py::check(PyObject_GetItem(weights, PyTuple_GET_ITEM(pair.get(), 0)));
        py::Ref magnitude = py::check(PyNumber_Absolute(value.get()));
        sum = py::check(PyNumber_InPlaceAdd(sum.get(), magnitude.get()));
    }
    py::check_no_error();
    return sum;
}

bool greater(PyObject* a, PyObject* b, int op = Py_GT) {
    return py::check_status(PyObject_RichCompareBool(a, b, op)) != 0;
}

// 1. gross sum; 2. above 1: every weight times 1 / sum; 3. clip to
// [-limit, limit], the limit object itself taking the place of the weight.
void normalize(PyObject* weights, PyObject* position_limit) {
    py::Ref sum = gross_sum(weights);
    py::Ref one = py::check(PyLong_FromLong(1));
    for_each_key(weights, [&](PyObject* sid) {
        if (!greater(sum.get(), one.get())) return;
        py::Ref value = py::check(PyObject_GetItem(weights, sid));
        py::Ref factor = py::check(PyNumber_TrueDivide(one.get(), sum.get()));
        py::Ref scaled = py::check(PyNumber_Multiply(value.get(), factor.get()));
        py::check_status(PyObject_SetItem(weights, sid, scaled.get()));
    });
    for_each_key(weights, [&](PyObject* sid) {
        py::Ref value = py::check(PyObject_GetItem(weights, sid));
        if (greater(value.get(), position_limit)) {
            py::check_status(PyObject_SetItem(weights, sid, position_limit));
            return;
        }
        py::Ref lower = py::check(PyNumber_Negative(position_limit));
        if (greater(value.get(), lower.get(), Py_LT)) {
            py::check_status(PyObject_SetItem(weights, sid, lower.get()));
        }
    });
}

}  // namespace

py::Ref normalize_weights(PyObject* weights, PyObject* position_limit, std::source_location caller) {
    return py::traced(kSite, [&] {
        normalize(weights, position_limit);
        return py::Ref::borrow(weights);
    }, caller);
}

const char kNormalizeWeightDoc[] =
    "normalize_weight(weights, position_limit)\n--\n\n"
    "Scale the dict `weights` in place so that its gross exposure (sum of absolute\n"
    "weights) is at most 1 -- every value is divided by the gross sum when that sum\n"
    "exceeds 1 -- then clip each weight to [-position_limit, position_limit].\n"
    "Keys are never added or removed.  Returns `weights` itself.";

PyObject* normalize_weight(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static py::ArgParser parser{"normalize_weight", {"weights", "position_limit"}, 2};
    return py::guarded(kSite, static_cast<PyObject*>(nullptr), [&] {
        PyObject* a[2];
        parser.parse(args, static_cast<size_t>(nargs), kwnames, a);
        normalize(a[0], a[1]);
        return Py_NewRef(a[0]);
    });
}

}  // namespace mirelo::glue
