#pragma once
// NodeArena: the memory of one tape's nodes. A tape's nodes all go at once (clear_graph, or the
// thread's end), so they are cut one after another from a few chunks instead of each taking a
// malloc and a free of its own. Clearing keeps the last chunk, the largest, for the next graph
// when it is small (a training step's graph fits in it, and an idle thread holds little); under
// AddressSanitizer, as the block cache, it keeps nothing, so that a node used after clearing is
// still reported.

#include <algorithm>
#include <cstddef>
#include <memory>
#include <new>
#include <vector>

#include "engine/cpu/block_cache.hpp"

namespace autograd::graph {

class NodeArena {
public:
    static constexpr std::size_t alignment = alignof(std::max_align_t);
    static_assert(alignment <= __STDCPP_DEFAULT_NEW_ALIGNMENT__);

    // Room for one node of `bytes`; throws std::bad_alloc.
    void* allocate(std::size_t bytes) {
        bytes = (bytes + alignment - 1) & ~(alignment - 1);
        if (std::size_t(end_ - next_) < bytes) grow(bytes);
        void* room = next_;
        next_ += bytes;
        return room;
    }

    // Every node cut from the arena must already be destroyed.
    void reset() {
        if (chunks_.empty()) return;
        Chunk last = std::move(chunks_.back());
        chunks_.clear();
        if (last.size <= kept_bytes) {
            next_ = last.memory.get();
            end_ = next_ + last.size;
            chunks_.push_back(std::move(last));  // into the capacity just emptied: no allocation
        } else {
            next_ = end_ = nullptr;
        }
    }

private:
    static constexpr std::size_t first_chunk = std::size_t(4) << 10;
    static constexpr std::size_t largest_chunk = std::size_t(1) << 20;
    static constexpr std::size_t kept_bytes =
        ::engine::cpu::block_cache::enabled ? std::size_t(64) << 10 : 0;

    struct Chunk {
        std::unique_ptr<std::byte[]> memory;
        std::size_t size;
    };

    // Each chunk twice the last, up to largest_chunk (or one node, if larger).
    [[gnu::noinline]] void grow(std::size_t bytes) {
        const std::size_t doubled = chunks_.empty() ? first_chunk : chunks_.back().size * 2;
        const std::size_t size = std::max(std::min(doubled, largest_chunk), bytes);
        chunks_.push_back({std::make_unique_for_overwrite<std::byte[]>(size), size});
        next_ = chunks_.back().memory.get();
        end_ = next_ + size;
    }

    std::vector<Chunk> chunks_;  // the last is the one being cut
    std::byte* next_ = nullptr;
    std::byte* end_ = nullptr;
};

}  // namespace autograd::graph
