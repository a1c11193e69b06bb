// Typed, strided views over buffers of NumPy arrays, without copying.
//
// Taking a view checks the number of dimensions, then the element type, with
// the interpreter-standard buffer messages.  A view of None has every extent 0,
// so that any element access fails with the bounds error.  `at` is the
// bounds-checked access (negative indices count from the end); `operator()` is
// for indices already known to be in range.
#pragma once

#include "pyutil/error.h"

#include <algorithm>
#include <bit>
#include <cstdint>
#include <cstring>
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

// One row of a 2-D view, taken once per row so that reading many elements of
// it costs one column check each.  A row outside the view raises the axis-0
// bounds error at its first element access, as the 2-D access would.
template <typename T>
class RowView {
public:
    RowView() = default;
    RowView(const char* base, Py_ssize_t stride, Py_ssize_t size, bool valid)
        : base_(base), stride_(stride), size_(size), valid_(valid) {}

    T at(Py_ssize_t j, std::source_location loc = std::source_location::current()) const {
        if (!valid_) raise_out_of_bounds(0, loc);
        if (j < 0) j += size_;
        if (j < 0 || j >= size_) raise_out_of_bounds(1, loc);
        T v;
        std::memcpy(&v, base_ + j * stride_, sizeof(T));
        return v;
    }
    // Whether at(j) reads an element (j counted from the start).
    bool contains(Py_ssize_t j) const { return valid_ && j >= 0 && j < size_; }
    // Hints that element j will be read soon; out-of-range indices are ignored.
    void prefetch(Py_ssize_t j) const {
        if (valid_ && j >= 0 && j < size_) {
            const char* p = base_ + j * stride_;
            __builtin_prefetch(p);
            // Without a use GCC drops a prefetch under a compound condition.
            asm volatile("" ::"r"(p));
        }
    }

private:
    const char* base_ = nullptr;
    Py_ssize_t stride_ = 0;
    Py_ssize_t size_ = 0;
    bool valid_ = false;
};

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
            v.data_ = static_cast<char*>(v.buf_.buf);
            for (int d = 0; d < N; ++d) {
                v.shape_[d] = v.buf_.shape[d];
                v.strides_[d] = v.buf_.strides != nullptr ? v.buf_.strides[d] : 0;
            }
            if (v.buf_.strides == nullptr) v.fill_contiguous_strides();
        }
        return v;
    }

    Py_ssize_t extent(int axis = 0) const { return shape_[axis]; }
    bool is_none() const { return !held_; }
    PyObject* owner() const { return held_ ? buf_.obj : Py_None; }

    // Unchecked element access.
    T operator()(Py_ssize_t i) const requires(N == 1) { return load(data_ + i * strides_[0]); }
    void put(Py_ssize_t i, T value) requires(N == 1) { std::memcpy(data_ + i * strides_[0], &value, sizeof(T)); }
    T operator()(Py_ssize_t i, Py_ssize_t j) const requires(N == 2) {
        return load(data_ + i * strides_[0] + j * strides_[1]);
    }

    // Bounds-checked access with Python's negative indexing.
    T at(Py_ssize_t i, std::source_location loc = std::source_location::current()) const
        requires(N == 1) {
        return load(data_ + wrap(i, 0, loc) * strides_[0]);
    }
    T at(Py_ssize_t i, Py_ssize_t j, std::source_location loc = std::source_location::current()) const
        requires(N == 2) {
        Py_ssize_t r = wrap(i, 0, loc);
        return load(data_ + r * strides_[0] + wrap(j, 1, loc) * strides_[1]);
    }
    void set(Py_ssize_t i, T value, std::source_location loc = std::source_location::current())
        requires(N == 1) {
        std::memcpy(data_ + wrap(i, 0, loc) * strides_[0], &value, sizeof(T));
    }
    // Row i (negative counts from the end), checked at its first element access.
    RowView<T> row(Py_ssize_t i) const requires(N == 2) {
        if (i < 0) i += shape_[0];
        const bool valid = i >= 0 && i < shape_[0];
        return RowView<T>(valid ? data_ + i * strides_[0] : nullptr, strides_[1], shape_[1], valid);
    }
    void fill(T value) requires(N == 1) {
        if (T* p = contiguous_data()) {
            std::fill(p, p + shape_[0], value);
            return;
        }
        for (Py_ssize_t i = 0; i < shape_[0]; ++i) std::memcpy(data_ + i * strides_[0], &value, sizeof(T));
    }
    // Element pointer of a contiguous, aligned 1-D buffer (the common case of
    // arrays the engine creates itself), else null.
    T* contiguous_data() const requires(N == 1) {
        const bool aligned = reinterpret_cast<std::uintptr_t>(data_) % alignof(T) == 0;
        return strides_[0] == static_cast<Py_ssize_t>(sizeof(T)) && aligned ? reinterpret_cast<T*>(data_)
                                                                             : nullptr;
    }
    // Copies row i of `matrix` into this 1-D view, element by element with the
    // row's own bounds checks; one element per element of this view.
    void assign_row(const RowView<T>& source) requires(N == 1) {
        T* p = contiguous_data();
        for (Py_ssize_t j = 0; j < shape_[0]; ++j) {
            const T v = source.at(j);
            if (p != nullptr) p[j] = v;
            else std::memcpy(data_ + j * strides_[0], &v, sizeof(T));
        }
    }

    // The in-range index for `i` on `axis`, negative indices counting from the end.
    Py_ssize_t wrap(Py_ssize_t i, int axis,
                    std::source_location loc = std::source_location::current()) const {
        if (i < 0) i += shape_[axis];
        if (i < 0 || i >= shape_[axis]) raise_out_of_bounds(axis, loc);
        return i;
    }

private:
    // Buffers need not be aligned (views into records, offset frombuffer).
    static T load(const char* p) {
        T v;
        std::memcpy(&v, p, sizeof(T));
        return v;
    }
    void fill_contiguous_strides() {
        Py_ssize_t s = static_cast<Py_ssize_t>(sizeof(T));
        for (int d = N - 1; d >= 0; --d) {
            strides_[d] = s;
            s *= shape_[d];
        }
    }
    void take(BufferView& o) noexcept {
        buf_ = o.buf_;
        held_ = o.held_;
        data_ = o.data_;
        for (int d = 0; d < N; ++d) {
            shape_[d] = o.shape_[d];
            strides_[d] = o.strides_[d];
        }
        o.held_ = false;
        o.buf_ = Py_buffer{};
    }
    void release() noexcept {
        if (held_) PyBuffer_Release(&buf_);
        held_ = false;
    }

    Py_buffer buf_{};
    bool held_ = false;
    char* data_ = nullptr;
    Py_ssize_t shape_[N] = {};
    Py_ssize_t strides_[N] = {};
};

}  // namespace mirelo::py
