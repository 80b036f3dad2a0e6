#pragma once
// Element blocks freed on a thread wait on that thread's shelves for its next allocation of the
// same size class. A training loop frees and allocates the same medium-sized blocks on every
// step; handed back to the C library, they make it return the top of its heap to the system and
// fault the pages in again on the next step, which costs more than the arithmetic; blocks past
// its per-thread cache (1 KiB) also take its slow paths. Blocks under 1 KiB the C library
// recycles well by itself, and huge ones are better returned. Under
// AddressSanitizer nothing is kept, so that a use after free is still caught.

#include <bit>
#include <cstddef>
#include <cstdlib>

namespace engine::cpu::block_cache {

constexpr std::size_t smallest_class = 10;  // blocks of 1 KiB
constexpr std::size_t largest_class = 20;   // up to blocks of 1 MiB
constexpr std::size_t classes = largest_class - smallest_class + 1;
constexpr std::size_t blocks_per_class = 4;
constexpr std::size_t bytes_per_thread = std::size_t(4) << 20;

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
// among them) are destroyed at its exit, after the shelves were emptied.
struct Shelves {
    enum State : unsigned char { unused, open, closed };
    void* blocks[classes][blocks_per_class];
    unsigned char count[classes];
    std::size_t bytes;
    State state;
};
inline thread_local Shelves shelves{};

inline void empty_shelves() {
    for (std::size_t c = 0; c < classes; ++c) {
        while (shelves.count[c] > 0) std::free(shelves.blocks[c][--shelves.count[c]]);
    }
    shelves.bytes = 0;
}

// Registers the emptying of the shelves at the thread's exit; from then on blocks go straight
// back to the C library.
inline void open_shelves() {
    struct Closer {
        ~Closer() {
            empty_shelves();
            shelves.state = Shelves::closed;
        }
    };
    thread_local Closer closer;
    (void)closer;
    shelves.state = Shelves::open;
}

}  // namespace detail

// The bytes waiting on the calling thread's shelves.
inline std::size_t kept_bytes() { return detail::shelves.bytes; }

// A block of exactly `bytes` (a value block_bytes returned), or nullptr when malloc fails.
// The shelves open on a thread's first such allocation, while the thread runs: a release during
// its exit (a destructor of thread-specific data, say) finds them open, and its closing then
// already registered, or finds them closed; it never opens them after their closing has run.
inline void* allocate(std::size_t bytes) {
    using namespace detail;
    if (kept(bytes)) {
        if (shelves.state == Shelves::unused) open_shelves();
        const std::size_t c = class_index(bytes);
        if (shelves.state == Shelves::open && shelves.count[c] > 0) {
            shelves.bytes -= bytes;
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
            shelves.bytes + bytes <= bytes_per_thread) {
            shelves.blocks[c][shelves.count[c]++] = block;
            shelves.bytes += bytes;
            return;
        }
    }
    std::free(block);
}

}  // namespace engine::cpu::block_cache
