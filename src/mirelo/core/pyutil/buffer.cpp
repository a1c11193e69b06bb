#include "pyutil/buffer.h"
#include "pyutil/messages.h"

#include <bit>
#include <string>

namespace mirelo::py {

namespace {

constexpr bool kLittleEndian = std::endian::native == std::endian::little;

const char* expected_name(Elem elem) {
    switch (elem) {
        case Elem::Float64: return "float64_t";
        case Elem::Int64: return "int64_t";
        case Elem::Object: return "unicode object";
    }
    return "?";
}

// The struct-module type code of a buffer format, with the byte order split
// off: returns the code and whether the data is in native byte order.
std::string type_code(const char* format, bool* native_order) {
    std::string f = format != nullptr ? format : "B";
    *native_order = true;
    if (!f.empty()) {
        char c = f[0];
        if (c == '@' || c == '=') {
            f.erase(0, 1);
        } else if (c == '<' || c == '>' || c == '!') {
            *native_order = (c == '<') == kLittleEndian;
            f.erase(0, 1);
        }
    }
    return f;
}

// Human description of the element type of a buffer, for the mismatch message.
std::string describe(const std::string& code, bool native_order) {
    static const struct {
        const char* code;
        const char* text;
    } names[] = {
        {"b", "'signed char'"}, {"B", "'unsigned char'"}, {"h", "'short'"},
        {"H", "'unsigned short'"}, {"i", "'int'"}, {"I", "'unsigned int'"},
        {"l", "'long'"}, {"L", "'unsigned long'"}, {"q", "'long long'"},
        {"Q", "'unsigned long long'"}, {"e", "'half'"}, {"f", "'float'"},
        {"d", "'double'"}, {"g", "'long double'"}, {"?", "'bool'"},
        {"O", "Python object"}, {"Zf", "'complex float'"}, {"Zd", "'complex double'"},
        {"Zg", "'complex long double'"}, {"c", "'char'"},
    };
    std::string text = "'" + code + "'";
    for (const auto& n : names) {
        if (code == n.code) {
            text = n.text;
            break;
        }
    }
    return native_order ? text : "non-native byte order " + text;
}

bool matches(const std::string& code, bool native_order, Py_ssize_t itemsize, Elem elem) {
    switch (elem) {
        case Elem::Float64:
            return native_order && code == "d" && itemsize == 8;
        case Elem::Int64:
            return native_order && (code == "l" || code == "q") && itemsize == 8;
        case Elem::Object:
            return code == "O" && itemsize == static_cast<Py_ssize_t>(sizeof(PyObject*));
    }
    return false;
}

}  // namespace

void raise_out_of_bounds(int axis, std::source_location loc) {
    PyErr_Format(PyExc_IndexError, msg::kOutOfBounds, axis);
    throw ErrorSet{line_of(loc)};
}

void acquire_buffer(PyObject* obj, int ndim, Elem elem, Access access, Py_buffer* view,
                    std::source_location loc) {
    *view = Py_buffer{};
    if (obj == Py_None) return;
    int flags = PyBUF_FORMAT | PyBUF_STRIDES | (access == Access::Writable ? PyBUF_WRITABLE : 0);
    if (PyObject_GetBuffer(obj, view, flags) < 0) {
        *view = Py_buffer{};
        throw ErrorSet{line_of(loc)};
    }
    if (view->ndim != ndim) {
        int got = view->ndim;
        PyBuffer_Release(view);
        *view = Py_buffer{};
        PyErr_Format(PyExc_ValueError, msg::kWrongDimensions,
                     ndim, got);
        throw ErrorSet{line_of(loc)};
    }
    bool native_order = true;
    std::string code = type_code(view->format, &native_order);
    if (!matches(code, native_order, view->itemsize, elem)) {
        std::string got = describe(code, native_order);
        PyBuffer_Release(view);
        *view = Py_buffer{};
        PyErr_Format(PyExc_ValueError, msg::kDtypeMismatch, "'",
                     expected_name(elem), "'", got.c_str());
        throw ErrorSet{line_of(loc)};
    }
}

}  // namespace mirelo::py
