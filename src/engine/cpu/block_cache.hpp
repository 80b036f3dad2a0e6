#pragma once
// Element blocks freed on a thread wait on that thread's shelves for its next allocation of the
// same size class. A training loop frees and allocates the same blocks on every step; handed back
// to the C library, they make it return the top of its heap to the system and fault the pages in
// again on the next step, which costs more than the arithmetic. Blocks of a few elements are kept
// too: taking one off a shelf and putting it back costs some 80 instructions, malloc and free some
// 130 (an a + b of one-element tensors ran 2,030 instructions, 1,976 with them kept). Huge blocks
// are better returned. Under AddressSanitizer nothing is kept, so that a use after free is still
// caught.
//
// Blocks from 128 KiB on the cache maps from the system itself. The C library maps them too, but
// only until it frees one: from then on it serves blocks up to that one's size from its per-thread
// arenas (8 a core) and leaves up to twice that size free at the top of each. 100 threads idle
// after making and freeing 4 MB of results each held 80-90 MiB with every block from the C
// library, 64-75 MiB of it free in its arenas (60-75 MiB with NumPy's own allocator, all free in
// the arenas), and 15-19 MiB with the larger blocks mapped here: little more than what the idle
// threads keep. Mapping from 32 KiB on saved 3 MiB of that, from 256 KiB on cost 5 MiB more.
// Blocks that the C library aligns (aligned_alloc) are no answer: the pieces it splits off pin its
// arenas, and the same churn held 270-300 MiB.
//
// Every block has `slack` bytes beyond the class, so that a buffer can start at a cache line
// boundary inside a block aligned as malloc's are, and a power-of-two buffer takes a block of its
// own class, not one twice its size.
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
#include <sys/mman.h>

#include <algorithm>
#include <atomic>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <limits>

namespace engine::cpu::block_cache {

constexpr std::size_t smallest_class = 6;   // blocks of 64 B
constexpr std::size_t mapped_class = 17;    // from blocks of 128 KiB on, mapped by the cache
constexpr std::size_t largest_class = 20;   // up to blocks of 1 MiB
constexpr std::size_t line = 64;
constexpr std::size_t slack = line - alignof(std::max_align_t);
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
    if (!enabled || bytes > (std::size_t(1) << largest_class)) return bytes;
    return std::max(std::bit_ceil(bytes), std::size_t(1) << smallest_class);
}

namespace detail {

inline bool kept(std::size_t bytes) {
    return enabled && bytes >= (std::size_t(1) << smallest_class) &&
           bytes <= (std::size_t(1) << largest_class) && (bytes & (bytes - 1)) == 0;
}
inline std::size_t class_index(std::size_t bytes) {
    return std::size_t(std::countr_zero(bytes)) - smallest_class;
}

// A block of a mapped class is mapped, and so on a page boundary, unless the system refused
// (it limits the number of mappings of a process): then it comes from malloc, past the boundary
// (at 16 or 32 bytes, with the address malloc gave just before it).
inline bool mapped(std::size_t bytes) { return kept(bytes) && bytes >= (std::size_t(1) << mapped_class); }
constexpr std::uintptr_t page = 4096;  // what any system's pages are a multiple of

[[gnu::noinline]] inline void* fresh(std::size_t bytes) {
    if (bytes > std::numeric_limits<std::size_t>::max() - slack) return nullptr;
    if (mapped(bytes)) {
        void* block = mmap(nullptr, bytes + slack, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (block != MAP_FAILED) return block;
        auto* raw = static_cast<std::byte*>(std::malloc(bytes + slack + 32));
        if (raw == nullptr) return nullptr;
        std::byte* off_page = raw + 16;
        if (reinterpret_cast<std::uintptr_t>(off_page) % page == 0) off_page += 16;
        reinterpret_cast<void**>(off_page)[-1] = raw;
        return off_page;
    }
    return std::malloc(bytes + slack);
}

[[gnu::noinline]] inline void drop(void* block, std::size_t bytes) {
    if (!mapped(bytes)) {
        std::free(block);
    } else if (reinterpret_cast<std::uintptr_t>(block) % page == 0) {
        munmap(block, bytes + slack);
    } else {
        std::free(static_cast<void**>(block)[-1]);
    }
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

// The calling thread's shelves, passed down from here: in a shared library each read of a
// thread_local's address is a call, which the compiler would repeat at every use of it.
inline Shelves& own_shelves() {
    Shelves* own = &shelves;
    asm("" : "+r"(own));
    return *own;
}

// Leases enough of the process's budget to keep `bytes` in all, or leases nothing and says so.
[[gnu::noinline]] inline bool lease(Shelves& shelves, std::size_t bytes) {
    const std::size_t more = whole_granules(bytes - shelves.leased);
    std::atomic<std::size_t>& leased = leased_in_process();
    std::size_t now = leased.load(std::memory_order_relaxed);
    do {
        if (now + more > bytes_per_process) return false;
    } while (!leased.compare_exchange_weak(now, now + more, std::memory_order_relaxed));
    shelves.leased += more;
    return true;
}

[[gnu::noinline]] inline void give_back(Shelves& shelves, std::size_t bytes) {
    leased_in_process().fetch_sub(bytes, std::memory_order_relaxed);
    shelves.leased -= bytes;
}

// Gives back the lease down to a margin above what the shelves keep, once twice that margin is
// spare: a loop that takes and puts back the same blocks then seldom leases again.
inline void trim_lease(Shelves& shelves) {
    const std::size_t margin = std::clamp(shelves.bytes / 2, lease_granule, largest_margin);
    const std::size_t keep = whole_granules(shelves.bytes + margin);
    if (shelves.leased >= keep + margin) give_back(shelves, shelves.leased - keep);
}

inline void empty_shelves() {
    for (std::size_t c = 0; c < classes; ++c) {
        while (shelves.count[c] > 0) drop(shelves.blocks[c][--shelves.count[c]], std::size_t(1) << (c + smallest_class));
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
    give_back(shelves, shelves.leased);
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
[[gnu::noinline]] inline void open_shelves(Shelves& shelves) {
    const ExitKey& closing = exit_key();
    const bool registered = closing.made && pthread_setspecific(closing.key, &shelves) == 0;
    shelves.state = registered ? Shelves::open : Shelves::closed;
}

}  // namespace detail

// The bytes waiting on the calling thread's shelves.
inline std::size_t kept_bytes() { return detail::shelves.bytes; }

// A block of `bytes` (a value block_bytes returned) and `slack` more, aligned as malloc's are, or
// nullptr when there is no memory for it.
// The shelves open on a thread's first such allocation, even one during the thread's exit (in a
// destructor of thread-specific data): their closing is registered with them, and runs after.
inline void* allocate(std::size_t bytes) {
    using namespace detail;
    if (kept(bytes)) {
        Shelves& shelves = own_shelves();
        if (shelves.state == Shelves::unused) open_shelves(shelves);
        const std::size_t c = class_index(bytes);
        if (shelves.state == Shelves::open && shelves.count[c] > 0) {
            shelves.bytes -= bytes;
            trim_lease(shelves);
            return shelves.blocks[c][--shelves.count[c]];
        }
    }
    return fresh(bytes);
}

// Gives back a block from allocate(bytes).
inline void release(void* block, std::size_t bytes) {
    using namespace detail;
    if (block == nullptr) return;
    if (kept(bytes)) {
        Shelves& shelves = own_shelves();
        const std::size_t c = class_index(bytes);
        if (shelves.state == Shelves::open && shelves.count[c] < blocks_per_class &&
            shelves.bytes + bytes <= bytes_per_thread &&
            (shelves.bytes + bytes <= shelves.leased || lease(shelves, shelves.bytes + bytes))) {
            shelves.blocks[c][shelves.count[c]++] = block;
            shelves.bytes += bytes;
            return;
        }
    }
    drop(block, bytes);
}

}  // namespace engine::cpu::block_cache
