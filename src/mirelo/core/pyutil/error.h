// Error propagation between native code and the Python error indicator.
//
// Inside a module, a failure is a C++ exception: `ErrorSet` when a Python
// exception is already pending (it carries the source line of the failing
// statement), or a standard exception from a container.  Each Python-visible
// entry point and each internal operation with a traceback entry of its own
// catches at exactly one place, `guarded`, which makes sure a Python exception
// is pending and adds the traceback entry "mirelo.core.<module>.<function>".
#pragma once

#include "pyutil/ref.h"

#include <source_location>

namespace mirelo::py {

// A Python exception is pending; `line` is where it was detected.
struct ErrorSet {
    int line;
};

inline int line_of(std::source_location loc) { return static_cast<int>(loc.line()); }

// Throws ErrorSet for an exception that is already pending.
[[noreturn]] inline void throw_pending(std::source_location loc = std::source_location::current()) {
    throw ErrorSet{line_of(loc)};
}

// Sets a Python exception with a fixed message and throws ErrorSet.
[[noreturn]] inline void raise(PyObject* type, const char* message,
                               std::source_location loc = std::source_location::current()) {
    PyErr_SetString(type, message);
    throw ErrorSet{line_of(loc)};
}

// A printf-style format for PyErr_Format that remembers where it was written.
struct Fmt {
    const char* text;
    int line;
    Fmt(const char* t, std::source_location loc = std::source_location::current())
        : text(t), line(line_of(loc)) {}
};

template <typename... Args>
[[noreturn]] void raise_format(PyObject* type, Fmt fmt, Args... args) {
    PyErr_Format(type, fmt.text, args...);
    throw ErrorSet{fmt.line};
}

// Returns a new reference, or throws if the call that produced it failed.
inline Ref check(PyObject* obj, std::source_location loc = std::source_location::current()) {
    if (obj == nullptr) throw ErrorSet{line_of(loc)};
    return Ref::steal(obj);
}

// For C-API calls returning -1 on failure.
inline int check_status(int status, std::source_location loc = std::source_location::current()) {
    if (status < 0) throw ErrorSet{line_of(loc)};
    return status;
}

// For calls that report failure only through the error indicator.
inline void check_no_error(std::source_location loc = std::source_location::current()) {
    if (PyErr_Occurred() != nullptr) throw ErrorSet{line_of(loc)};
}

// Where a traceback entry points: "mirelo.core.<module>.<function>" in the
// module's source file, and the line used when the failure has no line of its
// own (a standard exception).
struct TraceSite {
    const char* qualname;
    const char* filename;
    int line;
    TraceSite(const char* name, const char* file,
              std::source_location loc = std::source_location::current())
        : qualname(name), filename(file), line(line_of(loc)) {}
};

// The pending exception as one object (a new reference, null when none),
// the indicator cleared; and the reverse, stealing `exc`.
PyObject* fetch_exception();
void restore_exception(PyObject* exc);

// Appends a traceback entry for the pending exception.
void add_traceback(const char* qualname, const char* filename, int line) noexcept;

// Inside a catch block: makes the in-flight exception a pending Python
// exception and adds the traceback entry of `site`.  This is the one place
// where native failures become Python exceptions: ErrorSet (already
// pending), the kernel's errors (OutOfBounds, Error, Cancelled as
// KeyboardInterrupt) and the standard exceptions (std::bad_alloc as
// MemoryError).
void handle_exception(const TraceSite& site) noexcept;

// Runs `body`; on any failure returns `error_value` with a Python exception
// pending and the traceback entry of `site` added.
template <typename R, typename F>
R guarded(const TraceSite& site, R error_value, F&& body) noexcept {
    try {
        return body();
    } catch (...) {
        handle_exception(site);
        return error_value;
    }
}

// Runs `body`, a helper's work without a traceback entry of its own: a
// failure with a pending Python exception is reported at the caller's line,
// so that the caller's entry points at its own source.
template <typename F>
auto at_caller_line(std::source_location caller, F&& body) {
    try {
        return body();
    } catch (const ErrorSet&) {
        throw ErrorSet{line_of(caller)};
    }
}

// An operation with a traceback entry of its own, inside another one (the
// engine's set_position inside rebalance inside backtest_): runs `body`; on
// failure adds the entry of `site` and rethrows ErrorSet at the caller's
// line, for the caller's own entry.  The one way an inner operation reports.
template <typename F>
auto traced(const TraceSite& site, F&& body, std::source_location caller = std::source_location::current()) {
    try {
        return body();
    } catch (...) {
        handle_exception(site);
        throw ErrorSet{line_of(caller)};
    }
}

}  // namespace mirelo::py
