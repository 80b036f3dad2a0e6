// Arithmetic, comparisons, scalar operations and matrix products of storages.
#include "engine/cpu/numeric/ops/binary.hpp"
#include "engine/cpu/numeric/ops/matmul.hpp"
#include "engine/cpu/numeric/ops/scalar.hpp"
#include "engine/cpu/storage/dispatch.hpp"

namespace engine::cpu::storage {
namespace {

namespace ops = numeric::ops;
using runtime::Error;
using Result = CpuStorage::Result;

template <class F>
Result arithmetic(const CpuStorage& a, const CpuStorage& b) {
    return numeric_pair(
        a, b, [](const auto& x, const auto& y) { return ops::arithmetic<F, StorageArray>(x, y); });
}

// Comparisons accept all four element types; a mismatch names the operator.
template <class F>
Result comparison(const CpuStorage& a, const CpuStorage& b, const char* op) {
    if (a.dtype() != b.dtype()) {
        return std::unexpected(Error::runtime(runtime::concat(
            "Tensor device or dtype mismatch for element-wise ", op, " operation.")));
    }
    return std::visit(
        [&](const auto& x) {
            using T = element_of<decltype(x)>;
            return ops::comparison<F, StorageArray>(x, same_type<T>(b));
        },
        a.array());
}

template <class F>
Result scalar_arithmetic(const CpuStorage& a, float scalar, const char* name) {
    return std::visit(
        [&](const auto& x) -> Result {
            using T = element_of<decltype(x)>;
            if constexpr (is_numeric<T>) {
                return ops::scalar_arithmetic<F, StorageArray>(x, scalar);
            } else {
                return std::unexpected(Error::value(runtime::concat(
                    "Tensor DType invalid during scalar ", name, ". Cannot operate between ",
                    tensor::storage::debug_name(a.dtype()), " and scalar.")));
            }
        },
        a.array());
}

template <class F>
Result scalar_comparison(const CpuStorage& a, float scalar, const char* op) {
    return std::visit(
        [&](const auto& x) -> Result {
            using T = element_of<decltype(x)>;
            if constexpr (is_numeric<T>) {
                return ops::scalar_comparison<F, StorageArray>(x, scalar);
            } else {
                return std::unexpected(Error::runtime(
                    runtime::concat("Tensor device or dtype mismatch for scalar ", op, " operation.")));
            }
        },
        a.array());
}

}  // namespace

Result CpuStorage::add(const CpuStorage& other) const { return arithmetic<numeric::Add>(*this, other); }
Result CpuStorage::sub(const CpuStorage& other) const { return arithmetic<numeric::Sub>(*this, other); }
Result CpuStorage::mul(const CpuStorage& other) const { return arithmetic<numeric::Mul>(*this, other); }
Result CpuStorage::div(const CpuStorage& other) const { return arithmetic<numeric::Div>(*this, other); }

Result CpuStorage::eq(const CpuStorage& other) const { return comparison<numeric::Eq>(*this, other, "=="); }
Result CpuStorage::ge(const CpuStorage& other) const { return comparison<numeric::Ge>(*this, other, ">="); }
Result CpuStorage::gt(const CpuStorage& other) const { return comparison<numeric::Gt>(*this, other, ">"); }
Result CpuStorage::le(const CpuStorage& other) const { return comparison<numeric::Le>(*this, other, "<="); }
Result CpuStorage::lt(const CpuStorage& other) const { return comparison<numeric::Lt>(*this, other, "<"); }

Result CpuStorage::scalar_add(float s) const { return scalar_arithmetic<numeric::Add>(*this, s, "add"); }
Result CpuStorage::scalar_sub(float s) const { return scalar_arithmetic<numeric::Sub>(*this, s, "sub"); }
Result CpuStorage::scalar_mul(float s) const { return scalar_arithmetic<numeric::Mul>(*this, s, "product"); }

Result CpuStorage::scalar_eq(float s) const { return scalar_comparison<numeric::Eq>(*this, s, "=="); }
Result CpuStorage::scalar_ge(float s) const { return scalar_comparison<numeric::Ge>(*this, s, ">="); }
Result CpuStorage::scalar_gt(float s) const { return scalar_comparison<numeric::Gt>(*this, s, ">"); }
Result CpuStorage::scalar_le(float s) const { return scalar_comparison<numeric::Le>(*this, s, "<="); }
Result CpuStorage::scalar_lt(float s) const { return scalar_comparison<numeric::Lt>(*this, s, "<"); }

Result CpuStorage::matmul(const CpuStorage& other) const {
    return numeric_pair(*this, other,
                        [](const auto& x, const auto& y) { return ops::matmul::do_matmul(ArrayRef(x), ArrayRef(y)); });
}

}  // namespace engine::cpu::storage
