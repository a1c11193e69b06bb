// mirelo.core.strconv: text to byte array by the low 8 bits of each character.
#include "pyutil/args.h"
#include "pyutil/messages.h"
#include "pyutil/single_module.h"

namespace {

using mirelo::py::ArgParser;
using mirelo::py::Ref;

constexpr const char* kSourceFile = "mirelo/core/strconv.cpp";

ArgParser g_str_to_bytearray_args{"str_to_bytearray", {"text"}, 1};

// Keeps code point AND 0xFF of every character: characters above U+00FF are
// reduced modulo 256, never encoded.
Ref low_bytes(PyObject* text) {
    const Py_ssize_t n = PyUnicode_GET_LENGTH(text);
    const int kind = PyUnicode_KIND(text);
    const void* data = PyUnicode_DATA(text);
    Ref out = mirelo::py::check(PyByteArray_FromStringAndSize(nullptr, n));
    char* bytes = PyByteArray_AS_STRING(out.get());
    for (Py_ssize_t i = 0; i < n; ++i) {
        bytes[i] = static_cast<char>(PyUnicode_READ(kind, data, i) & 0xFF);
    }
    return out;
}

PyObject* str_to_bytearray(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const mirelo::py::TraceSite site{"mirelo.core.strconv.str_to_bytearray", kSourceFile};
    return mirelo::py::guarded(site, static_cast<PyObject*>(nullptr), [&] {
        PyObject* text = nullptr;
        g_str_to_bytearray_args.parse(args, static_cast<size_t>(nargs), kwnames, &text);
        mirelo::py::check_arg_type(text, &PyUnicode_Type, "text", /*none_allowed=*/true,
                                   /*exact=*/true, "str");
        if (text == Py_None) mirelo::py::raise(PyExc_TypeError, mirelo::msg::kStrNoneNotIterable);
        return low_bytes(text).release();
    });
}

PyMethodDef methods[] = {
    {"str_to_bytearray", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(str_to_bytearray)),
     METH_FASTCALL | METH_KEYWORDS,
     "str_to_bytearray(text)\n--\n\n"
     "Return a new bytearray with one byte per character of `text`: the low 8 bits\n"
     "of its code point (characters above U+00FF are reduced modulo 256).\n"
     "`text` must be a str (subclasses are rejected)."},
    {nullptr, nullptr, 0, nullptr},
};

void initialise(PyObject* module) { mirelo::py::check_status(PyModule_AddFunctions(module, methods)); }

mirelo::py::SingleModule g_module{"strconv", "Text utility: conversion of text to a byte array.",
                                  {"mirelo.core.strconv.<module init>", kSourceFile}, initialise};

}  // namespace

PyMODINIT_FUNC PyInit_strconv() { return g_module.init(); }
