#include "tensor/api/numpy_blocks.hpp"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <limits>

#include "engine/cpu/block_cache.hpp"

namespace tensor::api {
namespace {

namespace cache = engine::cpu::block_cache;

constexpr std::size_t block_array_bytes = std::size_t(16) << 10;

// An array's data start 16 bytes into a block, after the block's size (which keeps them aligned as
// malloc's): the size NumPy passes back to free is not relied on, as an empty array's may differ
// from what was allocated for it.
struct alignas(16) BlockHead {
    std::size_t bytes;
};
static_assert(sizeof(BlockHead) <= cache::slack);

BlockHead* head_of(void* data) { return static_cast<BlockHead*>(data) - 1; }

void* block_malloc(void*, std::size_t size) {
    const std::size_t bytes = cache::block_bytes(std::max<std::size_t>(size, 1));
    auto* head = static_cast<BlockHead*>(cache::allocate(bytes));
    if (head == nullptr) return nullptr;
    head->bytes = bytes;
    return head + 1;
}

void block_free(void*, void* data, std::size_t) {
    if (data == nullptr) return;
    BlockHead* head = head_of(data);
    cache::release(head, head->bytes);
}

void* block_calloc(void* context, std::size_t count, std::size_t each) {
    if (each != 0 && count > std::numeric_limits<std::size_t>::max() / each) return nullptr;
    void* data = block_malloc(context, count * each);
    if (data != nullptr) std::memset(data, 0, count * each);
    return data;
}

void* block_realloc(void* context, void* data, std::size_t size) {
    if (data == nullptr) return block_malloc(context, size);
    void* moved = block_malloc(context, size);
    if (moved == nullptr) return nullptr;  // the old block stays valid, as realloc leaves it
    std::memcpy(moved, data, std::min(size, head_of(data)->bytes));
    block_free(context, data, 0);
    return moved;
}

PyDataMem_Handler handler = {
    "morla_core block cache",
    1,
    {nullptr, block_malloc, block_calloc, block_realloc, block_free},
};

// The capsule NumPy takes the handler in: made once and kept, since arrays refer to it.
PyObject* handler_capsule() {
    static PyObject* const capsule = PyCapsule_New(&handler, "mem_handler", nullptr);
    return capsule;
}

}  // namespace

BlockArrays::BlockArrays(std::size_t bytes) {
    if (bytes < block_array_bytes) return;
    PyObject* capsule = handler_capsule();
    if (capsule == nullptr) {
        PyErr_Clear();  // NumPy's own allocator serves instead
        return;
    }
    previous_ = runtime::swap_data_handler(capsule);
}

BlockArrays::~BlockArrays() {
    if (previous_ == nullptr) return;
    Py_XDECREF(runtime::swap_data_handler(previous_));
    Py_DECREF(previous_);
}

}  // namespace tensor::api
