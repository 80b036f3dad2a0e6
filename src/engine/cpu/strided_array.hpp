#pragma once
// StridedArray<T>: an owned n-dimensional array. Element (i0, i1, ...) lives at
// data() + sum(ik * strides[k]); strides are counted in elements and may be 0 or permuted.
// Every array owns its buffer; no two arrays ever share memory.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#if defined(__linux__)
#include <sys/mman.h>
#endif
#include <cstring>
#include <limits>
#include <memory>
#include <new>
#include <optional>
#include <span>
#include <utility>
#include <vector>

#include "engine/cpu/axis_vector.hpp"
#include "engine/cpu/block_cache.hpp"
#include "engine/cpu/loop.hpp"
#include "runtime/error.hpp"
#include "runtime/text.hpp"

namespace engine::cpu {

// An array's lengths and strides, one per axis.
using Shape = AxisVector<std::size_t>;
using Strides = AxisVector<std::ptrdiff_t>;

// The number of elements of a shape, or nothing when the product of its non-zero lengths
// exceeds the largest signed machine word.
inline std::optional<std::size_t> checked_element_count(std::span<const std::size_t> shape) {
    std::size_t product = 1;
    bool empty = false;
    for (std::size_t length : shape) {
        if (length == 0) {
            empty = true;
            continue;
        }
        // A multiplication that says when it wraps, where a division would take many cycles.
        if (__builtin_mul_overflow(product, length, &product) ||
            product > std::size_t(std::numeric_limits<std::ptrdiff_t>::max())) {
            return std::nullopt;
        }
    }
    return empty ? 0 : product;
}

inline std::size_t element_count(std::span<const std::size_t> shape) {
    std::size_t product = 1;
    for (std::size_t length : shape) product *= length;
    return product;
}

// Writes row-major strides for a shape of `count` elements into `strides` (one per axis); all 0
// when an axis has length 0.
inline void write_row_major_strides(std::span<const std::size_t> shape, std::size_t count,
                                    Strides& strides) {
    strides.resize_for_overwrite(shape.size());
    std::ptrdiff_t step = count == 0 ? 0 : 1;
    for (std::size_t axis = shape.size(); axis-- > 0;) {
        strides[axis] = step;
        step *= std::ptrdiff_t(shape[axis]);
    }
}

// Row-major strides for a shape; all 0 when an axis has length 0.
inline Strides row_major_strides(std::span<const std::size_t> shape) {
    Strides strides;
    write_row_major_strides(shape, element_count(shape), strides);
    return strides;
}

// Large buffers are streamed through; huge pages spare them most TLB misses.
constexpr std::size_t huge_page_worthy = std::size_t(4) << 20;
inline void advise_huge_pages(void* data, std::size_t bytes) {
#if defined(MADV_HUGEPAGE)
    constexpr std::uintptr_t page = 4096;
    auto first = (reinterpret_cast<std::uintptr_t>(data) + page - 1) & ~(page - 1);
    auto last = (reinterpret_cast<std::uintptr_t>(data) + bytes) & ~(page - 1);
    if (last > first) madvise(reinterpret_cast<void*>(first), last - first, MADV_HUGEPAGE);
#else
    (void)data, (void)bytes;
#endif
}

// An exclusively owned element buffer, aligned to a cache line so that vector stores never
// straddle two lines, in a block from the thread's block cache.
template <class T>
class Buffer {
  public:
    static constexpr std::size_t alignment = block_cache::line;

    Buffer() = default;
    explicit Buffer(std::size_t count) : count_(count) {
        if (count == 0) return;
        if (count > (std::numeric_limits<std::size_t>::max() - alignment) / sizeof(T)) {
            throw std::bad_alloc();
        }
        const std::size_t bytes = count * sizeof(T);
        const std::size_t block = block_cache::block_bytes(bytes);
        raw_.reset(block_cache::allocate(block));
        if (!raw_) throw std::bad_alloc();
        raw_.get_deleter().bytes = block;
        // The block's slack covers the way to the first line boundary in it.
        const auto address = reinterpret_cast<std::uintptr_t>(raw_.get());
        data_ = reinterpret_cast<T*>((address + alignment - 1) & ~std::uintptr_t(alignment - 1));
        if (bytes >= huge_page_worthy) advise_huge_pages(data_, bytes);
    }
    Buffer(Buffer&& other) noexcept
        : raw_(std::move(other.raw_)), data_(std::exchange(other.data_, nullptr)),
          count_(std::exchange(other.count_, 0)) {}
    Buffer& operator=(Buffer&& other) noexcept {
        raw_ = std::move(other.raw_);
        data_ = std::exchange(other.data_, nullptr);
        count_ = std::exchange(other.count_, 0);
        return *this;
    }
    Buffer clone() const {
        Buffer copy(count_);
        if (count_ != 0) std::memcpy(copy.data(), data(), count_ * sizeof(T));
        return copy;
    }

    T* data() { return data_; }
    const T* data() const { return data_; }
    std::size_t size() const { return count_; }

  private:
    struct Free {
        std::size_t bytes = 0;
        void operator()(void* p) const { block_cache::release(p, bytes); }
    };
    std::unique_ptr<void, Free> raw_;
    T* data_ = nullptr;
    std::size_t count_ = 0;
};

// Selects the constructors of a new array whose elements are left for the caller to write.
struct ForOverwrite {
    explicit ForOverwrite() = default;
};
inline constexpr ForOverwrite for_overwrite{};

template <class T>
struct StridedArray {
    using value_type = T;

    Buffer<T> buffer;
    std::size_t offset = 0;  // position of the logical first element in the buffer
    Shape shape;
    Strides strides;

    StridedArray() = default;
    StridedArray(Buffer<T> buffer, std::size_t offset, Shape shape, Strides strides)
        : buffer(std::move(buffer)),
          offset(offset),
          shape(std::move(shape)),
          strides(std::move(strides)) {}

    // A row-major array of the given shape and element count over a buffer that holds its
    // elements from `offset` on.
    StridedArray(Buffer<T> elements, std::size_t offset, std::span<const std::size_t> lengths,
                 std::size_t count)
        : buffer(std::move(elements)), offset(offset), shape(lengths.begin(), lengths.end()) {
        write_row_major_strides(lengths, count, strides);
    }

    // A new row-major array of the given shape, built where it is to stay.
    StridedArray(ForOverwrite, std::span<const std::size_t> lengths)
        : shape(lengths.begin(), lengths.end()) {
        const std::size_t count = checked_count(lengths);
        write_row_major_strides(lengths, count, strides);
        allocate(count);
    }

    // A new array with the given layout; see with_layout.
    StridedArray(ForOverwrite, std::span<const std::size_t> lengths,
                 std::span<const std::ptrdiff_t> steps)
        : shape(lengths.begin(), lengths.end()), strides(steps.begin(), steps.end()) {
        allocate(checked_count(lengths));
    }

    // A new row-major array whose elements are left for the caller to write.
    static StridedArray uninitialized(std::span<const std::size_t> shape) {
        return {for_overwrite, shape};
    }

    // A new array with the given layout over a buffer of exactly element_count(shape) elements;
    // the strides must describe a gap-free block starting at the buffer's first element. A
    // buffer that cannot be had (or whose size does not fit a machine word) is OutOfMemory; so
    // is a shape beyond the largest (its non-zero lengths multiply past the largest signed
    // machine word), even an empty one: no array of such a shape is ever made.
    static StridedArray with_layout(std::span<const std::size_t> shape,
                                    std::span<const std::ptrdiff_t> strides) {
        return {for_overwrite, shape, strides};
    }

    StridedArray clone() const { return {buffer.clone(), offset, shape, strides}; }

    const T* data() const { return buffer.data() + offset; }
    T* data() { return buffer.data() + offset; }
    std::size_t rank() const { return shape.size(); }
    std::size_t numel() const { return element_count(shape); }

private:
    // The element count of a new array's shape, or OutOfMemory when it is beyond the largest.
    static std::size_t checked_count(std::span<const std::size_t> lengths) {
        auto count = checked_element_count(lengths);
        if (!count || *count > std::numeric_limits<std::size_t>::max() / sizeof(T)) {
            throw runtime::OutOfMemory(runtime::concat(
                "Out of memory: a tensor of shape ", runtime::shape_text<std::size_t>(lengths),
                " is too large for a machine word to count"));
        }
        return *count;
    }
    void allocate(std::size_t count) {
        try {
            buffer = Buffer<T>(count);
        } catch (const std::bad_alloc&) {
            throw runtime::OutOfMemory(runtime::concat(
                "Out of memory: cannot allocate ", count * sizeof(T),
                " bytes for a tensor of shape ", runtime::shape_text<std::size_t>(shape)));
        }
    }
};

// A read-only description of an array's elements (or of a view of them, such as the same array
// with two axes exchanged). It must not outlive what it describes.
template <class T>
struct ArrayRef {
    const T* data;
    std::span<const std::size_t> shape;
    std::span<const std::ptrdiff_t> strides;

    ArrayRef(const T* d, std::span<const std::size_t> sh, std::span<const std::ptrdiff_t> st)
        : data(d), shape(sh), strides(st) {}
    ArrayRef(const StridedArray<T>& array)  // NOLINT: an array is its own description
        : data(array.data()), shape(array.shape), strides(array.strides) {}
    std::size_t rank() const { return shape.size(); }
};

// Copies every element of a strided block, densely and in row-major order of its indices, to
// out. Strides are in bytes so that any source (a NumPy array, an array of ours) can be read,
// aligned or not.
template <class T>
void gather_row_major(const std::byte* first, std::span<const std::size_t> shape,
                      std::span<const std::ptrdiff_t> source_strides, T* out) {
    Strides dense = row_major_strides(shape);
    for (auto& stride : dense) stride *= std::ptrdiff_t(sizeof(T));
    for_each_run<2>(shape, {reinterpret_cast<std::byte*>(out), const_cast<std::byte*>(first)},
                    {std::span<const std::ptrdiff_t>(dense), source_strides},
                    [](Pointers<2> p, const StepBytes<2>& step, std::size_t n) {
                        // Runs of more than one element are dense in the output.
                        T* to = reinterpret_cast<T*>(p[0]);
                        const std::byte* from = p[1];
                        if (n > 1 && step[1] == std::ptrdiff_t(sizeof(T))) {
                            std::memcpy(to, from, n * sizeof(T));
                            return;
                        }
                        for (std::size_t i = 0; i < n; ++i, from += step[1]) std::memcpy(to + i, from, sizeof(T));
                    });
}

}  // namespace engine::cpu
