// The per-thread block cache: which requests it rounds, that its blocks of every kind hold what
// they should and go back where they came from, that a freed block serves the next request of its
// class on the same thread and no other, that its shelves stay bounded, and that a thread's exit
// leaves nothing on them.

#include <gtest/gtest.h>

#include <pthread.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <barrier>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <thread>
#include <vector>

#include "engine/cpu/block_cache.hpp"

namespace kernel_tests {
namespace {

namespace cache = engine::cpu::block_cache;

constexpr std::size_t KiB = 1024;

TEST(BlockCache, RoundsRequestsUpToTheLargestClass) {
    if (!cache::enabled) GTEST_SKIP() << "nothing is kept under AddressSanitizer";
    EXPECT_EQ(cache::block_bytes(1), 64u);
    EXPECT_EQ(cache::block_bytes(68), 128u);
    EXPECT_EQ(cache::block_bytes(KiB - 1), KiB);
    EXPECT_EQ(cache::block_bytes(KiB), KiB);
    EXPECT_EQ(cache::block_bytes(2560), 4 * KiB);
    EXPECT_EQ(cache::block_bytes(32 * KiB), 32 * KiB);
    EXPECT_EQ(cache::block_bytes(1024 * KiB), 1024 * KiB);
    EXPECT_EQ(cache::block_bytes(1024 * KiB + 1), 1024 * KiB + 1);
}

// Blocks of every kind (kept from malloc, kept and mapped, never kept) hold their bytes and the
// slack, aligned as malloc's are, and go back to where they came from whichever thread frees
// them: more of them than a shelf holds, so that some are kept and the rest returned at once.
class BlockCacheBlocks : public ::testing::TestWithParam<std::size_t> {};

TEST_P(BlockCacheBlocks, HoldTheirBytesAndGoBackFromAnyThread) {
    const std::size_t bytes = cache::block_bytes(GetParam());
    std::vector<void*> blocks(cache::blocks_per_class + 2);
    std::thread([&] {
        for (std::size_t i = 0; i < blocks.size(); ++i) {
            blocks[i] = cache::allocate(bytes);
            ASSERT_NE(blocks[i], nullptr);
            EXPECT_EQ(reinterpret_cast<std::uintptr_t>(blocks[i]) % alignof(std::max_align_t), 0u);
            std::memset(blocks[i], int(i), bytes + cache::slack);
        }
    }).join();
    std::thread([&] {
        for (void* b : blocks) cache::release(b, bytes);
        void* again = cache::allocate(bytes);
        std::memset(again, 1, bytes + cache::slack);
        cache::release(again, bytes);
    }).join();  // the thread's exit returns what its shelves kept
}

INSTANTIATE_TEST_SUITE_P(BlockCache, BlockCacheBlocks,
                         ::testing::Values(1, 700, 40 * KiB, std::size_t(1) << cache::mapped_class,
                                           1024 * KiB, 3 * 1024 * KiB));

// A process may have no mappings left (the system limits their number): blocks of the mapped
// classes then come from malloc, and go back there.
class BlockCacheWithoutMappings : public ::testing::TestWithParam<std::size_t> {};

TEST_P(BlockCacheWithoutMappings, StillHasBlocks) {
    if (!cache::enabled) GTEST_SKIP() << "nothing is mapped under AddressSanitizer";
    const std::size_t bytes = GetParam();
    const pid_t child = fork();
    if (child == 0) {
        // Room in malloc's heap for the blocks, in pieces it does not map (the last one kept, so
        // that it does not give the rest back); then pages of alternating protection, which the
        // system cannot merge, until it refuses one.
        std::vector<void*> room(12 * bytes / (64 * KiB) + 1);
        for (void*& piece : room) piece = std::malloc(64 * KiB);
        for (std::size_t i = 0; i + 1 < room.size(); ++i) std::free(room[i]);
        for (int prot = PROT_READ; mmap(nullptr, 4096, prot, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0) != MAP_FAILED;
             prot ^= PROT_READ) {
        }
        std::vector<void*> blocks(cache::blocks_per_class + 2);
        for (void*& b : blocks) {
            b = cache::allocate(bytes);
            if (b == nullptr) _exit(1);
            std::memset(b, 1, bytes + cache::slack);
        }
        for (void* b : blocks) cache::release(b, bytes);
        _exit(cache::allocate(bytes) != nullptr ? 0 : 1);
    }
    int status = -1;
    ASSERT_GT(child, 0);
    waitpid(child, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "status " << status;
}

INSTANTIATE_TEST_SUITE_P(BlockCache, BlockCacheWithoutMappings,
                         ::testing::Values(std::size_t(1) << cache::mapped_class,
                                           std::size_t(1) << cache::largest_class));

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

// Many threads left idle after a burst of the largest blocks together keep little; a child forked
// meanwhile, where those threads do not exist, can keep blocks all the same.
// Threads that once kept a small block and went idle leave the budget to a busy thread.
TEST(BlockCache, IdleThreadsWithSmallBlocksLeaveTheBudgetToOthers) {
    if (!cache::enabled) GTEST_SKIP() << "nothing is kept under AddressSanitizer";
    constexpr std::size_t threads = 64;
    const std::size_t small = cache::block_bytes(KiB), large = std::size_t(1)
                                                               << cache::largest_class;
    std::barrier idle(threads + 1), done(threads + 1);
    std::vector<std::thread> workers;
    for (std::size_t t = 0; t < threads; ++t) {
        workers.emplace_back([&] {
            cache::release(cache::allocate(small), small);
            cache::release(cache::allocate(small), small);  // taken and put back: a step of a loop
            idle.arrive_and_wait();
            done.arrive_and_wait();
        });
    }
    idle.arrive_and_wait();
    std::size_t kept = 0;
    std::thread([&] {
        void* blocks[4];
        for (void*& b : blocks) b = cache::allocate(large);
        for (void* b : blocks) cache::release(b, large);
        kept = cache::kept_bytes();
    }).join();
    EXPECT_EQ(kept, 4 * large);
    done.arrive_and_wait();
    for (auto& w : workers) w.join();
}

TEST(BlockCache, IdleThreadsKeepLittleInAll) {
    if (!cache::enabled) GTEST_SKIP() << "nothing is kept under AddressSanitizer";
    constexpr std::size_t threads = 64;
    constexpr std::size_t at_most = 32 * 1024 * KiB;  // full shelves would hold 256 MiB
    const std::size_t large = std::size_t(1) << cache::largest_class;
    std::vector<std::size_t> kept(threads);
    std::barrier idle(threads + 1), done(threads + 1);
    std::vector<std::thread> workers;
    for (std::size_t t = 0; t < threads; ++t) {
        workers.emplace_back([&, t] {
            void* blocks[4];
            for (void*& b : blocks) b = cache::allocate(large);
            for (void* b : blocks) cache::release(b, large);
            kept[t] = cache::kept_bytes();
            idle.arrive_and_wait();
            done.arrive_and_wait();
        });
    }
    idle.arrive_and_wait();
    std::size_t total = 0;
    for (std::size_t k : kept) total += k;
    EXPECT_LE(total, at_most);
    const pid_t child = fork();
    if (child == 0) {
        // The thread that forked may hold blocks from earlier tests: only the growth counts.
        void* block = cache::allocate(large);
        const std::size_t before = cache::kept_bytes();
        cache::release(block, large);
        _exit(cache::kept_bytes() == before + large ? 0 : 1);
    }
    int status = -1;
    ASSERT_GT(child, 0);
    waitpid(child, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "the forked child kept nothing";
    done.arrive_and_wait();
    for (std::thread& w : workers) w.join();
}

// The C library runs destructors of thread-specific data after the thread_local ones, in rounds
// while they set values again. Whatever such a destructor does with blocks, none may stay on the
// shelves, where nothing would free them: the probe looks again in the following rounds, by
// which the shelves' own destructor has had its turn.
struct ExitProbe {
    bool allocate_first;  // else: the block was allocated while the thread ran
    void* block = nullptr;
    int round = 0;
    std::size_t kept = ~std::size_t(0);
};
pthread_key_t probe_key;
void probe_at_exit(void* value) {
    auto* probe = static_cast<ExitProbe*>(value);
    const std::size_t bytes = 64 * KiB;
    if (probe->round++ == 0) {
        if (probe->allocate_first) {
            void* blocks[3];
            for (void*& b : blocks) b = cache::allocate(bytes);
            for (void* b : blocks) cache::release(b, bytes);
        } else {
            cache::release(probe->block, bytes);
        }
    }
    probe->kept = cache::kept_bytes();
    if (probe->kept != 0 && probe->round < 3) pthread_setspecific(probe_key, probe);
}

class BlockCacheAtThreadExit : public ::testing::TestWithParam<bool> {};

TEST_P(BlockCacheAtThreadExit, KeepsNothing) {
    ExitProbe probe{.allocate_first = GetParam()};
    ASSERT_EQ(pthread_key_create(&probe_key, probe_at_exit), 0);
    std::thread([&] {
        if (!probe.allocate_first) probe.block = cache::allocate(64 * KiB);
        pthread_setspecific(probe_key, &probe);
    }).join();
    EXPECT_EQ(probe.kept, 0u);
    pthread_key_delete(probe_key);
}

INSTANTIATE_TEST_SUITE_P(BlockCache, BlockCacheAtThreadExit, ::testing::Bool(),
                         [](const auto& info) {
                             return info.param ? "AllocatesAndReleases" : "Releases";
                         });

}  // namespace
}  // namespace kernel_tests
