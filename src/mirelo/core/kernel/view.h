// Typed, strided views over memory owned by someone else: NumPy buffers in
// the extension modules, plain vectors in native runs.
//
// A view knows its element pointer, extents and strides (in bytes; any sign,
// 0 for a broadcast axis) and nothing about Python.  `at` is the checked
// access, with Python's negative indexing, throwing OutOfBounds; `operator()`
// is for indices already known to be in range.  Elements are copied in and
// out with memcpy, so unaligned buffers (views into records) are fine.
#pragma once

#include "kernel/errors.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <type_traits>

namespace mirelo::core {

using Index = std::ptrdiff_t;

// One row of a 2-D view, taken once per row so that reading many elements of
// it costs one column check each.  A row outside its matrix is kept as an
// invalid row whose first element access fails on axis 0, as the 2-D access
// would.
template <typename T>
class Row {
public:
    Row() = default;
    Row(const char* base, Index stride, Index size, bool valid)
        : base_(base), stride_(stride), size_(size), valid_(valid) {}

    T at(Index j) const {
        if (!valid_) throw OutOfBounds{0};
        if (j < 0) j += size_;
        if (j < 0 || j >= size_) throw OutOfBounds{1};
        return (*this)(j);
    }
    T operator()(Index j) const {
        T v;
        std::memcpy(&v, base_ + j * stride_, sizeof(T));
        return v;
    }
    Index size() const { return valid_ ? size_ : 0; }
    bool valid() const { return valid_; }
    // Whether at(j) reads an element (j counted from the start).
    bool contains(Index j) const { return valid_ && j >= 0 && j < size_; }
    // Hints that element j, known to be in range, of the row `step` bytes
    // further (a row of the same matrix) will be read soon.
    void prefetch_in_row(Index j, Index step) const { __builtin_prefetch(base_ + j * stride_ + step); }
    // Hints that element j will be read soon; out-of-range indices are ignored.
    void prefetch(Index j) const {
        if (valid_ && j >= 0 && j < size_) {
            const char* p = base_ + j * stride_;
            __builtin_prefetch(p);
            // Without a use GCC drops a prefetch under a compound condition.
            asm volatile("" ::"r"(p));
        }
    }

private:
    const char* base_ = nullptr;
    Index stride_ = 0;
    Index size_ = 0;
    bool valid_ = false;
};

template <typename T, int N>
class View {
    static_assert(N == 1 || N == 2, "views are 1-D or 2-D");
    static_assert(std::is_trivially_copyable_v<T>, "elements are copied with memcpy");

public:
    View() = default;
    View(void* data, const Index* shape, const Index* strides) : data_(static_cast<char*>(data)) {
        for (int d = 0; d < N; ++d) {
            shape_[d] = shape[d];
            strides_[d] = strides[d];
        }
    }
    // A contiguous 1-D view of `size` elements.
    static View contiguous(T* data, Index size) requires(N == 1) {
        const Index stride = static_cast<Index>(sizeof(T));
        return View(data, &size, &stride);
    }

    Index extent(int axis = 0) const { return shape_[axis]; }
    Index stride(int axis = 0) const { return strides_[axis]; }
    char* data() const { return data_; }

    // The in-range position of index `i` on `axis`, negative indices counting
    // from the end; -1 when there is none.
    Index index(Index i, int axis) const {
        if (i < 0) i += shape_[axis];
        return i >= 0 && i < shape_[axis] ? i : -1;
    }
    Index checked(Index i, int axis) const {
        const Index k = index(i, axis);
        if (k < 0) throw OutOfBounds{axis};
        return k;
    }

    // Unchecked element access.
    T operator()(Index i) const requires(N == 1) { return load(element(i)); }
    T operator()(Index i, Index j) const requires(N == 2) { return load(element(i, j)); }
    void put(Index i, T value) const requires(N == 1) { std::memcpy(element(i), &value, sizeof(T)); }

    // Checked access with Python's negative indexing.
    T at(Index i) const requires(N == 1) { return load(element(checked(i, 0))); }
    T at(Index i, Index j) const requires(N == 2) {
        const Index r = checked(i, 0);
        return load(element(r, checked(j, 1)));
    }
    void set(Index i, T value) const requires(N == 1) { put(checked(i, 0), value); }

    char* element(Index i) const requires(N == 1) { return data_ + i * strides_[0]; }
    char* element(Index i, Index j) const requires(N == 2) {
        return data_ + i * strides_[0] + j * strides_[1];
    }

    // Row i, known to be one.
    Row<T> row_in_range(Index i) const requires(N == 2) {
        return Row<T>(data_ + i * strides_[0], strides_[1], shape_[1], true);
    }

    // Row i (negative counts from the end), checked at its first element access.
    Row<T> row(Index i) const requires(N == 2) {
        if (i < 0) i += shape_[0];
        const bool valid = i >= 0 && i < shape_[0];
        return Row<T>(valid ? data_ + i * strides_[0] : nullptr, strides_[1], shape_[1], valid);
    }

    // Element pointer of a contiguous, aligned 1-D buffer, else null.
    T* contiguous_data() const requires(N == 1) {
        const bool aligned = reinterpret_cast<std::uintptr_t>(data_) % alignof(T) == 0;
        return strides_[0] == static_cast<Index>(sizeof(T)) && aligned ? reinterpret_cast<T*>(data_) : nullptr;
    }
    void fill(T value) const requires(N == 1) {
        if (T* p = contiguous_data()) {
            std::fill(p, p + shape_[0], value);
            return;
        }
        for (Index i = 0; i < shape_[0]; ++i) put(i, value);
    }
    // Copies `source` element by element, with the row's own bounds checks;
    // one element per element of this view.
    void assign_row(const Row<T>& source) const requires(N == 1) {
        T* p = contiguous_data();
        if (source.size() >= shape_[0]) {  // every element is there
            for (Index j = 0; j < shape_[0]; ++j) {
                if (p != nullptr) p[j] = source(j);
                else put(j, source(j));
            }
            return;
        }
        for (Index j = 0; j < shape_[0]; ++j) {
            const T v = source.at(j);
            if (p != nullptr) p[j] = v;
            else put(j, v);
        }
    }

private:
    static T load(const char* p) {
        T v;
        std::memcpy(&v, p, sizeof(T));
        return v;
    }

    char* data_ = nullptr;
    Index shape_[N] = {};
    Index strides_[N] = {};
};

template <typename T>
using Vec = View<T, 1>;
template <typename T>
using Mat = View<T, 2>;

}  // namespace mirelo::core
