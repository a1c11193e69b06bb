// Typed, strided views over buffers of Python objects, without copying.
//
// Taking a view checks the number of dimensions, then the element type, with
// the interpreter-standard buffer messages.  A view of None has every extent 0,
// so that any element access fails with the bounds error.  `at` is the
// bounds-checked access (negative indices count from the end, the error
// raised at the caller's line); `operator()` is for indices already known to
// be in range.  The element arithmetic is the kernel view's.
#pragma once

#include "kernel/view.h"
#include "pyutil/error.h"

#include <cstdint>
#include <type_traits>

namespace mirelo::py {

enum class Elem { Float64, Int64, Object };

template <typename T>
constexpr Elem elem_of() {
    if constexpr (std::is_same_v<T, double>) return Elem::Float64;
    else if constexpr (std::is_same_v<T, std::int64_t>) return Elem::Int64;
    else {
        static_assert(std::is_same_v<T, PyObject*>, "unsupported element type");
        return Elem::Object;
    }
}

enum class Access { ReadOnly, Writable };

// Acquires `obj`'s buffer (None gives an empty view) and checks dimensions and
// element type.  Throws ErrorSet on failure, with nothing acquired.
void acquire_buffer(PyObject* obj, int ndim, Elem elem, Access access, Py_buffer* view,
                    std::source_location loc);

// "Out of bounds on buffer access (axis %d)"
[[noreturn, gnu::cold, gnu::noinline]] void raise_out_of_bounds(int axis, std::source_location loc);

// One row of a 2-D view (its first element access checks the row).
template <typename T>
using RowView = core::Row<T>;

// A buffer acquired from a Python object and the kernel view of it.  The
// buffer is released when the view goes.
template <typename T, int N>
class BufferView {
    static_assert(N == 1 || N == 2, "views are 1-D or 2-D");

public:
    BufferView() = default;
    BufferView(const BufferView&) = delete;
    BufferView& operator=(const BufferView&) = delete;
    BufferView(BufferView&& o) noexcept { take(o); }
    BufferView& operator=(BufferView&& o) noexcept {
        if (this != &o) {
            release();
            take(o);
        }
        return *this;
    }
    ~BufferView() { release(); }

    static BufferView acquire(PyObject* obj, Access access = Access::ReadOnly,
                              std::source_location loc = std::source_location::current()) {
        BufferView v;
        acquire_buffer(obj, N, elem_of<T>(), access, &v.buf_, loc);
        v.held_ = v.buf_.obj != nullptr;
        if (v.held_) {
            core::Index shape[N], strides[N];
            for (int d = 0; d < N; ++d) shape[d] = v.buf_.shape[d];
            if (v.buf_.strides != nullptr) {
                for (int d = 0; d < N; ++d) strides[d] = v.buf_.strides[d];
            } else {
                core::Index s = static_cast<core::Index>(sizeof(T));
                for (int d = N - 1; d >= 0; --d) {
                    strides[d] = s;
                    s *= shape[d];
                }
            }
            v.view_ = core::View<T, N>(v.buf_.buf, shape, strides);
        }
        return v;
    }

    // The kernel's view of the buffer (extents 0 for None).
    const core::View<T, N>& view() const { return view_; }

    Py_ssize_t extent(int axis = 0) const { return view_.extent(axis); }
    bool is_none() const { return !held_; }
    PyObject* owner() const { return held_ ? buf_.obj : Py_None; }

    // Unchecked element access.
    T operator()(Py_ssize_t i) const requires(N == 1) { return view_(i); }
    T operator()(Py_ssize_t i, Py_ssize_t j) const requires(N == 2) { return view_(i, j); }
    void put(Py_ssize_t i, T value) requires(N == 1) { view_.put(i, value); }

    // Bounds-checked access with Python's negative indexing.
    T at(Py_ssize_t i, std::source_location loc = std::source_location::current()) const
        requires(N == 1) {
        return view_(wrap(i, 0, loc));
    }
    T at(Py_ssize_t i, Py_ssize_t j, std::source_location loc = std::source_location::current()) const
        requires(N == 2) {
        const Py_ssize_t r = wrap(i, 0, loc);
        return view_(r, wrap(j, 1, loc));
    }
    void set(Py_ssize_t i, T value, std::source_location loc = std::source_location::current())
        requires(N == 1) {
        view_.put(wrap(i, 0, loc), value);
    }
    RowView<T> row(Py_ssize_t i) const requires(N == 2) { return view_.row(i); }
    void fill(T value) requires(N == 1) { view_.fill(value); }
    T* contiguous_data() const requires(N == 1) { return view_.contiguous_data(); }

    // The in-range index for `i` on `axis`, negative indices counting from the end.
    Py_ssize_t wrap(Py_ssize_t i, int axis, std::source_location loc = std::source_location::current()) const {
        const core::Index k = view_.index(i, axis);
        if (k < 0) raise_out_of_bounds(axis, loc);
        return k;
    }

private:
    void take(BufferView& o) noexcept {
        buf_ = o.buf_;
        held_ = o.held_;
        view_ = o.view_;
        o.held_ = false;
        o.buf_ = Py_buffer{};
        o.view_ = core::View<T, N>();
    }
    void release() noexcept {
        if (held_) PyBuffer_Release(&buf_);
        held_ = false;
    }

    Py_buffer buf_{};
    bool held_ = false;
    core::View<T, N> view_;
};

}  // namespace mirelo::py
