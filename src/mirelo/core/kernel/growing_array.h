// An array that grows at its end and hands its storage over whole: the
// profiles of a run are written once into it and become the result's array
// without another copy.  Growth reallocates, which can extend the storage in
// place (for large arrays the system maps more pages instead of copying).
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdlib>
#include <memory>
#include <new>
#include <type_traits>

namespace mirelo::core {

struct FreeStorage {
    void operator()(void* p) const { std::free(p); }
};

template <typename T>
class GrowingArray {
    static_assert(std::is_trivially_copyable_v<T>, "elements move with their bytes");

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

    // The storage, `size()` elements, released with std::free; the array is
    // empty afterwards.
    std::unique_ptr<T[], FreeStorage> release() {
        if (size_ > 0 && size_ < capacity_) resize_storage(size_);  // shrinks in place
        size_ = capacity_ = 0;
        return std::move(data_);
    }

private:
    // Four times the capacity at each step: the elements move at most a
    // third of their final size in all.
    void grow(std::size_t needed) { resize_storage(std::max({needed, 4 * capacity_, std::size_t{4096}})); }

    void resize_storage(std::size_t capacity) {
        void* moved = std::realloc(data_.get(), capacity * sizeof(T));
        if (moved == nullptr) throw std::bad_alloc();
        (void)data_.release();  // realloc has taken it
        data_.reset(static_cast<T*>(moved));
        capacity_ = capacity;
    }

    std::unique_ptr<T[], FreeStorage> data_;
    std::size_t size_ = 0;
    std::size_t capacity_ = 0;
};

}  // namespace mirelo::core
