// Fast-call argument parsing with the interpreter's standard wording.
#pragma once

#include "pyutil/error.h"

#include <initializer_list>
#include <vector>

namespace mirelo::py {

// The parameters of one function: names in positional order, the first
// `required` of which must be given.  Every parameter may be given by keyword;
// the first `positional` of them (all, by default) also by position.
class ArgParser {
public:
    ArgParser(const char* function_name, std::initializer_list<const char*> names,
              Py_ssize_t required);
    ArgParser(const char* function_name, std::vector<const char*> names, Py_ssize_t required,
              Py_ssize_t positional = -1);

    Py_ssize_t size() const { return static_cast<Py_ssize_t>(names_.size()); }
    const char* function_name() const { return function_name_; }
    const char* name(Py_ssize_t i) const { return names_[static_cast<size_t>(i)]; }

    // Fills out[0 .. size()) with borrowed references, nullptr for an optional
    // parameter not given.  Throws ErrorSet with the standard TypeError.
    void parse(PyObject* const* args, size_t nargsf, PyObject* kwnames, PyObject** out);
    // The same for a call made with a tuple and a dict (either may be null).
    // The references stay valid while `args` and `kwargs` live.
    void parse_tuple(PyObject* args, PyObject* kwargs, PyObject** out);

private:
    Py_ssize_t keyword_index(PyObject* key);
    [[noreturn]] void raise_count(Py_ssize_t given, bool too_many) const;

    const char* function_name_;
    std::vector<const char*> names_;
    std::vector<PyObject*> interned_;  // immortal interned keyword names, made on first use
    Py_ssize_t required_;
    Py_ssize_t positional_;
};

// "Argument '<name>' has incorrect type (expected <type>, got <type>)" unless
// `obj` is an instance of `type` (exactly, when `exact`) or None where allowed.
void check_arg_type(PyObject* obj, PyTypeObject* type, const char* name, bool none_allowed,
                    bool exact, const char* expected_name = nullptr,
                    std::source_location loc = std::source_location::current());

// Python truth value; throws ErrorSet when __bool__ fails.
bool truth(PyObject* obj, std::source_location loc = std::source_location::current());

// Float conversion as float() does it (int, NumPy scalars, __float__, __index__).
double to_double(PyObject* obj, std::source_location loc = std::source_location::current());

// Conversion to a 32-bit signed int; "value too large to convert to int" outside it.
int to_int32(PyObject* obj, std::source_location loc = std::source_location::current());

}  // namespace mirelo::py
