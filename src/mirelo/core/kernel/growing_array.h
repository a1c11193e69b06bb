// An array that grows at its end and hands its storage over whole: the
// profiles of a run are written once into it and become the result's array
// without another copy.
#pragma once

#include <algorithm>
#include <cstddef>
#include <memory>

namespace mirelo::core {

template <typename T>
class GrowingArray {
public:
    std::size_t size() const { return size_; }
    bool empty() const { return size_ == 0; }
    T* data() { return data_.get(); }
    const T* data() const { return data_.get(); }

    // `count` more elements at the end, uninitialised; their first one.
    T* extend(std::size_t count) {
        if (size_ + count > capacity_) grow(size_ + count);
        T* first = data_.get() + size_;
        size_ += count;
        return first;
    }

    // The storage, `size()` elements; the array is empty afterwards.
    std::unique_ptr<T[]> release() {
        size_ = capacity_ = 0;
        return std::move(data_);
    }

private:
    void grow(std::size_t needed) {
        const std::size_t capacity = std::max({needed, 2 * capacity_, std::size_t{1024}});
        std::unique_ptr<T[]> bigger(new T[capacity]);
        std::copy(data_.get(), data_.get() + size_, bigger.get());
        data_ = std::move(bigger);
        capacity_ = capacity;
    }

    std::unique_ptr<T[]> data_;
    std::size_t size_ = 0;
    std::size_t capacity_ = 0;
};

}  // namespace mirelo::core
