#include "pyutil/args.h"
#include "pyutil/messages.h"

#include <climits>

namespace mirelo::py {

ArgParser::ArgParser(const char* function_name, std::initializer_list<const char*> names,
                     Py_ssize_t required)
    : ArgParser(function_name, std::vector<const char*>(names), required) {}

ArgParser::ArgParser(const char* function_name, std::vector<const char*> names, Py_ssize_t required,
                     Py_ssize_t positional)
    : function_name_(function_name), names_(std::move(names)), required_(required),
      positional_(positional < 0 ? static_cast<Py_ssize_t>(names_.size()) : positional) {}

void ArgParser::raise_count(Py_ssize_t given, bool too_many) const {
    const Py_ssize_t total = positional_;
    const bool exact = required_ == total;
    const Py_ssize_t expected = too_many ? total : required_;
    const char* bound = exact ? "exactly" : (too_many ? "at most" : "at least");
    raise_format(PyExc_TypeError, msg::kArgCount,
                 function_name_, bound, expected, expected == 1 ? "" : "s", given);
}

Py_ssize_t ArgParser::keyword_index(PyObject* key) {
    if (interned_.empty()) {
        for (const char* n : names_) {
            PyObject* s = PyUnicode_InternFromString(n);
            if (s == nullptr) {
                for (PyObject* done : interned_) Py_DECREF(done);
                interned_.clear();
                throw_pending();
            }
            interned_.push_back(s);
        }
    }
    // Keyword names from a call are interned, so identity almost always decides.
    for (size_t i = 0; i < interned_.size(); ++i) {
        if (interned_[i] == key) return static_cast<Py_ssize_t>(i);
    }
    for (size_t i = 0; i < interned_.size(); ++i) {
        int eq = PyUnicode_Compare(interned_[i], key);
        if (eq == -1 && PyErr_Occurred()) throw_pending();
        if (eq == 0) return static_cast<Py_ssize_t>(i);
    }
    return -1;
}

void ArgParser::parse(PyObject* const* args, size_t nargsf, PyObject* kwnames, PyObject** out) {
    const Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    const Py_ssize_t total = size();
    if (nargs > positional_) raise_count(nargs, true);
    for (Py_ssize_t i = 0; i < total; ++i) out[i] = i < nargs ? args[i] : nullptr;

    const Py_ssize_t nkw = kwnames == nullptr ? 0 : PyTuple_GET_SIZE(kwnames);
    for (Py_ssize_t k = 0; k < nkw; ++k) {
        PyObject* key = PyTuple_GET_ITEM(kwnames, k);
        if (!PyUnicode_Check(key)) {
            raise_format(PyExc_TypeError, msg::kKeywordsMustBeStrings, function_name_);
        }
        Py_ssize_t idx = keyword_index(key);
        if (idx < 0) {
            raise_format(PyExc_TypeError, msg::kUnexpectedKeyword,
                         function_name_, key);
        }
        if (out[idx] != nullptr) {
            raise_format(PyExc_TypeError, msg::kMultipleValues,
                         function_name_, key);
        }
        out[idx] = args[nargs + k];
    }
    for (Py_ssize_t i = 0; i < required_; ++i) {
        // Reports how many leading required parameters were supplied.
        if (out[i] == nullptr) raise_count(i, false);
    }
}

void ArgParser::parse_tuple(PyObject* args, PyObject* kwargs, PyObject** out) {
    std::vector<PyObject*> values;
    const Py_ssize_t nargs = args != nullptr ? PyTuple_GET_SIZE(args) : 0;
    for (Py_ssize_t i = 0; i < nargs; ++i) values.push_back(PyTuple_GET_ITEM(args, i));
    Ref kwnames;
    if (kwargs != nullptr && PyDict_GET_SIZE(kwargs) > 0) {
        kwnames = check(PyTuple_New(PyDict_GET_SIZE(kwargs)));
        Py_ssize_t pos = 0, k = 0;
        PyObject *key, *value;
        while (PyDict_Next(kwargs, &pos, &key, &value)) {
            PyTuple_SET_ITEM(kwnames.get(), k++, Py_NewRef(key));
            values.push_back(value);
        }
    }
    parse(values.data(), static_cast<size_t>(nargs), kwnames.get(), out);
}

void check_arg_type(PyObject* obj, PyTypeObject* type, const char* name, bool none_allowed,
                    bool exact, const char* expected_name, std::source_location loc) {
    if (obj == Py_None && none_allowed) return;
    const bool ok = exact ? Py_IS_TYPE(obj, type) : PyObject_TypeCheck(obj, type);
    if (ok) return;
    PyErr_Format(PyExc_TypeError, msg::kIncorrectType,
                 name, expected_name != nullptr ? expected_name : type->tp_name,
                 Py_TYPE(obj)->tp_name);
    throw ErrorSet{line_of(loc)};
}

bool truth(PyObject* obj, std::source_location loc) {
    if (obj == Py_True) return true;
    if (obj == Py_False || obj == Py_None) return false;
    int r = PyObject_IsTrue(obj);
    if (r < 0) throw ErrorSet{line_of(loc)};
    return r != 0;
}

double to_double(PyObject* obj, std::source_location loc) {
    double v = PyFloat_CheckExact(obj) ? PyFloat_AS_DOUBLE(obj) : PyFloat_AsDouble(obj);
    if (v == -1.0 && PyErr_Occurred()) throw ErrorSet{line_of(loc)};
    return v;
}

int to_int32(PyObject* obj, std::source_location loc) {
    long v = PyLong_AsLong(obj);
    if (v == -1 && PyErr_Occurred()) {
        if (PyErr_ExceptionMatches(PyExc_OverflowError)) {
            PyErr_SetString(PyExc_OverflowError, msg::kIntOverflow);
        }
        throw ErrorSet{line_of(loc)};
    }
    if (v < INT_MIN || v > INT_MAX) {
        PyErr_SetString(PyExc_OverflowError, msg::kIntOverflow);
        throw ErrorSet{line_of(loc)};
    }
    return static_cast<int>(v);
}

}  // namespace mirelo::py
