#pragma once
// Element blocks freed on a thread wait on that thread's shelves for its next allocation of the
// same size class. A training loop frees and allocates the same medium-sized blocks on every
// step; handed back to the C library, they make it return the top of its heap to the system and
// fault the pages in again on the next step, which costs more than the arithmetic; blocks past
// its per-thread cache (1 KiB) also take its slow paths. Blocks under 1 KiB the C library
// recycles well by itself, and huge ones are better returned. Under AddressSanitizer nothing is
// kept, so that a use after free is still caught.
//
// An idle thread keeps its shelves full, so all threads together keep no more than a budget of
// the process, which each leases in granules of 16 KiB, with a margin of half what it keeps (at
// least a granule, at most a MiB) before it gives any back: a thread that keeps one small block
// holds 32 KiB of the budget, so idle threads that once freed a block leave it to the busy ones.
// The count of leased bytes is the one mutable state the process shares, as no bound per thread
// serves both sides: 64 threads idle after a burst of 1 MB results held 290 MiB (105 MiB with no
// cache) at 4 MiB each, still 150 MiB at 1.5 MiB each, and at 1.5 MiB a training step that churns
// blocks of 512 KiB and 1 MiB lost what the cache gained (the digits example ran 17 ms an epoch, 13
// ms at 4 MiB, 16 ms with no cache). The margin keeps that count off the path of most allocations.
// A thread keeps up to 8 MiB, 8 blocks of a class: a training step of a 64-1024-10 model on 128
// rows has some 6 MiB of blocks in flight, and at 4 MiB (4 a class) the rest went back to the C
// library and faulted about 3 MB of pages in every step (810 us a step; 630 us at 8 MiB).

#include <pthread.h>

#include <algorithm>
#include <atomic>
#include <bit>
#include <cstddef>
#include <cstdlib>

namespace engine::cpu::block_cache {

constexpr std::size_t smallest_class = 10;  // blocks of 1 KiB
constexpr std::size_t largest_class = 20;   // up to blocks of 1 MiB
constexpr std::size_t classes = largest_class - smallest_class + 1;
constexpr std::size_t blocks_per_class = 8;
constexpr std::size_t bytes_per_thread = std::size_t(8) << 20;
constexpr std::size_t bytes_per_process = std::size_t(16) << 20;
constexpr std::size_t lease_granule = std::size_t(16) << 10;
constexpr std::size_t largest_margin = std::size_t(1) << 20;

#if defined(__SANITIZE_ADDRESS__)
constexpr bool enabled = false;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
constexpr bool enabled = false;
#else
constexpr bool enabled = true;
#endif
#else
constexpr bool enabled = true;
#endif

// The bytes to ask for a block of at least `bytes`: a whole size class when such blocks are
// kept, so that any block of the class serves any request of it.
inline std::size_t block_bytes(std::size_t bytes) {
    if (!enabled || bytes < (std::size_t(1) << smallest_class) || bytes > (std::size_t(1) << largest_class)) {
        return bytes;
    }
    return std::bit_ceil(bytes);
}

namespace detail {

inline bool kept(std::size_t bytes) {
    return enabled && bytes >= (std::size_t(1) << smallest_class) &&
           bytes <= (std::size_t(1) << largest_class) && std::has_single_bit(bytes);
}
inline std::size_t class_index(std::size_t bytes) {
    return std::size_t(std::countr_zero(bytes)) - smallest_class;
}

// Trivially destructible, so that it stays usable while the thread's other objects (its tape
// among them) are destroyed at its exit, before the shelves are emptied.
struct Shelves {
    enum State : unsigned char { unused, open, closed };
    void* blocks[classes][blocks_per_class];
    unsigned char count[classes];
    std::size_t bytes;
    std::size_t leased;  // of the process's budget: at least `bytes`
    State state;
};
inline thread_local Shelves shelves{};

inline std::atomic<std::size_t>& leased_in_process() {
    static std::atomic<std::size_t> leased{0};
    return leased;
}

inline std::size_t whole_granules(std::size_t bytes) {
    return (bytes + lease_granule - 1) / lease_granule * lease_granule;
}

// Leases enough of the process's budget to keep `bytes` in all, or leases nothing and says so.
inline bool lease(std::size_t bytes) {
    const std::size_t more = whole_granules(bytes - shelves.leased);
    std::atomic<std::size_t>& leased = leased_in_process();
    std::size_t now = leased.load(std::memory_order_relaxed);
    do {
        if (now + more > bytes_per_process) return false;
    } while (!leased.compare_exchange_weak(now, now + more, std::memory_order_relaxed));
    shelves.leased += more;
    return true;
}

inline void give_back(std::size_t bytes) {
    leased_in_process().fetch_sub(bytes, std::memory_order_relaxed);
    shelves.leased -= bytes;
}

// Gives back the lease down to a margin above what the shelves keep, once twice that margin is
// spare: a loop that takes and puts back the same blocks then seldom leases again.
inline void trim_lease() {
    const std::size_t margin = std::clamp(shelves.bytes / 2, lease_granule, largest_margin);
    const std::size_t keep = whole_granules(shelves.bytes + margin);
    if (shelves.leased >= keep + margin) give_back(shelves.leased - keep);
}

inline void empty_shelves() {
    for (std::size_t c = 0; c < classes; ++c) {
        while (shelves.count[c] > 0) std::free(shelves.blocks[c][--shelves.count[c]]);
    }
    shelves.bytes = 0;
}

// The destructor of the thread-specific value that open shelves hold. The C library runs such
// destructors at a thread's exit after its thread_local ones, and runs them again while one of
// them sets a value: shelves that a destructor of other thread-specific data opens are emptied
// in the next round (up to the library's last round, PTHREAD_DESTRUCTOR_ITERATIONS). From then
// on blocks go straight back to the C library.
inline void close_shelves(void*) {
    empty_shelves();
    give_back(shelves.leased);
    shelves.state = Shelves::closed;
}

struct ExitKey {
    pthread_key_t key;
    bool made;
};
// A child of fork() has only the thread that forked: the leases of the parent's other threads
// are nobody's there, and go back to the budget.
inline void forked_child() { leased_in_process().store(shelves.leased, std::memory_order_relaxed); }

inline const ExitKey& exit_key() {
    static const ExitKey made = [] {
        ExitKey k{};
        k.made = pthread_key_create(&k.key, close_shelves) == 0;
        pthread_atfork(nullptr, nullptr, forked_child);
        return k;
    }();
    return made;
}

// Without a key (the process used them all up) the shelves stay closed: nothing would empty
// them.
inline void open_shelves() {
    const ExitKey& closing = exit_key();
    const bool registered = closing.made && pthread_setspecific(closing.key, &shelves) == 0;
    shelves.state = registered ? Shelves::open : Shelves::closed;
}

}  // namespace detail

// The bytes waiting on the calling thread's shelves.
inline std::size_t kept_bytes() { return detail::shelves.bytes; }

// A block of exactly `bytes` (a value block_bytes returned), or nullptr when malloc fails.
// The shelves open on a thread's first such allocation, even one during the thread's exit (in a
// destructor of thread-specific data): their closing is registered with them, and runs after.
inline void* allocate(std::size_t bytes) {
    using namespace detail;
    if (kept(bytes)) {
        if (shelves.state == Shelves::unused) open_shelves();
        const std::size_t c = class_index(bytes);
        if (shelves.state == Shelves::open && shelves.count[c] > 0) {
            shelves.bytes -= bytes;
            trim_lease();
            return shelves.blocks[c][--shelves.count[c]];
        }
    }
    return std::malloc(bytes);
}

// Gives back a block from allocate(bytes).
inline void release(void* block, std::size_t bytes) {
    using namespace detail;
    if (block == nullptr) return;
    if (kept(bytes)) {
        const std::size_t c = class_index(bytes);
        if (shelves.state == Shelves::open && shelves.count[c] < blocks_per_class &&
            shelves.bytes + bytes <= bytes_per_thread &&
            (shelves.bytes + bytes <= shelves.leased || lease(shelves.bytes + bytes))) {
            shelves.blocks[c][shelves.count[c]++] = block;
            shelves.bytes += bytes;
            return;
        }
    }
    std::free(block);
}

}  // namespace engine::cpu::block_cache
