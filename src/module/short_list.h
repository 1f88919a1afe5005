// A list whose first N elements live inside it, on the caller's stack: a
// call's names, values and axes are few, so most calls make their lists
// without a call to any allocator.
#pragma once

#include <algorithm>
#include <cstddef>
#include <initializer_list>
#include <memory>
#include <new>
#include <span>
#include <type_traits>
#include <utility>
#include <vector>

namespace qelto {

template <class T, size_t N>
class ShortList {
    static_assert(std::is_trivially_copyable_v<T> && std::is_trivially_destructible_v<T>);

public:
    ShortList() = default;
    ShortList(const ShortList&) = delete;
    ShortList& operator=(const ShortList&) = delete;
    ShortList(ShortList&& other) noexcept : heap_(std::move(other.heap_)), size_(other.size_) {
        if (other.data_ == other.inPlace()) std::uninitialized_copy_n(other.data_, size_, data_);
        else data_ = heap_.data();
        other.data_ = other.inPlace();
        other.size_ = 0;
    }
    ShortList& operator=(ShortList&&) = delete;

    size_t size() const { return size_; }
    bool empty() const { return size_ == 0; }
    T* data() { return data_; }
    const T* data() const { return data_; }
    T* begin() { return data_; }
    T* end() { return data_ + size_; }
    const T* begin() const { return data_; }
    const T* end() const { return data_ + size_; }
    T& operator[](size_t i) { return data_[i]; }
    const T& operator[](size_t i) const { return data_[i]; }
    T& back() { return data_[size_ - 1]; }

    void reserve(size_t capacity) {
        if (capacity > this->capacity()) grow(capacity);
    }
    void push_back(const T& value) {
        if (size_ == capacity()) grow(std::max(2 * size_, N + 1));
        std::construct_at(data_ + size_, value);
        ++size_;
    }
    void resize(size_t size, const T& value = T()) {
        reserve(size);
        if (size > size_) std::uninitialized_fill(data_ + size_, data_ + size, value);
        size_ = size;
    }
    void assign(size_t size, const T& value) {
        size_ = 0;
        resize(size, value);
    }
    void assign(std::span<const T> values) {
        size_ = 0;
        reserve(values.size());
        std::uninitialized_copy(values.begin(), values.end(), data_);
        size_ = values.size();
    }
    void assign(std::initializer_list<T> values) { assign(std::span<const T>(values.begin(), values.size())); }

private:
    // Elements are made in the storage as they are added, so that a list
    // costs nothing to set up: no element of it is ever initialised unread.
    T* inPlace() { return std::launder(reinterpret_cast<T*>(storage_)); }
    size_t capacity() const { return heap_.empty() ? N : heap_.size(); }

    // The heap's elements past size_ are value-initialised and unused.
    void grow(size_t capacity) {
        const bool in_place = heap_.empty();
        heap_.resize(capacity);
        if (in_place) std::copy_n(data_, size_, heap_.data());
        data_ = heap_.data();
    }

    alignas(T) std::byte storage_[N * sizeof(T)];
    std::vector<T> heap_;
    T* data_ = inPlace();
    size_t size_ = 0;
};

}  // namespace qelto
