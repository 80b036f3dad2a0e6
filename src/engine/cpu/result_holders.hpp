#pragma once
// Where a driver builds its result. The defaults hold the kernel's own array; a caller may name a
// holder of its own (a storage's result), so that the array is built once, where it stays. A
// holder's make(args...) builds the array from StridedArray's constructor arguments, array() is
// the array inside, and fail() (for drivers that can fail) a failure with its message.

#include <string>
#include <utility>

#include "engine/cpu/strided_array.hpp"
#include "runtime/error.hpp"

namespace engine::cpu {

// The array itself, for drivers that cannot fail.
template <class Out>
struct BareArray {
    using Result = StridedArray<Out>;
    template <class... Args>
    static Result make(Args&&... args) {
        return Result(std::forward<Args>(args)...);
    }
    static StridedArray<Out>& array(Result& result) { return result; }
};

// The array or a message.
template <class Out>
struct OwnArray {
    using Result = runtime::KernelResult<StridedArray<Out>>;
    template <class... Args>
    static Result make(Args&&... args) {
        return Result(std::in_place, std::forward<Args>(args)...);
    }
    static StridedArray<Out>& array(Result& result) { return *result; }
    static Result fail(std::string&& message) { return std::unexpected(std::move(message)); }
};

}  // namespace engine::cpu
