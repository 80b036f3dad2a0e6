// Gradient operations of storages: type checks, then the kernel of the gradient's element type.
#include "engine/cpu/numeric/backward/binary.hpp"
#include "engine/cpu/numeric/backward/functional.hpp"
#include "engine/cpu/numeric/backward/matmul.hpp"
#include "engine/cpu/storage/dispatch.hpp"

namespace engine::cpu::storage {
namespace {

namespace backward = numeric::backward;
using Pair = CpuStorage::Pair;

template <class Kernel>
Pair gradient_pair(const CpuStorage& a, const CpuStorage& grad, const CpuStorage& b, Kernel kernel) {
    if (a.dtype() != grad.dtype() || b.dtype() != grad.dtype() || grad.dtype() == DType::Bool) {
        return std::unexpected(
            runtime::Error::type("DType mismatch between gradient and operands during backward pass."));
    }
    return std::visit(
        [&](const auto& g) -> Pair {
            using T = element_of<decltype(g)>;
            if constexpr (is_numeric<T>) {
                auto result = kernel(g, same_type<T>(a), same_type<T>(b));
                if (!result) return std::unexpected(runtime::Error::runtime(std::move(result.error())));
                return std::pair{CpuStorage(std::move(result->first)), CpuStorage(std::move(result->second))};
            } else {
                throw runtime::InternalFailure("bool gradient past the type check");
            }
        },
        grad.array());
}

}  // namespace

Pair CpuStorage::backward_mul(const CpuStorage& grad, const CpuStorage& rhs, backward::Wanted wanted) const {
    return gradient_pair(*this, grad, rhs, [&](const auto& g, const auto& a, const auto& b) {
        return backward::mul_backward(g, a, b, wanted);
    });
}

Pair CpuStorage::backward_div(const CpuStorage& grad, const CpuStorage& rhs) const {
    return gradient_pair(*this, grad, rhs, [](const auto& g, const auto& a, const auto& b) {
        return backward::div_backward(g, a, b);
    });
}

Pair CpuStorage::backward_matmul(const CpuStorage& grad, const CpuStorage& rhs, backward::Wanted wanted) const {
    return gradient_pair(*this, grad, rhs, [&](const auto& g, const auto& a, const auto& b) {
        return backward::matmul_backward(g, a, b, wanted);
    });
}

CpuStorage::Result CpuStorage::backward_relu(const CpuStorage& grad) const {
    if (dtype() != grad.dtype() || grad.dtype() == DType::Bool) {
        return std::unexpected(
            runtime::Error::type("DType mismatch between gradient and input during unary backward pass."));
    }
    return std::visit(
        [&](const auto& g) -> Result {
            using T = element_of<decltype(g)>;
            if constexpr (is_numeric<T>) {
                return storage_result(backward::relu_backward(g, same_type<T>(*this)));
            } else {
                throw runtime::InternalFailure("bool gradient past the type check");
            }
        },
        grad.array());
}

}  // namespace engine::cpu::storage
