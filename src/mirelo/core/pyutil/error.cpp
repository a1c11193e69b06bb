#include "pyutil/error.h"

#include "kernel/errors.h"
#include "pyutil/messages.h"

#include <frameobject.h>

#include <new>
#include <stdexcept>

namespace mirelo::py {

PyObject* fetch_exception() {
#if PY_VERSION_HEX >= 0x030C0000
    return PyErr_GetRaisedException();
#else
    PyObject *type, *value, *tb;
    PyErr_Fetch(&type, &value, &tb);
    PyErr_NormalizeException(&type, &value, &tb);
    if (value != nullptr && tb != nullptr) PyException_SetTraceback(value, tb);
    Py_XDECREF(type);
    Py_XDECREF(tb);
    return value;
#endif
}

void restore_exception(PyObject* exc) {
#if PY_VERSION_HEX >= 0x030C0000
    PyErr_SetRaisedException(exc);
#else
    if (exc == nullptr) return;
    PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(exc));
    Py_INCREF(type);
    PyErr_Restore(type, exc, PyException_GetTraceback(exc));
#endif
}

namespace {

// Sets the Python exception matching a standard exception.
void set_from_std_exception(const std::exception& e) {
    PyObject* type = PyExc_RuntimeError;
    if (dynamic_cast<const std::bad_alloc*>(&e) || dynamic_cast<const std::length_error*>(&e)) {
        PyErr_NoMemory();
        return;
    }
    if (dynamic_cast<const std::out_of_range*>(&e)) type = PyExc_IndexError;
    else if (dynamic_cast<const std::overflow_error*>(&e)) type = PyExc_OverflowError;
    else if (dynamic_cast<const std::invalid_argument*>(&e) ||
             dynamic_cast<const std::domain_error*>(&e)) type = PyExc_ValueError;
    PyErr_SetString(type, e.what());
}

PyObject* exception_type(core::ErrorKind kind) {
    switch (kind) {
        case core::ErrorKind::IndexError: return PyExc_IndexError;
        case core::ErrorKind::ValueError: return PyExc_ValueError;
        case core::ErrorKind::ZeroDivisionError: return PyExc_ZeroDivisionError;
        case core::ErrorKind::OverflowError: return PyExc_OverflowError;
        case core::ErrorKind::UnboundLocalError: return PyExc_UnboundLocalError;
    }
    return PyExc_SystemError;
}

}  // namespace

void add_traceback(const char* qualname, const char* filename, int line) noexcept {
    // The frame is built while no exception is pending, so that a failure to
    // build it cannot replace the exception being reported.
    PyObject* exc = fetch_exception();
    PyCodeObject* code = PyCode_NewEmpty(filename, qualname, line);
    PyObject* globals = PyDict_New();
    PyFrameObject* frame = nullptr;
    if (code != nullptr && globals != nullptr) {
        frame = PyFrame_New(PyThreadState_Get(), code, globals, nullptr);
    }
    PyErr_Clear();
    restore_exception(exc);
    if (frame != nullptr) {
        PyTraceBack_Here(frame);
    }
    Py_XDECREF(frame);
    Py_XDECREF(globals);
    Py_XDECREF(reinterpret_cast<PyObject*>(code));
}

void handle_exception(const TraceSite& site) noexcept {
    int line = site.line;
    try {
        throw;
    } catch (const ErrorSet& e) {
        line = e.line;
    } catch (const core::OutOfBounds& e) {
        PyErr_Format(PyExc_IndexError, msg::kOutOfBounds, e.axis);
    } catch (const core::Error& e) {
        PyErr_SetString(exception_type(e.kind), e.message.c_str());
    } catch (const core::Cancelled&) {
        PyErr_SetNone(PyExc_KeyboardInterrupt);
    } catch (const std::exception& e) {
        set_from_std_exception(e);
    } catch (...) {
        PyErr_SetString(PyExc_SystemError, msg::kUnknownNativeException);
    }
    if (PyErr_Occurred() == nullptr) {
        PyErr_SetString(PyExc_SystemError, msg::kErrorWithoutException);
    }
    add_traceback(site.qualname, site.filename, line);
}

}  // namespace mirelo::py
