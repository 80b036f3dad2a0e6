#pragma once
// Storage: the device-level storage of a tensor. The CPU is the only device, so its one
// alternative holds a CpuStorage, and the elements are taken out of it directly.

#include <cstddef>
#include <limits>
#include <memory>
#include <new>
#include <variant>

#include "engine/cpu/block_cache.hpp"
#include "engine/cpu/storage/cpu_storage.hpp"

namespace tensor::storage {

using engine::cpu::storage::CpuStorage;

class Storage {
public:
    explicit Storage(CpuStorage&& cpu) : device_(std::move(cpu)) {}
    Storage clone() const { return Storage(cpu().clone()); }

    const CpuStorage& cpu() const { return std::get<CpuStorage>(device_); }

private:
    std::variant<CpuStorage> device_;
};

// Storages are shared by atomic reference count between tensors and the nodes that saved them.
using SharedStorage = std::shared_ptr<const Storage>;

// A storage's shared block (its count and the storage) comes from the thread's block cache, as
// its elements do: every operation makes one and drops one, and a block off the shelves costs
// less than malloc and free.
template <class T>
struct CachedBlocks {
    using value_type = T;
    static_assert(alignof(T) <= alignof(std::max_align_t));

    CachedBlocks() = default;
    template <class U>
    CachedBlocks(const CachedBlocks<U>&) noexcept {}  // NOLINT: rebinding, as allocators do

    T* allocate(std::size_t n) {
        if (n > std::numeric_limits<std::size_t>::max() / sizeof(T))
            throw std::bad_array_new_length();
        void* block = engine::cpu::block_cache::allocate(
            engine::cpu::block_cache::block_bytes(n * sizeof(T)));
        if (block == nullptr) throw std::bad_alloc();
        return static_cast<T*>(block);
    }
    void deallocate(T* block, std::size_t n) noexcept {
        engine::cpu::block_cache::release(block,
                                          engine::cpu::block_cache::block_bytes(n * sizeof(T)));
    }
    template <class U>
    bool operator==(const CachedBlocks<U>&) const noexcept {
        return true;
    }
};

inline SharedStorage share(CpuStorage&& cpu) {
    return std::allocate_shared<const Storage>(CachedBlocks<Storage>(), std::move(cpu));
}

}  // namespace tensor::storage
