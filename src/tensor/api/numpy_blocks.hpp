#pragma once
// NumPy arrays whose data come from the engine's block cache. A training loop reads gradients of
// the same sizes back every step; under NumPy's own allocator their large blocks go back to the
// C library, which returns them to the system and faults fresh pages in on the next step, and
// that can take longer than the copy itself.

#include "runtime/numpy.hpp"

namespace tensor::api {

// NumPy's memory handler for the calling thread's new arrays, set to the block cache's for the
// life of this object and then restored, when the arrays to be made are of `bytes` bytes and that
// is large enough to matter (16 KiB); smaller ones are left to NumPy. The arrays keep the handler:
// they give their memory back to the block cache whenever and wherever they are freed, and they own
// it as any array does (resize included).
class BlockArrays {
public:
    explicit BlockArrays(std::size_t bytes);
    ~BlockArrays();
    BlockArrays(const BlockArrays&) = delete;
    BlockArrays& operator=(const BlockArrays&) = delete;

private:
    PyObject* previous_ = nullptr;  // NumPy's handler before, or null when ours is not set
};

}  // namespace tensor::api
