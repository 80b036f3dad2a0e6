// The per-thread block cache: which requests it rounds, that a freed block serves the next
// request of its class on the same thread and no other, and that its shelves stay bounded.

#include <gtest/gtest.h>

#include <pthread.h>

#include <atomic>
#include <cstddef>
#include <thread>
#include <vector>

#include "engine/cpu/block_cache.hpp"

namespace kernel_tests {
namespace {

namespace cache = engine::cpu::block_cache;

constexpr std::size_t KiB = 1024;

TEST(BlockCache, RoundsOnlyMediumRequestsToTheirClass) {
    if (!cache::enabled) GTEST_SKIP() << "nothing is kept under AddressSanitizer";
    EXPECT_EQ(cache::block_bytes(68), 68u);
    EXPECT_EQ(cache::block_bytes(KiB - 1), KiB - 1);
    EXPECT_EQ(cache::block_bytes(KiB), KiB);
    EXPECT_EQ(cache::block_bytes(2560 + 64), 4 * KiB);
    EXPECT_EQ(cache::block_bytes(4 * KiB + 1), 8 * KiB);
    EXPECT_EQ(cache::block_bytes(32 * KiB + 64), 64 * KiB);
    EXPECT_EQ(cache::block_bytes(1024 * KiB), 1024 * KiB);
    EXPECT_EQ(cache::block_bytes(1024 * KiB + 1), 1024 * KiB + 1);
}

TEST(BlockCache, AFreedBlockServesItsOwnClassOnItsOwnThread) {
    if (!cache::enabled) GTEST_SKIP() << "nothing is kept under AddressSanitizer";
    const std::size_t bytes = cache::block_bytes(40 * KiB);
    void* block = cache::allocate(bytes);
    ASSERT_NE(block, nullptr);
    cache::release(block, bytes);
    void* other_class = cache::allocate(cache::block_bytes(100 * KiB));
    EXPECT_NE(other_class, block);
    void* elsewhere = nullptr;
    std::thread([&] { elsewhere = cache::allocate(bytes); }).join();
    EXPECT_NE(elsewhere, block);
    void* again = cache::allocate(bytes);
    EXPECT_EQ(again, block);
    cache::release(again, bytes);
    cache::release(other_class, cache::block_bytes(100 * KiB));
    cache::release(elsewhere, bytes);  // freed on another thread than the one that made it
}

TEST(BlockCache, ShelvesAreBounded) {
    if (!cache::enabled) GTEST_SKIP() << "nothing is kept under AddressSanitizer";
    std::thread([] {
        // More blocks of one class than a shelf holds: the rest go back to the C library.
        const std::size_t bytes = 8 * KiB;
        std::vector<void*> blocks;
        for (std::size_t i = 0; i < cache::blocks_per_class + 3; ++i) blocks.push_back(cache::allocate(bytes));
        for (void* b : blocks) cache::release(b, bytes);
        EXPECT_EQ(cache::kept_bytes(), cache::blocks_per_class * bytes);
        for (std::size_t i = 0; i < cache::blocks_per_class; ++i) blocks[i] = cache::allocate(bytes);
        EXPECT_EQ(cache::kept_bytes(), 0u);
        for (std::size_t i = 0; i < cache::blocks_per_class; ++i) cache::release(blocks[i], bytes);
        // Blocks of the largest class fill the thread's budget.
        const std::size_t large = std::size_t(1) << cache::largest_class;
        std::vector<void*> big;
        for (std::size_t i = 0; i < cache::blocks_per_class; ++i) big.push_back(cache::allocate(large));
        for (void* b : big) cache::release(b, large);
        EXPECT_LE(cache::kept_bytes(), cache::bytes_per_thread);
        EXPECT_GT(cache::kept_bytes(), cache::bytes_per_thread - large);
    }).join();  // the thread's exit empties its shelves (the leak checker of the sanitizer build)
}

TEST(BlockCache, ReleasesAfterTheShelvesClosedGoStraightBack) {
    // A thread_local destroyed after the shelves (as a thread's tape may be) still releases.
    struct LateOwner {
        void* block = nullptr;
        std::size_t bytes = 0;
        ~LateOwner() { cache::release(block, bytes); }
    };
    std::thread([] {
        thread_local LateOwner owner;  // constructed before the shelves open: destroyed after them
        owner.bytes = cache::block_bytes(16 * KiB);
        owner.block = cache::allocate(owner.bytes);  // opens the shelves
        void* kept = cache::allocate(owner.bytes);
        cache::release(kept, owner.bytes);
    }).join();
}

// glibc runs destructors of thread-specific data after the thread_local ones: a block released
// there must go back to the C library, not onto shelves that nothing empties any more.
std::atomic<std::size_t> kept_after_exit_release{~std::size_t(0)};
void release_at_exit(void* block) {
    cache::release(block, 64 * KiB);
    kept_after_exit_release = cache::kept_bytes();
}

TEST(BlockCache, ReleasesDuringThreadExitAreNotShelved) {
    pthread_key_t key;
    ASSERT_EQ(pthread_key_create(&key, release_at_exit), 0);
    std::thread([&] { pthread_setspecific(key, cache::allocate(64 * KiB)); }).join();
    EXPECT_EQ(kept_after_exit_release.load(), 0u);
    pthread_key_delete(key);
}

}  // namespace
}  // namespace kernel_tests
