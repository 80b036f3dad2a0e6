#include "tensor/core/ops.hpp"

#include "engine/cpu/map.hpp"
#include "tensor/core/recording.hpp"

namespace tensor::core {
namespace {

using namespace autograd::ops;
using Method = Result<CpuStorage> (CpuStorage::*)(const CpuStorage&) const;
using ScalarMethod = Result<CpuStorage> (CpuStorage::*)(float) const;

template <class Node>
TensorResult binary(const Tensor& a, const Tensor& b, Method method) {
    return recorded_binary(
        a, b, [](std::size_t l, std::size_t r) { return Node(l, r); },
        [&] { return (a.cpu().*method)(b.cpu()); });
}

// Products and quotients keep both operand storages for their gradients.
template <class Node>
TensorResult saving_binary(const Tensor& a, const Tensor& b, Method method) {
    return recorded_binary(
        a, b, [&](std::size_t l, std::size_t r) { return Node(a.storage, b.storage, l, r); },
        [&] { return (a.cpu().*method)(b.cpu()); });
}

template <class Node>
TensorResult scalar(const Tensor& a, float x, ScalarMethod method) {
    return recorded_unary(
        a, [x](std::size_t input) { return Node(input, x); }, [&] { return (a.cpu().*method)(x); });
}

TensorResult unrecorded(Result<CpuStorage>&& computed) {
    return make_result(std::move(computed), std::nullopt);
}

}  // namespace

TensorResult add(const Tensor& a, const Tensor& b) { return binary<AddNode>(a, b, &CpuStorage::add); }
TensorResult sub(const Tensor& a, const Tensor& b) { return binary<SubNode>(a, b, &CpuStorage::sub); }
TensorResult mul(const Tensor& a, const Tensor& b) { return saving_binary<MulNode>(a, b, &CpuStorage::mul); }
TensorResult div(const Tensor& a, const Tensor& b) { return saving_binary<DivNode>(a, b, &CpuStorage::div); }
TensorResult matmul(const Tensor& a, const Tensor& b) {
    return saving_binary<MatmulNode>(a, b, &CpuStorage::matmul);
}

TensorResult scalar_add(const Tensor& a, float x) { return scalar<ScalarAddNode>(a, x, &CpuStorage::scalar_add); }
TensorResult scalar_sub(const Tensor& a, float x) { return scalar<ScalarSubNode>(a, x, &CpuStorage::scalar_sub); }
TensorResult scalar_mul(const Tensor& a, float x) { return scalar<ScalarMulNode>(a, x, &CpuStorage::scalar_mul); }
TensorResult scalar_div(const Tensor& a, float x) {
    const float reciprocal = 1.0f / x;
    return scalar<ScalarDivNode>(a, reciprocal, &CpuStorage::scalar_mul);
}

TensorResult reshape(const Tensor& a, std::span<const std::size_t> shape) {
    // The operand's shape, kept by the node; copied only when there is one.
    std::optional<engine::cpu::Shape> saved;
    if (a.requires_grad) saved = a.cpu().shape();
    return recorded_unary(
        a, [&](std::size_t input) { return ReshapeNode(std::move(*saved), input); },
        [&] { return a.cpu().reshape(shape); });
}

TensorResult transpose(const Tensor& a, std::size_t dim0, std::size_t dim1) {
    return recorded_unary(
        a, [&](std::size_t input) { return TransposeNode(input, dim0, dim1); },
        [&]() -> Result<CpuStorage> { return a.cpu().transpose(dim0, dim1); });
}

TensorResult eq(const Tensor& a, const Tensor& b) { return unrecorded(a.cpu().eq(b.cpu())); }
TensorResult ge(const Tensor& a, const Tensor& b) { return unrecorded(a.cpu().ge(b.cpu())); }
TensorResult gt(const Tensor& a, const Tensor& b) { return unrecorded(a.cpu().gt(b.cpu())); }
TensorResult le(const Tensor& a, const Tensor& b) { return unrecorded(a.cpu().le(b.cpu())); }
TensorResult lt(const Tensor& a, const Tensor& b) { return unrecorded(a.cpu().lt(b.cpu())); }
TensorResult scalar_eq(const Tensor& a, float x) { return unrecorded(a.cpu().scalar_eq(x)); }
TensorResult scalar_ge(const Tensor& a, float x) { return unrecorded(a.cpu().scalar_ge(x)); }
TensorResult scalar_gt(const Tensor& a, float x) { return unrecorded(a.cpu().scalar_gt(x)); }
TensorResult scalar_le(const Tensor& a, float x) { return unrecorded(a.cpu().scalar_le(x)); }
TensorResult scalar_lt(const Tensor& a, float x) { return unrecorded(a.cpu().scalar_lt(x)); }
TensorResult logical_and(const Tensor& a, const Tensor& b) { return unrecorded(a.cpu().logical_and(b.cpu())); }
TensorResult logical_or(const Tensor& a, const Tensor& b) { return unrecorded(a.cpu().logical_or(b.cpu())); }
TensorResult logical_xor(const Tensor& a, const Tensor& b) { return unrecorded(a.cpu().logical_xor(b.cpu())); }

TensorResult logical_not(const Tensor& a) {
    const auto* bools = std::get_if<engine::cpu::StridedArray<bool>>(&a.cpu().array());
    if (bools == nullptr) {
        return std::unexpected(runtime::Error::runtime("Logical NOT is only supported for Bool data type."));
    }
    return unrecorded(CpuStorage(engine::cpu::map_elements<bool>(*bools, [](bool x) { return !x; })));
}

Tensor zeros_like(const Tensor& a) { return {std::nullopt, storage::share(a.cpu().zeros_like()), false}; }
Tensor ones_like(const Tensor& a) { return {std::nullopt, storage::share(a.cpu().ones_like()), false}; }

}  // namespace tensor::core
