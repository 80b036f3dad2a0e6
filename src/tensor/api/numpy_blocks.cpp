#include "tensor/api/numpy_blocks.hpp"

#include <malloc.h>

#include <algorithm>
#include <bit>
#include <cstdlib>
#include <cstring>
#include <limits>

#include "engine/cpu/block_cache.hpp"

namespace tensor::api {
namespace {

namespace cache = engine::cpu::block_cache;

constexpr std::size_t block_array_bytes = std::size_t(16) << 10;

void* block_malloc(void*, std::size_t size) {
    return cache::allocate(cache::block_bytes(std::max<std::size_t>(size, 1)));
}

// A block's size class, from the C library (the size NumPy passes back is not relied on): a
// block of a class is the class plus the library's few bytes; any other block (past the largest
// class, say) has no class, and goes straight back.
void block_free(void*, void* data, std::size_t) {
    if (data == nullptr) return;
    const std::size_t usable = malloc_usable_size(data);
    const std::size_t size_class = std::bit_floor(usable);
    if (usable - size_class <= 4096) {
        cache::release(data, size_class);
    } else {
        std::free(data);
    }
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
    std::memcpy(moved, data, std::min(size, malloc_usable_size(data)));
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
