#pragma once
// AxisVector<T, N>: one value per axis of an array (its lengths, its strides), with the subset of
// std::vector's interface the engine uses. Up to N values live inside the object, so the shape and
// strides of a typical array take no allocation of their own; a longer one moves to the heap and
// stays there, growing as std::vector does. The values are trivially copyable numbers. A
// moved-from vector is empty.

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <initializer_list>
#include <iterator>
#include <memory>
#include <type_traits>

namespace engine::cpu {

template <class T, std::size_t N = 6>
class AxisVector {
    static_assert(std::is_trivially_copyable_v<T> && std::is_trivially_default_constructible_v<T>);
    static_assert(N > 0);

public:
    using value_type = T;
    using size_type = std::size_t;
    using difference_type = std::ptrdiff_t;
    using reference = T&;
    using const_reference = const T&;
    using pointer = T*;
    using const_pointer = const T*;
    using iterator = T*;
    using const_iterator = const T*;

    AxisVector() = default;
    explicit AxisVector(size_type count) : AxisVector(count, T{}) {}
    AxisVector(size_type count, const T& value) { assign(count, value); }
    template <std::input_iterator It>
    AxisVector(It first, It last) {
        assign(first, last);
    }
    AxisVector(std::initializer_list<T> values) { assign(values.begin(), values.end()); }

    AxisVector(const AxisVector& other) {
        if (other.heap_) {
            assign(other.begin(), other.end());
        } else {
            copy_inline(other);
        }
    }
    AxisVector(AxisVector&& other) noexcept { take(other); }
    AxisVector& operator=(const AxisVector& other) {
        if (this != &other) assign(other.begin(), other.end());
        return *this;
    }
    AxisVector& operator=(AxisVector&& other) noexcept {
        if (this != &other) {
            heap_.reset();
            take(other);
        }
        return *this;
    }
    ~AxisVector() = default;

    void assign(size_type count, const T& value) {
        const T copy = value;  // value may be one of ours, and growing drops them
        make_room(count, false);
        std::fill_n(data(), count, copy);
        size_ = count;
    }
    template <std::input_iterator It>
    void assign(It first, It last) {
        if constexpr (std::forward_iterator<It>) {
            const auto count = size_type(std::distance(first, last));
            make_room(count, false);
            std::transform(first, last, data(), [](const auto& v) { return static_cast<T>(v); });
            size_ = count;
        } else {
            clear();
            for (; first != last; ++first) push_back(static_cast<T>(*first));
        }
    }

    // count values, each left for the caller to write (what was there before may be gone).
    void resize_for_overwrite(size_type count) {
        make_room(count, false);
        size_ = count;
    }

    T* data() noexcept { return heap_ ? heap_.get() : inline_; }
    const T* data() const noexcept { return heap_ ? heap_.get() : inline_; }
    size_type size() const noexcept { return size_; }
    bool empty() const noexcept { return size_ == 0; }

    iterator begin() noexcept { return data(); }
    iterator end() noexcept { return data() + size_; }
    const_iterator begin() const noexcept { return data(); }
    const_iterator end() const noexcept { return data() + size_; }
    std::reverse_iterator<iterator> rbegin() noexcept { return std::reverse_iterator(end()); }
    std::reverse_iterator<iterator> rend() noexcept { return std::reverse_iterator(begin()); }

    // Unchecked, as std::vector's.
    T& operator[](size_type i) noexcept { return data()[i]; }
    const T& operator[](size_type i) const noexcept { return data()[i]; }
    T& back() noexcept { return data()[size_ - 1]; }
    const T& back() const noexcept { return data()[size_ - 1]; }

    void clear() noexcept { size_ = 0; }
    void push_back(const T& value) {
        if (size_ == capacity_) {
            const T copy = value;  // value may be one of ours, and growing moves them
            make_room(capacity_ * 2, true);
            data()[size_++] = copy;
        } else {
            data()[size_++] = value;
        }
    }

    friend bool operator==(const AxisVector& a, const AxisVector& b) {
        return std::equal(a.begin(), a.end(), b.begin(), b.end());
    }

private:
    // Capacity for at least count values; the first size_ values survive when `keep` is set.
    void make_room(size_type count, bool keep) {
        if (count <= capacity_) return;
        const size_type grown = std::max(count, capacity_ * 2);
        auto fresh = std::make_unique_for_overwrite<T[]>(grown);
        if (keep) std::copy_n(data(), size_, fresh.get());
        heap_ = std::move(fresh);
        capacity_ = grown;
    }
    // Takes other's values; other is left empty and inline. Our heap block is already gone.
    void take(AxisVector& other) noexcept {
        size_ = other.size_;
        if (other.heap_) {
            heap_ = std::move(other.heap_);
            capacity_ = other.capacity_;
        } else {
            copy_inline(other);
        }
        other.size_ = 0;
        other.capacity_ = N;
    }
    // Copies the whole inline block: a fixed size, which compiles to a few moves (std::copy_n
    // would be a call to memmove). Our heap block, if any, must already be gone; other is
    // another object. Values past size_ may never have been written: copied along, they are
    // never read (GCC warns that they may be used uninitialized).
    void copy_inline(const AxisVector& other) noexcept {
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif
        std::memcpy(inline_, other.inline_, sizeof inline_);
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic pop
#endif
        size_ = other.size_;
        capacity_ = N;
    }

    std::unique_ptr<T[]> heap_;  // null while the values fit inline_
    size_type size_ = 0;
    size_type capacity_ = N;
    T inline_[N];  // left unwritten past size_: a new vector costs no stores
};

}  // namespace engine::cpu
